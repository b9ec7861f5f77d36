#include "pipe/listener.h"

#include <sddl.h>

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "log/service_log.h"
#include "win/error_text.h"
#include "win/sync_io_deadline.h"

namespace korvan::pipe {

namespace {

// Overlapped, so that every wait on a client can be bounded or ended by a stop.
constexpr DWORD OPEN_MODE = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;

HANDLE create_instance(CreatePipeInstance create, DWORD open_mode, SECURITY_ATTRIBUTES& security) {
    return create(PIPE_NAME, open_mode,
                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                  PIPE_MAX_INSTANCES, PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, &security);
}

// Logs `fault` and pauses; false when the stop event ends the pause.
bool pause_after(std::string_view fault, const win::StopFlag& stop) {
    log::write_log(fault);
    return WaitForSingleObject(stop.event(), CREATE_RETRY_MS) == WAIT_TIMEOUT;
}

enum class Connect { client, none, stop };

// Waits for a client or for the stop event, whichever comes first. A client that
// opened the pipe before the wait began (ERROR_PIPE_CONNECTED) is connected all the
// same; one that has already gone again (ERROR_NO_DATA) is not. The event may still be
// signalled from the previous exchange: ConnectNamedPipe, like every overlapped call,
// resets it when it begins.
Connect connect_client(HANDLE pipe, HANDLE io_event, HANDLE stop_event) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = io_event;
    if (ConnectNamedPipe(pipe, &overlapped)) {
        return Connect::client;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
        return Connect::client;
    }
    if (error != ERROR_IO_PENDING) {
        return Connect::none;
    }
    // The client's event first: when both are signalled, the lower index is reported,
    // so a client that had connected before the stop is served.
    const HANDLE events[] = {io_event, stop_event};
    const bool woken_by_client =
        WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0;
    if (!woken_by_client) {
        // The connect may complete before the cancel; either way the OVERLAPPED stays
        // in use until GetOverlappedResult has seen the call end.
        CancelIoEx(pipe, &overlapped);
    }
    DWORD ignored = 0;
    const bool connected = GetOverlappedResult(pipe, &overlapped, &ignored, TRUE) != FALSE;
    if (!woken_by_client) {
        return Connect::stop;
    }
    return connected ? Connect::client : Connect::none;
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

void run_pipe_listener(const win::StopFlag& stop, core::Supervisor& supervisor,
                       DWORD exchange_budget_ms, CreatePipeInstance create) {
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
    // The instance that waits for the next client. Both close on every return.
    win::UniqueHandle listening;
    while (!stop.is_set()) {
        if (!io_event) {
            io_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        }
        if (io_event && !listening) {
            // Windows fails a first instance with ERROR_ACCESS_DENIED when the name has
            // an instance already; Wine ignores the flag.
            HANDLE first =
                create_instance(create, OPEN_MODE | FILE_FLAG_FIRST_PIPE_INSTANCE, security);
            const DWORD error = GetLastError();
            listening.reset(first);
            if (!listening && error == ERROR_ACCESS_DENIED) {
                if (!pause_after(PIPE_NAME_HELD_LOG, stop)) {
                    return;
                }
                continue;
            }
        }
        if (!listening) {
            if (!pause_after(CREATE_PIPE_FAILED_LOG, stop)) {
                return;
            }
            continue;
        }
        const Connect connected = connect_client(listening.get(), io_event.get(), stop.event());
        if (connected == Connect::stop) {
            return;
        }
        win::UniqueHandle served = std::move(listening);
        if (connected == Connect::client) {
            const ClientLink link{served.get(), io_event.get(),
                                  delivery_bound ? &delivery_bound.value() : nullptr,
                                  GetTickCount64() + exchange_budget_ms};
            try {
                serve_client(link, supervisor);
            } catch (const std::exception&) {
                // Only memory running out can throw here; it ends this exchange alone.
            }
        }
        // The next instance exists before this one goes, so that the name is never free.
        listening.reset(create_instance(create, OPEN_MODE, security));
        DisconnectNamedPipe(served.get());
        served.reset();
        if (!listening && !pause_after(CREATE_PIPE_FAILED_LOG, stop)) {
            return;
        }
    }
}

}  // namespace korvan::pipe
