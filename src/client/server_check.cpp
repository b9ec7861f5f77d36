#include "client/server_check.h"

#include <string>

#include "common/names.h"

namespace korvan::client {

namespace {

std::string the_service_is(std::string_view state) {
    return "the service " + std::string(names::SERVICE_NAME_TEXT) + " is " + std::string(state);
}

std::string service_is(std::string_view state, std::uint32_t pipe_server, std::string_view hint) {
    return the_service_is(state) + ", so process " + std::to_string(pipe_server) +
           " that serves the pipe is not it" + std::string(hint);
}

}  // namespace

Result<void> check_server(std::uint32_t pipe_server, const ServiceState& service,
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

std::optional<Failure> absent_service(const ServiceState& service) {
    if (!service.installed) {
        return Failure{the_service_is("not installed"), SERVICE_DOES_NOT_EXIST_ERROR};
    }
    switch (service.run_state) {
        case ServiceRunState::Stopped:
            return Failure{the_service_is("not running"), SERVICE_NOT_ACTIVE_ERROR};
        case ServiceRunState::StopPending:
            return Failure{the_service_is("stopping"), SERVICE_NOT_ACTIVE_ERROR};
        case ServiceRunState::StartPending:
        case ServiceRunState::Running:
        case ServiceRunState::ContinuePending:
        case ServiceRunState::PausePending:
        case ServiceRunState::Paused:
            break;
    }
    return std::nullopt;
}

}  // namespace korvan::client
