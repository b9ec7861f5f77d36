#include "support/pipe_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "proto/frame.h"
#include "win/pipe_stream.h"

namespace korvan::test_support {

namespace {

win::UniqueHandle create_instance(const std::wstring& name) {
    win::UniqueHandle instance(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 4, 65536,
        65536, 0, nullptr));
    EXPECT_TRUE(instance.valid()) << GetLastError();
    return instance;
}

}  // namespace

std::wstring unique_pipe_name() {
    static std::atomic<int> counter{0};
    return L"\\\\.\\pipe\\korvan-ctl-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(counter++);
}

PipeServer::PipeServer(std::vector<Script> scripts)
    : name(unique_pipe_name()),
      scripts_(std::move(scripts)),
      release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    win::UniqueHandle first = create_instance(name);
    thread_ = std::thread([this, first = std::move(first)]() mutable { serve(std::move(first)); });
}

void PipeServer::serve(win::UniqueHandle instance) {
    for (size_t i = 0; i < scripts_.size(); ++i) {
        if (i > 0) {
            instance = create_instance(name);
        }
        if (!instance) {
            break;
        }
        if (!ConnectNamedPipe(instance.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            continue;
        }
        if (scripts_[i].deaf) {
            {
                std::lock_guard lock(mutex_);
                requests_.push_back("not read");
            }
            WaitForSingleObject(release_.get(), INFINITE);
            DisconnectNamedPipe(instance.get());
            instance.reset();
            continue;
        }
        const win::Deadline deadline = win::deadline_in_ms(10000);
        const win::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        win::BoundedPipe stream{instance.get(), event.get(), deadline};
        Result<std::vector<std::uint8_t>> request = proto::read_frame(stream);
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request ? std::string(request->begin(), request->end())
                                        : "no request: " + request.error());
        }
        if (scripts_[i].silent) {
            WaitForSingleObject(release_.get(), INFINITE);
        } else if (request && !scripts_[i].reply.empty()) {
            const std::string& reply = scripts_[i].reply;
            (void)proto::write_all(
                stream, std::span<const std::uint8_t>(
                            reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size()));
            // Disconnecting throws away what the client has not read yet.
            FlushFileBuffers(instance.get());
        }
        DisconnectNamedPipe(instance.get());
        instance.reset();
    }
    std::lock_guard lock(mutex_);
    done_ = true;
}

std::vector<std::string> PipeServer::requests() {
    SetEvent(release_.get());
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    return requests_;
}

PipeServer::~PipeServer() {
    SetEvent(release_.get());
    // Scripts whose client never came get a client that sends nothing.
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (done_) {
                break;
            }
        }
        win::UniqueHandle wake(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
        Sleep(10);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace korvan::test_support
