#include "pipe/dispatch.h"

#include <string>
#include <type_traits>

namespace korvan::pipe {

namespace {

proto::Response status(core::Supervisor& supervisor) {
    const core::CoreStatus now = supervisor.status();
    return proto::response::Status{now.running, now.mixed_port, now.ctl_port};
}

proto::Response forbidden(const Result<void>& allowed) {
    return proto::response::Error{std::string(proto::FORBIDDEN), allowed.error()};
}

proto::Response stop(core::Supervisor& supervisor, HANDLE caller, const PolicySource& policy) {
    if (const Result<void> allowed = may_start_and_stop(caller, policy); !allowed) {
        return forbidden(allowed);
    }
    supervisor.stop();
    return proto::response::Stopped{};
}

proto::Response start(const proto::request::Start& start, core::Supervisor& supervisor,
                      HANDLE caller, const PolicySource& policy) {
    if (const Result<void> allowed = may_start_and_stop(caller, policy); !allowed) {
        return forbidden(allowed);
    }
    Result<void> started = supervisor.start(start.config_yaml, start.mixed_port, start.ctl_port);
    if (!started) {
        return proto::response::Error{std::string(proto::START_FAILED), started.error()};
    }
    return proto::response::Started{start.mixed_port, start.ctl_port};
}

}  // namespace

proto::response::Pong pong() {
    return proto::response::Pong{std::string(proto::PROTOCOL_VERSION),
                                 std::string(proto::SERVICE_VERSION)};
}

proto::Response handle_request(const proto::Request& request, core::Supervisor& supervisor,
                               HANDLE caller, const PolicySource& policy) {
    return std::visit(
        [&](const auto& kind) -> proto::Response {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, proto::request::Ping>) {
                return pong();
            } else if constexpr (std::is_same_v<Kind, proto::request::Status>) {
                return status(supervisor);
            } else if constexpr (std::is_same_v<Kind, proto::request::Stop>) {
                return stop(supervisor, caller, policy);
            } else {
                return start(kind, supervisor, caller, policy);
            }
        },
        request);
}

}  // namespace korvan::pipe
