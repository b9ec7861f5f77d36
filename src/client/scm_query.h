#pragma once

// The installed service as the Service Control Manager reports it to a client.

#include <functional>

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

}  // namespace korvan::client
