#include "pipe/dispatch.h"

#include <mutex>
#include <string>
#include <type_traits>

#include "core/launch.h"
#include "core/supervise.h"

namespace korvan::pipe {

namespace {

Response status(core::CoreState& state) {
    std::lock_guard<std::mutex> held(state.lock);
    if (!core::core_running(state)) {
        return response::Status{false, std::nullopt, std::nullopt};
    }
    return response::Status{true, state.mixed_port, state.ctl_port};
}

Response stop(core::CoreState& state) {
    std::lock_guard<std::mutex> held(state.lock);
    core::stop_core(state);
    return response::Stopped{};
}

Response start(const request::Start& start, core::CoreState& state) {
    std::lock_guard<std::mutex> held(state.lock);
    core::stop_core(state);
    Result<core::LaunchedCore> launched = core::start_core(start.config_yaml);
    if (!launched) {
        return response::Error{std::string(START_FAILED), launched.error()};
    }
    state.job = std::move(launched->job);
    state.child = std::move(launched->child);
    state.mixed_port = start.mixed_port;
    state.ctl_port = start.ctl_port;
    return response::Started{start.mixed_port, start.ctl_port};
}

}  // namespace

Response handle_request(const Request& request, core::CoreState& state) {
    return std::visit(
        [&](const auto& kind) -> Response {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, request::Ping>) {
                return response::Pong{std::string(PROTOCOL_VERSION), std::string(SERVICE_VERSION)};
            } else if constexpr (std::is_same_v<Kind, request::Status>) {
                return status(state);
            } else if constexpr (std::is_same_v<Kind, request::Stop>) {
                return stop(state);
            } else {
                return start(kind, state);
            }
        },
        request);
}

}  // namespace korvan::pipe
