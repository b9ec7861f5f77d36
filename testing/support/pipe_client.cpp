#include "support/pipe_client.h"

#include <atomic>
#include <cstdint>

namespace korvan::test_support {

win::UniqueHandle open_pipe(DWORD timeout_ms, DWORD* error, const wchar_t* name, DWORD flags) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        win::UniqueHandle pipe(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, flags, nullptr));
        const DWORD last = GetLastError();
        if (pipe || GetTickCount64() >= deadline ||
            (last != ERROR_PIPE_BUSY && last != ERROR_FILE_NOT_FOUND)) {
            if (error != nullptr) {
                *error = pipe ? ERROR_SUCCESS : last;
            }
            return pipe;
        }
        if (last == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(name, 50);
        } else {
            Sleep(1);
        }
    }
}

bool send_bytes(HANDLE pipe, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD put = 0;
        if (!WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) ||
            put == 0) {
            return false;
        }
        bytes.remove_prefix(put);
    }
    return true;
}

namespace {

bool read_exactly(HANDLE pipe, char* into, size_t count) {
    while (count > 0) {
        DWORD got = 0;
        if (!ReadFile(pipe, into, static_cast<DWORD>(count), &got, nullptr) || got == 0) {
            return false;
        }
        into += got;
        count -= got;
    }
    return true;
}

}  // namespace

std::optional<std::string> read_response(HANDLE pipe) {
    unsigned char prefix[4];
    if (!read_exactly(pipe, reinterpret_cast<char*>(prefix), 4)) {
        return std::nullopt;
    }
    const std::uint32_t length = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) |
                                 (static_cast<std::uint32_t>(prefix[3]) << 24);
    std::string body(length, '\0');
    if (!read_exactly(pipe, body.data(), length)) {
        return std::nullopt;
    }
    return body;
}

bool closed_without_data(HANDLE pipe) {
    char byte = 0;
    DWORD got = 0;
    return !ReadFile(pipe, &byte, 1, &got, nullptr) || got == 0;
}

bool disconnected_within(HANDLE pipe, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

PipePair connected_pair(DWORD server_flags, DWORD client_flags) {
    static std::atomic<int> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\korvan-test-pair-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++);
    PipePair pair;
    pair.server.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | server_flags,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536,
                                       65536, 0, nullptr));
    if (pair.server) {
        pair.client = open_pipe(1000, nullptr, name.c_str(), client_flags);
    }
    return pair;
}

ListeningInstances::ListeningInstances(int count, const wchar_t* name) {
    for (int i = 0; i < count; ++i) {
        auto instance = std::make_unique<Instance>();
        instance->pipe.reset(CreateNamedPipeW(
            name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 4, 65536,
            65536, 0, nullptr));
        instance->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (instance->pipe && instance->event) {
            instance->overlapped.hEvent = instance->event.get();
            instance->connect_issued =
                !ConnectNamedPipe(instance->pipe.get(), &instance->overlapped) &&
                GetLastError() == ERROR_IO_PENDING;
        }
        instances_.push_back(std::move(instance));
    }
}

ListeningInstances::~ListeningInstances() {
    for (const std::unique_ptr<Instance>& instance : instances_) {
        if (instance->connect_issued) {
            CancelIoEx(instance->pipe.get(), &instance->overlapped);
            DWORD ignored = 0;
            GetOverlappedResult(instance->pipe.get(), &instance->overlapped, &ignored, TRUE);
        }
    }
}

bool ListeningInstances::listening() const {
    for (const std::unique_ptr<Instance>& instance : instances_) {
        if (!instance->connect_issued) {
            return false;
        }
    }
    return true;
}

int ListeningInstances::connected() const {
    int count = 0;
    for (const std::unique_ptr<Instance>& instance : instances_) {
        if (instance->connect_issued &&
            WaitForSingleObject(instance->event.get(), 0) == WAIT_OBJECT_0) {
            ++count;
        }
    }
    return count;
}

std::optional<std::string> round_trip(std::string_view bytes) {
    win::UniqueHandle pipe = open_pipe();
    if (!pipe || !send_bytes(pipe.get(), bytes)) {
        return std::nullopt;
    }
    return read_response(pipe.get());
}

std::optional<std::string> request(std::string_view body) {
    return round_trip(framed(body));
}

}  // namespace korvan::test_support
