#pragma once

// The service's life under the Service Control Manager: the service thread runs the
// control pipe until a stop or shutdown control arrives; the control handler, on the
// dispatcher's thread, ends the core and then the listener.

#include <windows.h>

#include <functional>
#include <memory>
#include <string_view>

#include "common/result.h"
#include "core/supervisor.h"
#include "win/stop_flag.h"

namespace korvan::service {

inline constexpr std::string_view RUN_SERVICE_LOG_PREFIX = "run_service error: ";

// How long the stop waits, past the core's own stop, for a core that has not ended.
inline constexpr DWORD OUTLIVED_CORE_WAIT_MS = 10'000;
// Logged when the core still runs at the end of that wait; SERVICE_STOPPED then carries
// ERROR_TIMEOUT.
inline constexpr std::string_view CORE_OUTLIVED_STOP_LOG =
    "stop: a core the service terminated has not ended";

// What the control handler works on: a reference to each of the two the service thread
// shares with it.
struct HandlerContext {
    std::shared_ptr<win::StopFlag> stop;
    std::shared_ptr<core::Supervisor> supervisor;
};

// The SERVICE_MAIN_FUNCTIONW of the dispatch table. Runs run_service and logs
// "run_service error: {diagnostic form}" when it fails.
void WINAPI service_main(DWORD argc, LPWSTR* argv);

// Registers control_handler, reports SERVICE_RUNNING, starts the watch of the machine's
// policy (pipe/policy_watch.h), which is never stopped, makes the work folder's levels the
// service's own and logs what it moved aside on the way (core::prepare_work_folder)
// before it serves anyone, runs the pipe listener until the stop request, and ends as
// finish_service does. The install has made the missing levels before, so that they
// exist from the install on; a failure here fails nothing: each start request makes the
// levels as it always does, and answers with what keeps it from doing so. A failure to
// make the stop request's event, to register or to report a status yields the system
// error in its diagnostic form, carrying its code.
Result<void> run_service();

// Reports a status of the service: SetServiceStatus, or a stand-in.
using StatusReport = std::function<Result<void>(DWORD state, DWORD exit_code)>;

// The service's end, once its listener has returned. Closes the install folder's files
// (an installer that stops the service replaces them at once, which it could not while
// they were held), waits for a core that had not ended within its stop (reporting
// SERVICE_STOP_PENDING meanwhile, for at most OUTLIVED_CORE_WAIT_MS), cancels the I/O of
// a move of the work folder given up at its bound (workdir::cancel_abandoned_move), and
// reports
// SERVICE_STOPPED: with exit code 0, or with ERROR_TIMEOUT and the log line
// CORE_OUTLIVED_STOP_LOG when such a core still runs. Yields the first report's failure.
// `outlived_wait_ms` is OUTLIVED_CORE_WAIT_MS unless a test shortens it.
Result<void> finish_service(core::Supervisor& supervisor, const StatusReport& report,
                            DWORD outlived_wait_ms = OUTLIVED_CORE_WAIT_MS);

// The HandlerEx routine. Stop and shutdown: set the stop flag, end the core and every
// later start (the supervisor's shut_down, bounded whatever a start is doing), signal
// the stop event, NO_ERROR; the handler opens no pipe. Interrogate: NO_ERROR and nothing else.
// Every other code: ERROR_CALL_NOT_IMPLEMENTED. `context` is a HandlerContext.
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

}  // namespace korvan::service
