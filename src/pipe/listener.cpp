#include "pipe/listener.h"

#include <sddl.h>

#include <exception>
#include <string>

#include "log/service_log.h"
#include "pipe/pipe_stream.h"
#include "win/error_text.h"
#include "win/sync_io_deadline.h"

namespace korvan::pipe {

namespace {

// Overlapped, so that every wait on a client can be bounded.
win::UniqueHandle create_instance(SECURITY_ATTRIBUTES& security) {
    return win::UniqueHandle(CreateNamedPipeW(
        PIPE_NAME, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_MAX_INSTANCES, PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, &security));
}

// Waits for a client without limit; the stop handling's wake-up connection ends the
// wait. A client that opened the pipe before the wait began (ERROR_PIPE_CONNECTED)
// is connected all the same; one that has already gone again (ERROR_NO_DATA) is not.
// The event may still be signalled from the previous exchange: ConnectNamedPipe, like
// every overlapped call, resets it when it begins.
bool connect_client(HANDLE pipe, HANDLE io_event) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = io_event;
    if (ConnectNamedPipe(pipe, &overlapped)) {
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
        return true;
    }
    if (error != ERROR_IO_PENDING) {
        return false;
    }
    return complete_overlapped(pipe, overlapped, NO_DEADLINE).error == ERROR_SUCCESS;
}

}  // namespace

Result<win::UniqueLocal> build_pipe_security() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PIPE_SDDL, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        const DWORD error = GetLastError();
        return win::winapi_failure(SDDL_CONVERT_STEP, error);
    }
    return win::UniqueLocal(descriptor);
}

void wake_listener() {
    win::UniqueHandle(CreateFileW(PIPE_NAME, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

void run_pipe_listener(const std::atomic<bool>& stop_flag, core::CoreState& state,
                       DWORD exchange_budget_ms) {
    Result<win::UniqueLocal> descriptor = build_pipe_security();
    if (!descriptor) {
        log::write_log(std::string(SECURITY_INIT_LOG_PREFIX) + descriptor.error());
        return;
    }
    SECURITY_ATTRIBUTES security{sizeof security, descriptor->get(), FALSE};
    // Without it the exchange does not wait for its response to be read.
    Result<win::SyncIoDeadline> delivery_bound = win::make_sync_io_deadline();

    // One event serves the overlapped calls of every instance in turn: none of them is
    // still pending when its exchange ends.
    win::UniqueHandle io_event;
    while (!stop_flag.load()) {
        if (!io_event) {
            io_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        }
        win::UniqueHandle pipe = create_instance(security);
        if (!pipe || !io_event) {
            log::write_log(CREATE_PIPE_FAILED_LOG);
            Sleep(CREATE_RETRY_MS);
            continue;
        }
        // A stop whose wake-up came before this instance existed set the flag first.
        if (stop_flag.load()) {
            break;
        }
        if (connect_client(pipe.get(), io_event.get())) {
            const ClientLink link{pipe.get(), io_event.get(),
                                  delivery_bound ? &delivery_bound.value() : nullptr,
                                  GetTickCount64() + exchange_budget_ms};
            try {
                serve_client(link, state);
            } catch (const std::exception&) {
                // Only memory running out can throw here; it ends this exchange alone.
            }
        }
        DisconnectNamedPipe(pipe.get());
    }
}

}  // namespace korvan::pipe
