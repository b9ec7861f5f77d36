#include "service/runtime.h"

#include <cstdint>
#include <string>
#include <vector>

#include "core/launch.h"
#include "log/service_log.h"
#include "pipe/listener.h"
#include "service/identity.h"
#include "win/error_text.h"
#include "win/utf.h"
#include "workdir/service_dir.h"

namespace korvan::service {

namespace {

// The handler may still be called after SERVICE_STOPPED has been reported, until the
// dispatcher returns; the context therefore lives until the process exits. One service
// runs per process, so there is at most one.
std::unique_ptr<HandlerContext> handler_context;

SERVICE_STATUS status_of(DWORD state, DWORD controls, DWORD exit_code) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls;
    status.dwWin32ExitCode = exit_code;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = state == SERVICE_STOP_PENDING ? 1 : 0;
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? OUTLIVED_CORE_WAIT_MS : 0;
    return status;
}

// Running, the service accepts stop and shutdown; stopping or stopped, nothing.
Result<void> report(SERVICE_STATUS_HANDLE handle, DWORD state, DWORD exit_code) {
    const DWORD controls =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    SERVICE_STATUS status = status_of(state, controls, exit_code);
    if (!SetServiceStatus(handle, &status)) {
        const DWORD error = GetLastError();
        return win::scm_diagnostic_failure(error);
    }
    return {};
}

// What stays to do once SERVICE_STOPPED is near, by whichever thread reports it.
void before_stopped() {
    // A move of a planted folder given up at its bound may still wait on its holder; the
    // process cannot exit while that I/O is pending.
    workdir::cancel_abandoned_move();
    log::flush_log();
}

// The shutdown's stop: see control_handler.
void stop_for_system_shutdown(const HandlerContext& shared) {
    const std::uint64_t deadline = GetTickCount64() + SHUTDOWN_STOPPED_MS;
    shared.status->begin_shutdown();
    shared.stop->set();
    shared.supervisor->shut_down_for_system_shutdown();
    shared.stop->signal();
    const std::uint64_t now = GetTickCount64();
    if (shared.status->stopped_within(now < deadline ? static_cast<DWORD>(deadline - now) : 0)) {
        return;
    }
    // The service thread is still ending: the pipe's listener lets the request in hand
    // finish. After SERVICE_STOPPED the dispatcher returns and the process exits, ending
    // that thread too.
    before_stopped();
    if (Result<void> stopped = shared.status->report(SERVICE_STOPPED); !stopped) {
        log::write_log(std::string(RUN_SERVICE_LOG_PREFIX) + stopped.error());
    }
}

}  // namespace

void WINAPI service_main(DWORD argc, LPWSTR* argv) {
    // The arguments of a start request are kept for the service's life and not used.
    std::vector<std::string> arguments;
    for (DWORD i = 0; i < argc; ++i) {
        arguments.push_back(win::narrow(argv[i]));
    }
    if (Result<void> ran = run_service(); !ran) {
        log::write_log(std::string(RUN_SERVICE_LOG_PREFIX) + ran.error());
    }
}

Result<void> run_service() {
    std::shared_ptr<win::StopFlag> stop = win::make_stop_flag();
    if (!stop) {
        const DWORD error = GetLastError();
        return win::scm_diagnostic_failure(error);
    }
    // The install folder's files are held from here on, before any start.
    const HandlerContext shared{stop,
                                std::make_shared<core::Supervisor>(core::open_install_files()),
                                std::make_shared<ServiceStatus>()};
    auto context = std::make_unique<HandlerContext>(shared);
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(SERVICE_NAME, control_handler, context.get());
    if (handle == nullptr) {
        const DWORD error = GetLastError();
        return win::scm_diagnostic_failure(error);
    }
    handler_context = std::move(context);
    shared.status->attach(
        [handle](DWORD state, DWORD exit_code) { return report(handle, state, exit_code); });
    if (Result<void> running = shared.status->report(SERVICE_RUNNING); !running) {
        shared.supervisor->release_install_files();
        return running;
    }
    (void)core::prepare_work_folder();
    return serve(shared);
}

Result<void> serve(HandlerContext context) {
    pipe::run_pipe_listener(*context.stop, *context.supervisor);
    return finish_service(*context.supervisor, *context.status);
}

Result<void> finish_service(core::Supervisor& supervisor, ServiceStatus& status,
                            DWORD outlived_wait_ms) {
    supervisor.release_install_files();
    DWORD exit_code = NO_ERROR;
    if (!status.shutting_down() && !supervisor.await_outlived_cores(0)) {
        if (Result<void> pending = status.report(SERVICE_STOP_PENDING); !pending) {
            return pending;
        }
        if (!supervisor.await_outlived_cores(outlived_wait_ms)) {
            log::write_log(CORE_OUTLIVED_STOP_LOG);
            exit_code = ERROR_TIMEOUT;
        }
    }
    before_stopped();
    return status.report(SERVICE_STOPPED, exit_code);
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID context) {
    switch (control) {
        case SERVICE_CONTROL_STOP: {
            const auto& shared = *static_cast<HandlerContext*>(context);
            shared.stop->set();
            // Bounded whatever a start is doing: its file work holds no lock this waits
            // on, and it launches nothing once this has begun.
            shared.supervisor->shut_down();
            // After the core's stop: a listener waiting for a client, as it mostly is,
            // returns on the event only then, so SERVICE_STOPPED follows the core's end.
            shared.stop->signal();
            return NO_ERROR;
        }
        case SERVICE_CONTROL_SHUTDOWN:
            stop_for_system_shutdown(*static_cast<HandlerContext*>(context));
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

}  // namespace korvan::service
