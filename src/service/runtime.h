#pragma once

// The service's life under the Service Control Manager: the service thread runs the
// control pipe until a stop or shutdown control arrives; the control handler, on the
// dispatcher's thread, ends the core and then the listener.

#include <windows.h>

#include <memory>
#include <string_view>

#include "common/result.h"
#include "core/supervisor.h"
#include "win/stop_flag.h"

namespace korvan::service {

inline constexpr std::string_view RUN_SERVICE_LOG_PREFIX = "run_service error: ";

// What the control handler works on: a reference to each of the two the service thread
// shares with it.
struct HandlerContext {
    std::shared_ptr<win::StopFlag> stop;
    std::shared_ptr<core::Supervisor> supervisor;
};

// The SERVICE_MAIN_FUNCTIONW of the dispatch table. Runs run_service and logs
// "run_service error: {diagnostic form}" when it fails.
void WINAPI service_main(DWORD argc, LPWSTR* argv);

// Registers control_handler, reports SERVICE_RUNNING, makes the work folder's levels
// (prepare_work_folder; a failure is left to the first start request), runs the pipe
// listener until the stop request, and reports SERVICE_STOPPED with exit code 0. A
// failure to make the stop request's event, to register or to report a status yields
// the system error in its diagnostic form.
Result<void> run_service();

// The HandlerEx routine. Stop and shutdown: set the stop flag, end the core and every
// later start (the supervisor's shut_down, bounded whatever a start is doing), signal
// the stop event, NO_ERROR; the handler opens no pipe. Interrogate: NO_ERROR and nothing else.
// Every other code: ERROR_CALL_NOT_IMPLEMENTED. `context` is a HandlerContext.
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

}  // namespace korvan::service
