#include "ctl/reply.h"

#include <nlohmann/json.hpp>

#include "common/quote.h"
#include "ctl/exit_code.h"

namespace korvan::ctl {

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

// The service's texts go on one line.
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

std::string_view command_word(Command command) {
    switch (command) {
        case Command::Ping:
            return "ping";
        case Command::Status:
            return "status";
        case Command::Stop:
            return "stop";
        case Command::Start:
            return "start";
        case Command::Send:
            return "send";
        case Command::Help:
            return "help";
        case Command::Version:
            break;
    }
    return "version";
}

std::string_view expected_kind(Command command) {
    switch (command) {
        case Command::Ping:
            return "pong";
        case Command::Status:
            return "status";
        case Command::Stop:
            return "stopped";
        case Command::Start:
            return "started";
        case Command::Send:
        case Command::Help:
        case Command::Version:
            break;
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

Result<unsigned> port_field(std::string_view kind, const json& reply, std::string_view key) {
    const auto it = reply.find(key);
    if (it == reply.end() || !is_port(*it)) {
        return field_fault(kind, key, reply, "a port number");
    }
    return it->get<unsigned>();
}

Result<std::string> ports_line(std::string_view kind, const json& reply) {
    Result<unsigned> mixed = port_field(kind, reply, "mixed_port");
    if (!mixed) {
        return mixed.failure();
    }
    Result<unsigned> ctl = port_field(kind, reply, "ctl_port");
    if (!ctl) {
        return ctl.failure();
    }
    return "mixed port " + std::to_string(mixed.value()) + ", controller port " +
           std::to_string(ctl.value());
}

Result<std::string> status_line(const json& reply) {
    const auto running = reply.find("running");
    if (running == reply.end() || !running->is_boolean()) {
        return field_fault("status", "running", reply, "a boolean");
    }
    if (running->get<bool>()) {
        Result<std::string> ports = ports_line("status", reply);
        if (!ports) {
            return ports.failure();
        }
        return "core running: " + ports.value();
    }
    for (std::string_view key : {"mixed_port", "ctl_port"}) {
        const auto it = reply.find(key);
        if (it == reply.end() || !it->is_null()) {
            return field_fault("status", key, reply, "null while the core is not running");
        }
    }
    return std::string("core not running");
}

// The human line of a success answer of `kind`.
Result<std::string> success_line(std::string_view kind, const json& reply) {
    if (kind == "pong") {
        Result<std::string> version = text_field(kind, reply, "version");
        if (!version) {
            return version.failure();
        }
        Result<std::string> service = text_field(kind, reply, "service_version");
        if (!service) {
            return service.failure();
        }
        return "pong: protocol " + one_line(version.value()) + ", service " +
               one_line(service.value());
    }
    if (kind == "status") {
        return status_line(reply);
    }
    if (kind == "started") {
        Result<std::string> ports = ports_line(kind, reply);
        if (!ports) {
            return ports.failure();
        }
        return "core started: " + ports.value();
    }
    return std::string("core stopped");
}

Outcome no_answer(std::string text) {
    return Outcome{EXIT_NO_ANSWER, std::nullopt, std::move(text)};
}

Outcome interpret(Command command, std::string_view body) {
    const json reply = json::parse(body.begin(), body.end(), nullptr, false);
    if (reply.is_discarded()) {
        return no_answer(malformed("not JSON: " + quoted_head(body)).text);
    }
    if (!reply.is_object()) {
        return no_answer(malformed("not a JSON object: " + quoted_head(body)).text);
    }
    const auto ok = reply.find("ok");
    if (ok == reply.end() || !ok->is_string()) {
        return no_answer(malformed("no \"ok\" string: " + quoted_head(body)).text);
    }
    const std::string kind = ok->get<std::string>();
    if (kind != "pong" && kind != "status" && kind != "started" && kind != "stopped" &&
        kind != "error") {
        return no_answer(malformed("unknown \"ok\" " + in_quotes(kind)).text);
    }
    if (kind != "error" && command != Command::Send && kind != expected_kind(command)) {
        return no_answer(
            malformed(in_quotes(kind) + " does not answer " + std::string(command_word(command)))
                .text);
    }
    if (kind == "error") {
        Result<std::string> code = text_field(kind, reply, "code");
        if (!code) {
            return no_answer(code.error());
        }
        Result<std::string> message = text_field(kind, reply, "message");
        if (!message) {
            return no_answer(message.error());
        }
        return Outcome{EXIT_ANSWER_ERROR, std::nullopt,
                       "error " + one_line(code.value()) + ": " + one_line(message.value())};
    }
    Result<std::string> line = success_line(kind, reply);
    if (!line) {
        return no_answer(line.error());
    }
    return Outcome{EXIT_OK, line.value(), std::nullopt};
}

}  // namespace

Outcome interpret_reply(Command command, std::string_view body, bool json_output) {
    Outcome outcome = interpret(command, body);
    if (json_output) {
        outcome.out = std::string(body);
    }
    return outcome;
}

}  // namespace korvan::ctl
