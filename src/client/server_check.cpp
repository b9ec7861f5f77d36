#include "ctl/server_check.h"

#include <string>

#include "ctl/names.h"

namespace korvan::ctl {

namespace {

constexpr std::string_view HINT = " (--no-server-check skips this check)";

std::string service_is(std::string_view state, std::uint32_t pipe_server) {
    return "the service " + std::string(SERVICE_NAME) + " is " + std::string(state) +
           ", so process " + std::to_string(pipe_server) + " that serves the pipe is not it" +
           std::string(HINT);
}

}  // namespace

Result<void> check_server(std::uint32_t pipe_server, const ServiceProcess& service) {
    if (!service.installed) {
        return Failure{service_is("not installed", pipe_server)};
    }
    if (service.process_id == 0) {
        return Failure{service_is("not running", pipe_server)};
    }
    if (service.process_id != pipe_server) {
        return Failure{"the pipe is served by process " + std::to_string(pipe_server) +
                       ", not by the service " + std::string(SERVICE_NAME) + " (process " +
                       std::to_string(service.process_id) + ")" + std::string(HINT)};
    }
    return {};
}

}  // namespace korvan::ctl
