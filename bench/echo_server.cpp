// The baseline for the control pipe: a bare server on a pipe created exactly as the
// service creates its own (open mode, pipe mode, instance count, buffer sizes, time-out
// and security descriptor), one instance at a time, one request per connection. It
// reads one frame, writes one fixed frame (the service's "pong") and waits with
// FlushFileBuffers until the client has read it, with no caller check, no JSON and no
// deadline. The wait is the platform's: under Wine, as on Windows, DisconnectNamedPipe
// discards what the client has not read yet, so without it answers are lost.
//
// usage: echo_server PIPE_NAME
// It runs until it is ended; the benchmark keeps it in a kill-on-close job.

#include <windows.h>

#include <sddl.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "bench_support.h"
#include "pipe/listener.h"
#include "win/utf.h"

namespace {

using korvan::win::UniqueHandle;

// Waits for an overlapped call that may have completed at once; its count.
bool finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& count) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    return GetOverlappedResult(pipe, &overlapped, &count, TRUE) != FALSE;
}

bool read_exactly(HANDLE pipe, HANDLE event, char* into, DWORD count) {
    while (count > 0) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        DWORD got = 0;
        if (!finish(pipe, overlapped, ReadFile(pipe, into, count, nullptr, &overlapped), got) ||
            got == 0) {
            return false;
        }
        into += got;
        count -= got;
    }
    return true;
}

void serve(HANDLE pipe, HANDLE event, const std::string& answer) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD ignored = 0;
    if (!ConnectNamedPipe(pipe, &overlapped)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (!GetOverlappedResult(pipe, &overlapped, &ignored, TRUE)) {
                return;
            }
        } else if (error != ERROR_PIPE_CONNECTED) {
            return;
        }
    }
    unsigned char prefix[4];
    if (!read_exactly(pipe, event, reinterpret_cast<char*>(prefix), 4)) {
        return;
    }
    const std::uint32_t length = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) |
                                 (static_cast<std::uint32_t>(prefix[3]) << 24);
    if (length == 0 || length > korvan::pipe::PIPE_BUFFER_SIZE * 16) {
        return;
    }
    std::string body(length, '\0');
    if (!read_exactly(pipe, event, body.data(), length)) {
        return;
    }
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
    finish(pipe, overlapped,
           WriteFile(pipe, answer.data(), static_cast<DWORD>(answer.size()), nullptr, &overlapped),
           ignored);
    FlushFileBuffers(pipe);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: echo_server PIPE_NAME\n", stderr);
        return 2;
    }
    const std::wstring name = korvan::win::widen(argv[1]);
    korvan::win::UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            korvan::pipe::PIPE_SDDL, SDDL_REVISION_1,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr)) {
        return 1;
    }
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
    const std::string answer = korvan::bench::framed(korvan::bench::PONG);
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (;;) {
        UniqueHandle pipe(CreateNamedPipeW(
            name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
            korvan::pipe::PIPE_INSTANCES, korvan::pipe::PIPE_BUFFER_SIZE,
            korvan::pipe::PIPE_BUFFER_SIZE, korvan::pipe::PIPE_DEFAULT_WAIT_MS, &security));
        if (!pipe) {
            Sleep(korvan::pipe::CREATE_RETRY_MS);
            continue;
        }
        serve(pipe.get(), event.get(), answer);
        DisconnectNamedPipe(pipe.get());
    }
}
