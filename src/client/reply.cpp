#include "client/reply.h"

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "common/quote.h"

namespace korvan::client {

namespace {

using nlohmann::json;

// How much of a body that is no response the messages quote.
constexpr size_t QUOTED_HEAD = 64;

std::string quoted_head(std::string_view body) {
    std::string out = in_quotes(body.substr(0, QUOTED_HEAD));
    if (body.size() > QUOTED_HEAD) {
        out += "...";
    }
    return out;
}

std::string_view answer_kind(std::string_view request_op) {
    if (request_op == "ping") {
        return "pong";
    }
    if (request_op == "status") {
        return "status";
    }
    if (request_op == "stop") {
        return "stopped";
    }
    if (request_op == "start") {
        return "started";
    }
    return "";
}

Failure malformed(std::string text) {
    return Failure{"malformed reply: " + std::move(text)};
}

// A member's fault: `"pong" reply: "version" is missing` or `... is not a string`.
Failure field_fault(std::string_view kind, std::string_view key, const json& reply,
                    std::string_view wanted) {
    const bool missing = !reply.contains(key);
    return malformed(in_quotes(kind) + " reply: " + in_quotes(key) +
                     (missing ? " is missing" : " is not " + std::string(wanted)));
}

Result<std::string> text_field(std::string_view kind, const json& reply, std::string_view key) {
    const auto it = reply.find(key);
    if (it == reply.end() || !it->is_string()) {
        return field_fault(kind, key, reply, "a string");
    }
    return it->get<std::string>();
}

bool is_port(const json& value) {
    if (value.is_number_unsigned()) {
        return value.get<std::uint64_t>() <= 65535;
    }
    if (value.is_number_integer()) {
        const auto n = value.get<std::int64_t>();
        return n >= 0 && n <= 65535;
    }
    return false;
}

Result<std::uint16_t> port_field(std::string_view kind, const json& reply, std::string_view key) {
    const auto it = reply.find(key);
    if (it == reply.end() || !is_port(*it)) {
        return field_fault(kind, key, reply, "a port number");
    }
    return static_cast<std::uint16_t>(it->get<unsigned>());
}

Result<proto::response::Started> ports(std::string_view kind, const json& reply) {
    Result<std::uint16_t> mixed = port_field(kind, reply, "mixed_port");
    if (!mixed) {
        return mixed.failure();
    }
    Result<std::uint16_t> ctl = port_field(kind, reply, "ctl_port");
    if (!ctl) {
        return ctl.failure();
    }
    return proto::response::Started{mixed.value(), ctl.value()};
}

Result<proto::Response> status(const json& reply) {
    const auto running = reply.find("running");
    if (running == reply.end() || !running->is_boolean()) {
        return field_fault("status", "running", reply, "a boolean");
    }
    if (running->get<bool>()) {
        Result<proto::response::Started> on = ports("status", reply);
        if (!on) {
            return on.failure();
        }
        return proto::Response{proto::response::Status{true, on->mixed_port, on->ctl_port}};
    }
    for (std::string_view key : {"mixed_port", "ctl_port"}) {
        const auto it = reply.find(key);
        if (it == reply.end() || !it->is_null()) {
            return field_fault("status", key, reply, "null while the core is not running");
        }
    }
    return proto::Response{proto::response::Status{}};
}

// The answer of `kind`, one of the known kinds.
Result<proto::Response> answer(std::string_view kind, const json& reply) {
    if (kind == "error") {
        Result<std::string> code = text_field(kind, reply, "code");
        if (!code) {
            return code.failure();
        }
        Result<std::string> message = text_field(kind, reply, "message");
        if (!message) {
            return message.failure();
        }
        return proto::Response{proto::response::Error{code.value(), message.value()}};
    }
    if (kind == "pong") {
        Result<std::string> version = text_field(kind, reply, "version");
        if (!version) {
            return version.failure();
        }
        Result<std::string> service = text_field(kind, reply, "service_version");
        if (!service) {
            return service.failure();
        }
        return proto::Response{proto::response::Pong{version.value(), service.value()}};
    }
    if (kind == "status") {
        return status(reply);
    }
    if (kind == "started") {
        Result<proto::response::Started> started = ports(kind, reply);
        if (!started) {
            return started.failure();
        }
        return proto::Response{started.value()};
    }
    return proto::Response{proto::response::Stopped{}};
}

}  // namespace

Result<proto::Response> read_reply(std::string_view body, std::string_view request_op) {
    const json reply = json::parse(body.begin(), body.end(), nullptr, false);
    if (reply.is_discarded()) {
        return malformed("not JSON: " + quoted_head(body));
    }
    if (!reply.is_object()) {
        return malformed("not a JSON object: " + quoted_head(body));
    }
    const auto ok = reply.find("ok");
    if (ok == reply.end() || !ok->is_string()) {
        return malformed("no \"ok\" string: " + quoted_head(body));
    }
    const std::string kind = ok->get<std::string>();
    if (kind != "pong" && kind != "status" && kind != "started" && kind != "stopped" &&
        kind != "error") {
        return malformed("unknown \"ok\" " + in_quotes(kind));
    }
    if (kind != "error" && !request_op.empty() && kind != answer_kind(request_op)) {
        return malformed(in_quotes(kind) + " does not answer " + std::string(request_op));
    }
    return answer(kind, reply);
}

std::string one_line(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace korvan::client
