#pragma once

// The check that the pipe's server is the installed service. Any interactive user
// can create an instance of the service's pipe name while the service is not
// listening, so a client that trusts the name alone may hand its request to an
// impostor. Pure: the two process ids are gathered by the caller (server_process.h).

#include <cstdint>
#include <string_view>

#include "common/result.h"

namespace korvan::client {

// What the Service Control Manager reports for the service.
struct ServiceProcess {
    bool installed = false;
    // 0 while the service does not run.
    std::uint32_t process_id = 0;
};

// Success when `pipe_server` is the service's running process. Errors (no system
// error), each ending with `hint`, such as " (--no-server-check skips this check)":
//   "the service korvan-vpn-service is not installed, so process {pid} that serves
//    the pipe is not it{hint}"
//   "the service korvan-vpn-service is not running, so process {pid} ..."
//   "the pipe is served by process {pid}, not by the service korvan-vpn-service
//    (process {service pid}){hint}"
Result<void> check_server(std::uint32_t pipe_server, const ServiceProcess& service,
                          std::string_view hint);

}  // namespace korvan::client
