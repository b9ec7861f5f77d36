#pragma once

// Who serves the control pipe, compared with the installed service's process.

#include <windows.h>

#include <string_view>

#include "common/result.h"
#include "client/server_check.h"

namespace korvan::client {

// The installed service's process as the Service Control Manager reports it, asked
// with the rights an unelevated user has (SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS).
// Errors: "OpenSCManagerW: {}", "OpenServiceW: {}", "QueryServiceStatusEx: {}" with
// the system error.
Result<ServiceProcess> query_service_process();

// check_server, with `hint`, for the process that serves the connected `pipe`
// (borrowed). Errors, each after "server check: ": "GetNamedPipeServerProcessId:
// {system error}", those of query_service_process and those of check_server.
Result<void> verify_pipe_server(HANDLE pipe, std::string_view hint);

}  // namespace korvan::client
