#pragma once

// Who serves the control pipe, compared with the installed service's process.

#include <windows.h>

#include <string_view>

#include "client/service.h"
#include "common/result.h"

namespace korvan::client {

// check_server, with `hint`, for the process that serves the connected `pipe`
// (borrowed) and the service as `query` reports it. Errors, each after "server check: ":
// "GetNamedPipeServerProcessId: {system error}", those of `query` (query_service's) and
// those of check_server.
Result<void> verify_pipe_server(HANDLE pipe, std::string_view hint, const ServiceQuery& query);

}  // namespace korvan::client
