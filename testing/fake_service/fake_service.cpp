// A stand-in for the service under the Service Control Manager, for the tool's server
// check. Registered by a test under the service's name and started with one argument,
// a pipe name, it serves that pipe with one instance at a time, blocking (not the
// service's 32 instances held at once, its overlapped I/O or its bounds), and answers
// every request with the pong response, until the SCM stops it. The server check looks
// only at which process serves the pipe.

#include <windows.h>

#include <atomic>
#include <string>

#include "proto/encode.h"
#include "proto/frame.h"
#include "win/pipe_stream.h"
#include "win/handle.h"

namespace {

using korvan::win::UniqueHandle;

SERVICE_STATUS_HANDLE status_handle = nullptr;
std::atomic<bool> stopping{false};
std::wstring pipe_name;

void report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(status_handle, &status);
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        stopping = true;
        // Ends the wait for a client.
        UniqueHandle wake(CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    }
    return NO_ERROR;
}

void serve() {
    while (!stopping) {
        UniqueHandle instance(CreateNamedPipeW(
            pipe_name.c_str(), PIPE_ACCESS_DUPLEX,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 4, 65536,
            65536, 0, nullptr));
        if (!instance) {
            return;
        }
        if (stopping) {
            return;
        }
        if (ConnectNamedPipe(instance.get(), nullptr)) {
            const korvan::win::Deadline deadline = korvan::win::deadline_in_ms(10000);
            const UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            korvan::win::BoundedPipe stream{instance.get(), event.get(), deadline};
            if (korvan::proto::read_frame(stream)) {
                (void)korvan::proto::write_response(
                    stream,
                    korvan::proto::response::Pong{std::string(korvan::proto::PROTOCOL_VERSION),
                                                  std::string(korvan::proto::SERVICE_VERSION)});
                FlushFileBuffers(instance.get());
            }
        }
        DisconnectNamedPipe(instance.get());
    }
}

void WINAPI service_main(DWORD argc, wchar_t** argv) {
    status_handle = RegisterServiceCtrlHandlerExW(L"", handler, nullptr);
    if (status_handle == nullptr) {
        return;
    }
    if (argc < 2) {
        report(SERVICE_STOPPED);
        return;
    }
    pipe_name = argv[1];
    report(SERVICE_RUNNING);
    serve();
    report(SERVICE_STOPPED);
}

}  // namespace

int main() {
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
