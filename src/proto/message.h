#pragma once

// The messages of the control pipe: one request in, at most one response out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace korvan::proto {

namespace request {

struct Ping {};
struct Status {};
struct Start {
    std::string config_yaml;
    // Required on the wire, never read.
    std::string secret;
    std::uint16_t mixed_port = 0;
    std::uint16_t ctl_port = 0;
};
struct Stop {};

}  // namespace request

using Request = std::variant<request::Ping, request::Status, request::Start, request::Stop>;

namespace response {

struct Pong {
    std::string version;
    std::string service_version;
};
struct Status {
    bool running = false;
    std::optional<std::uint16_t> mixed_port;
    std::optional<std::uint16_t> ctl_port;
};
struct Started {
    std::uint16_t mixed_port = 0;
    std::uint16_t ctl_port = 0;
};
struct Stopped {};
struct Error {
    std::string code;
    std::string message;
};

}  // namespace response

using Response = std::variant<response::Pong, response::Status, response::Started,
                              response::Stopped, response::Error>;

// The names on the wire: the kinds of request ("op") and of answer ("ok"), and the
// members of their objects.
inline constexpr std::string_view KIND_PING = "ping";
inline constexpr std::string_view KIND_STATUS = "status";
inline constexpr std::string_view KIND_START = "start";
inline constexpr std::string_view KIND_STOP = "stop";
inline constexpr std::string_view KIND_PONG = "pong";
inline constexpr std::string_view KIND_STARTED = "started";
inline constexpr std::string_view KIND_STOPPED = "stopped";
inline constexpr std::string_view KIND_ERROR = "error";

inline constexpr std::string_view KEY_OP = "op";
inline constexpr std::string_view KEY_OK = "ok";
inline constexpr std::string_view KEY_CONFIG_YAML = "config_yaml";
inline constexpr std::string_view KEY_SECRET = "secret";
inline constexpr std::string_view KEY_MIXED_PORT = "mixed_port";
inline constexpr std::string_view KEY_CTL_PORT = "ctl_port";
inline constexpr std::string_view KEY_VERSION = "version";
inline constexpr std::string_view KEY_SERVICE_VERSION = "service_version";
inline constexpr std::string_view KEY_RUNNING = "running";
inline constexpr std::string_view KEY_CODE = "code";
inline constexpr std::string_view KEY_MESSAGE = "message";

inline constexpr std::string_view PROTOCOL_VERSION = "1";
inline constexpr std::string_view SERVICE_VERSION = "1.0.0";

inline constexpr std::string_view BAD_REQUEST = "bad_request";
inline constexpr std::string_view START_FAILED = "start_failed";
// Only where an administrator has set the machine's policy on start and stop.
inline constexpr std::string_view FORBIDDEN = "forbidden";

}  // namespace korvan::proto
