#pragma once

// The service's life under the Service Control Manager: the service thread runs the
// control pipe until a stop or shutdown control arrives; the control handler, on the
// dispatcher's thread, ends the core and then the listener. A stop takes the time an
// upgrade needs to replace the service's files; a shutdown fits the system's budget.

#include <windows.h>

#include <memory>
#include <string_view>

#include "common/result.h"
#include "core/supervisor.h"
#include "service/status_report.h"
#include "win/stop_flag.h"

namespace korvan::service {

inline constexpr std::string_view RUN_SERVICE_LOG_PREFIX = "run_service error: ";

// How long the stop waits, past the core's own stop, for a core that has not ended.
inline constexpr DWORD OUTLIVED_CORE_WAIT_MS = 10'000;
// Logged when the core still runs at the end of that wait; SERVICE_STOPPED then carries
// ERROR_TIMEOUT.
inline constexpr std::string_view CORE_OUTLIVED_STOP_LOG =
    "stop: a core the service terminated has not ended";

// By when, counted from a shutdown control, the service has reported SERVICE_STOPPED:
// the control handler reports it itself then if the service thread has not. The system
// waits for its services at shutdown for WaitToKillServiceTimeout, 5 s by default on
// current Windows, and then ends their processes.
inline constexpr DWORD SHUTDOWN_STOPPED_MS = 3000;

// What the service thread and the control handler share: a reference to each.
struct HandlerContext {
    std::shared_ptr<win::StopFlag> stop;
    std::shared_ptr<core::Supervisor> supervisor;
    std::shared_ptr<ServiceStatus> status;
};

// The SERVICE_MAIN_FUNCTIONW of the dispatch table. Runs run_service and logs
// "run_service error: {diagnostic form}" when it fails.
void WINAPI service_main(DWORD argc, LPWSTR* argv);

// Registers control_handler, reports SERVICE_RUNNING, makes the work folder's levels the
// service's own and logs what it moved aside on the way (core::prepare_work_folder)
// before it serves anyone, and serves. The install has made the missing levels before,
// so that they exist from the install on; a failure here fails nothing: each start
// request makes the levels as it always does, and answers with what keeps it from doing
// so. A failure to make the stop request's event, to register or to report a status
// yields the system error in its diagnostic form, carrying its code.
Result<void> run_service();

// The service thread's work once SERVICE_RUNNING has been reported: runs the pipe
// listener until the stop request, and ends as finish_service does.
Result<void> serve(HandlerContext context);

// The service's end, once its listener has returned. Closes the install folder's files
// (an installer that stops the service replaces them at once, which it could not while
// they were held), waits for a core that had not ended within its stop (reporting
// SERVICE_STOP_PENDING meanwhile, for at most OUTLIVED_CORE_WAIT_MS; not at the system's
// shutdown, where the job's kill-on-close ends such a core with the process), cancels
// the I/O of a move of the work folder given up at its bound
// (workdir::cancel_abandoned_move), and reports SERVICE_STOPPED: with exit code 0, or
// with ERROR_TIMEOUT and the log line CORE_OUTLIVED_STOP_LOG when such a core still
// runs. Yields the first report's failure. `outlived_wait_ms` is OUTLIVED_CORE_WAIT_MS
// unless a test shortens it.
Result<void> finish_service(core::Supervisor& supervisor, ServiceStatus& status,
                            DWORD outlived_wait_ms = OUTLIVED_CORE_WAIT_MS);

// The HandlerEx routine. `context` is a HandlerContext.
// - Stop: set the stop flag, end the core and every later start (the supervisor's
//   shut_down: it waits for the record's lock, never for a start's file work, and for
//   the core at most core::BOUNDED_WAIT_MS), signal the stop event, NO_ERROR.
// - Shutdown: the same, in the same order, but the supervisor's
//   shut_down_for_system_shutdown ends the core (at most about
//   core::SHUTDOWN_LOCK_WAIT_MS + core::SHUTDOWN_CORE_WAIT_MS), and then the handler
//   waits for the service thread's SERVICE_STOPPED until SHUTDOWN_STOPPED_MS after the
//   control. If it has not come by then (a request in hand that has not finished: a
//   start's file work, or its wait for an old core), the handler cancels the I/O of an
//   abandoned move, writes the log's repeat count and reports SERVICE_STOPPED itself
//   (exit code 0; a failed report is logged as run_service's). The process then exits
//   when the dispatcher returns, and the job's kill-on-close ends any core the record
//   still holds.
// - Interrogate: NO_ERROR and nothing else.
// - Every other code: ERROR_CALL_NOT_IMPLEMENTED.
// The handler opens no pipe.
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

}  // namespace korvan::service
