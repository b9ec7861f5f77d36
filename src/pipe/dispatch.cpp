#include "pipe/dispatch.h"

#include <mutex>
#include <string>
#include <type_traits>

#include "core/launch.h"
#include "core/supervise.h"

namespace korvan::pipe {

namespace {

proto::Response status(core::CoreState& state) {
    std::lock_guard<std::mutex> held(state.lock);
    if (!core::core_running(state)) {
        return proto::response::Status{false, std::nullopt, std::nullopt};
    }
    return proto::response::Status{true, state.mixed_port, state.ctl_port};
}

proto::Response stop(core::CoreState& state) {
    std::lock_guard<std::mutex> held(state.lock);
    core::stop_core(state);
    return proto::response::Stopped{};
}

proto::Response start(const proto::request::Start& start, core::CoreState& state) {
    std::lock_guard<std::mutex> held(state.lock);
    core::stop_core(state);
    Result<core::LaunchedCore> launched = core::start_core(start.config_yaml);
    if (!launched) {
        return proto::response::Error{std::string(proto::START_FAILED), launched.error()};
    }
    state.job = std::move(launched->job);
    state.child = std::move(launched->child);
    state.mixed_port = start.mixed_port;
    state.ctl_port = start.ctl_port;
    return proto::response::Started{start.mixed_port, start.ctl_port};
}

}  // namespace

proto::Response handle_request(const proto::Request& request, core::CoreState& state) {
    return std::visit(
        [&](const auto& kind) -> proto::Response {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, proto::request::Ping>) {
                return proto::response::Pong{std::string(proto::PROTOCOL_VERSION), std::string(proto::SERVICE_VERSION)};
            } else if constexpr (std::is_same_v<Kind, proto::request::Status>) {
                return status(state);
            } else if constexpr (std::is_same_v<Kind, proto::request::Stop>) {
                return stop(state);
            } else {
                return start(kind, state);
            }
        },
        request);
}

}  // namespace korvan::pipe
