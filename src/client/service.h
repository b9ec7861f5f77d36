#pragma once

// The installed service as a client sees it: what the Service Control Manager reports,
// and whether a pipe name is the service's own.

#include <functional>
#include <string_view>

#include "client/server_check.h"
#include "common/result.h"

namespace korvan::client {

// The installed service korvan-vpn-service as the Service Control Manager reports it,
// asked with the rights an unelevated user has (SC_MANAGER_CONNECT,
// SERVICE_QUERY_STATUS). Errors: "OpenSCManagerW: {}", "OpenServiceW: {}",
// "QueryServiceStatusEx: {}" with the system error.
Result<ServiceState> query_service();

// How a request asks the SCM: query_service, or a stand-in in the tests.
using ServiceQuery = std::function<Result<ServiceState>()>;

// Whether the full pipe name `name` (UTF-8, \\.\pipe\...) names the service's pipe as
// Windows compares pipe names: without regard to case, by the system's own upper-case
// table (CompareStringOrdinal), which maps some letters outside ASCII to ASCII ones.
bool is_service_pipe(std::string_view name);

}  // namespace korvan::client
