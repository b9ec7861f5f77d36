#include "service/runtime.h"

#include <string>
#include <vector>

#include "core/launch.h"
#include "log/service_log.h"
#include "pipe/listener.h"
#include "pipe/policy_watch.h"
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

Result<void> report(SERVICE_STATUS_HANDLE handle, DWORD state, DWORD controls,
                    DWORD exit_code = NO_ERROR) {
    SERVICE_STATUS status = status_of(state, controls, exit_code);
    if (!SetServiceStatus(handle, &status)) {
        const DWORD error = GetLastError();
        return win::scm_diagnostic_failure(error);
    }
    return {};
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
    auto supervisor = std::make_shared<core::Supervisor>(core::open_install_files());
    auto context = std::make_unique<HandlerContext>(HandlerContext{stop, supervisor});
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(SERVICE_NAME, control_handler, context.get());
    if (handle == nullptr) {
        const DWORD error = GetLastError();
        return win::scm_diagnostic_failure(error);
    }
    handler_context = std::move(context);
    if (Result<void> running =
            report(handle, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
        !running) {
        supervisor->release_install_files();
        return running;
    }
    // The machine's policy is read from here on, on a thread of its own.
    (void)pipe::machine_policy_watch();
    (void)core::prepare_work_folder();
    pipe::run_pipe_listener(*stop, *supervisor);
    return finish_service(*supervisor, [handle](DWORD state, DWORD exit_code) {
        return report(handle, state, 0, exit_code);
    });
}

Result<void> finish_service(core::Supervisor& supervisor, const StatusReport& report,
                            DWORD outlived_wait_ms) {
    supervisor.release_install_files();
    DWORD exit_code = NO_ERROR;
    if (!supervisor.await_outlived_cores(0)) {
        if (Result<void> pending = report(SERVICE_STOP_PENDING, NO_ERROR); !pending) {
            return pending;
        }
        if (!supervisor.await_outlived_cores(outlived_wait_ms)) {
            log::write_log(CORE_OUTLIVED_STOP_LOG);
            exit_code = ERROR_TIMEOUT;
        }
    }
    // A move of a planted folder given up at its bound may still wait on its holder; the
    // process cannot exit while that I/O is pending.
    workdir::cancel_abandoned_move();
    log::flush_log();
    return report(SERVICE_STOPPED, exit_code);
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID context) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: {
            auto& records = *static_cast<HandlerContext*>(context);
            records.stop->set();
            // Bounded whatever a start is doing: its file work holds no lock this waits
            // on, and it launches nothing once this has begun.
            records.supervisor->shut_down();
            // After the core's stop: a listener waiting for a client, as it mostly is,
            // returns on the event only then, so SERVICE_STOPPED follows the core's end.
            records.stop->signal();
            return NO_ERROR;
        }
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

}  // namespace korvan::service
