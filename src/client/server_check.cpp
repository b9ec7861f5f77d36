#include "client/server_check.h"

#include <string>

#include "common/names.h"

namespace korvan::client {

namespace {

std::string service_is(std::string_view state, std::uint32_t pipe_server, std::string_view hint) {
    return "the service " + std::string(names::SERVICE_NAME_TEXT) + " is " + std::string(state) +
           ", so process " + std::to_string(pipe_server) + " that serves the pipe is not it" +
           std::string(hint);
}

}  // namespace

Result<void> check_server(std::uint32_t pipe_server, const ServiceProcess& service,
                          std::string_view hint) {
    if (!service.installed) {
        return Failure{service_is("not installed", pipe_server, hint)};
    }
    if (service.process_id == 0) {
        return Failure{service_is("not running", pipe_server, hint)};
    }
    if (service.process_id != pipe_server) {
        return Failure{"the pipe is served by process " + std::to_string(pipe_server) +
                       ", not by the service " + std::string(names::SERVICE_NAME_TEXT) +
                       " (process " + std::to_string(service.process_id) + ")" + std::string(hint)};
    }
    return {};
}

}  // namespace korvan::client
