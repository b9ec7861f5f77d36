#pragma once

// What a client makes of the installed service as the Service Control Manager reports
// it: whether the pipe's server is the service, and what the service's own pipe missing
// means. Any interactive user can create an instance of the service's pipe name while
// the service is not listening, so a client that trusts the name alone may hand its
// request to an impostor. Pure: what the SCM reports and the pipe server's process id
// are gathered by the caller (scm_query.h, server_identity.h).

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/result.h"

namespace korvan::client {

// A service's dwCurrentState, as SERVICE_STATUS_PROCESS holds it.
enum class ServiceRunState : std::uint32_t {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
    ContinuePending = 5,
    PausePending = 6,
    Paused = 7,
};

// What the Service Control Manager reports for the service.
struct ServiceState {
    bool installed = false;
    // Meaningful only when installed.
    ServiceRunState run_state = ServiceRunState::Stopped;
    // 0 while the service does not run.
    std::uint32_t process_id = 0;
};

// The system error codes of absent_service's failures: ERROR_SERVICE_DOES_NOT_EXIST and
// ERROR_SERVICE_NOT_ACTIVE.
inline constexpr std::uint32_t SERVICE_DOES_NOT_EXIST_ERROR = 1060;
inline constexpr std::uint32_t SERVICE_NOT_ACTIVE_ERROR = 1062;

// Success when `pipe_server` is the service's running process. Errors (no system
// error), each ending with `hint`, such as " (--no-server-check skips this check)":
//   "the service korvan-vpn-service is not installed, so process {pid} that serves
//    the pipe is not it{hint}"
//   "the service korvan-vpn-service is not running, so process {pid} ..."
//   "the pipe is served by process {pid}, not by the service korvan-vpn-service
//    (process {service pid}){hint}"
Result<void> check_server(std::uint32_t pipe_server, const ServiceState& service,
                          std::string_view hint);

// While the service's own pipe does not exist: the failure to report at once when the
// service will not make it, or nothing while it may (starting, running before its pipe
// exists, paused or between). Failures:
//   "the service korvan-vpn-service is not installed", SERVICE_DOES_NOT_EXIST_ERROR
//   "the service korvan-vpn-service is not running", SERVICE_NOT_ACTIVE_ERROR; also
//   during the delay before the SCM restarts a service that ended without a stop
//   "the service korvan-vpn-service is stopping", SERVICE_NOT_ACTIVE_ERROR
std::optional<Failure> absent_service(const ServiceState& service);

}  // namespace korvan::client
