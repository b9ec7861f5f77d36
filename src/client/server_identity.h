#pragma once

// Who serves the control pipe, compared with the installed service's process.

#include <windows.h>

#include <string_view>

#include <optional>

#include "client/scm_query.h"
#include "common/result.h"
#include "win/handle.h"

namespace korvan::client {

// The service as the Service Control Manager reported it before the pipe was opened,
// with a handle on its process: while any handle on a process is open, its id does not
// pass to another process, so a pipe server with that id later is that process.
struct KnownService {
    ServiceState state;
    win::UniqueHandle process;
};

// Asks `query` for the running service and opens its process (SYNCHRONIZE), so that
// the check after connecting costs one call and a compare: a client over its account's
// limit has little time between connecting and sending. Nothing when the query fails,
// the service does not run, or its process cannot be opened (a standard user may be
// refused it on Windows): the check then asks after connecting.
std::optional<KnownService> know_service(const ServiceQuery& query);

// check_server, with `hint`, for the process that serves the connected `pipe`
// (borrowed) and the service as `query` reports it. When `known` names that process and
// it still runs, the pipe is the service's without asking again. Errors, each after
// "server check: ": "GetNamedPipeServerProcessId: {system error}", those of `query`
// (query_service's) and those of check_server.
Result<void> verify_pipe_server(HANDLE pipe, std::string_view hint, const ServiceQuery& query,
                                const std::optional<KnownService>& known = std::nullopt);

}  // namespace korvan::client
