#include "ctl/reply.h"

#include <cstdint>
#include <span>

#include "common/quote.h"
#include "ctl/exit_code.h"
#include "proto/decode_response.h"

namespace korvan::ctl {

namespace {

// The "op" of the request the command sends; empty for send, which accepts every answer.
std::string_view request_op(Command command) {
    switch (command) {
        case Command::Ping:
            return proto::KIND_PING;
        case Command::Status:
            return proto::KIND_STATUS;
        case Command::Stop:
            return proto::KIND_STOP;
        case Command::Start:
            return proto::KIND_START;
        case Command::Send:
        case Command::Help:
        case Command::Version:
            break;
    }
    return "";
}

std::string ports_line(std::uint16_t mixed, std::uint16_t ctl) {
    return "mixed port " + std::to_string(mixed) + ", controller port " + std::to_string(ctl);
}

struct Shown {
    Outcome operator()(const proto::response::Pong& pong) const {
        return {EXIT_OK,
                "pong: protocol " + one_line(pong.version) + ", service " +
                    one_line(pong.service_version),
                std::nullopt};
    }
    Outcome operator()(const proto::response::Status& status) const {
        if (!status.running) {
            return {EXIT_OK, "core not running", std::nullopt};
        }
        return {EXIT_OK,
                "core running: " +
                    ports_line(status.mixed_port.value_or(0), status.ctl_port.value_or(0)),
                std::nullopt};
    }
    Outcome operator()(const proto::response::Started& started) const {
        return {EXIT_OK, "core started: " + ports_line(started.mixed_port, started.ctl_port),
                std::nullopt};
    }
    Outcome operator()(const proto::response::Stopped&) const {
        return {EXIT_OK, "core stopped", std::nullopt};
    }
    Outcome operator()(const proto::response::Error& error) const {
        return {EXIT_ANSWER_ERROR, std::nullopt,
                "error " + one_line(error.code) + ": " + one_line(error.message)};
    }
};

}  // namespace

Outcome interpret_reply(Command command, std::string_view body, bool json_output) {
    Result<proto::Response> reply =
        proto::decode_response(std::span<const std::uint8_t>(
                                   reinterpret_cast<const std::uint8_t*>(body.data()), body.size()),
                               request_op(command));
    Outcome outcome = reply ? std::visit(Shown{}, reply.value())
                            : Outcome{EXIT_NO_ANSWER, std::nullopt, reply.error()};
    if (json_output) {
        outcome.out = std::string(body);
    }
    return outcome;
}

}  // namespace korvan::ctl
