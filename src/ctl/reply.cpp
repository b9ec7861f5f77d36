#include "ctl/reply.h"

#include <cstdint>
#include <variant>

#include "common/quote.h"
#include "ctl/exit_code.h"

namespace korvan::ctl {

namespace {

std::string ports_line(std::uint16_t mixed, std::uint16_t ctl) {
    return "mixed port " + std::to_string(mixed) + ", controller port " + std::to_string(ctl);
}

}  // namespace

std::string answer_line(const proto::response::Pong& pong) {
    return "pong: protocol " + one_line(pong.version) + ", service " +
           one_line(pong.service_version);
}

std::string answer_line(const proto::response::Status& status) {
    if (!status.running) {
        return "core not running";
    }
    return "core running: " +
           ports_line(status.mixed_port.value_or(0), status.ctl_port.value_or(0));
}

std::string answer_line(const proto::response::Started& started) {
    return "core started: " + ports_line(started.mixed_port, started.ctl_port);
}

std::string answer_line(const proto::response::Stopped&) {
    return "core stopped";
}

std::string answer_line(const client::Answer& answer) {
    return std::visit([](const auto& kind) { return answer_line(kind); }, answer);
}

static_assert(static_cast<int>(client::Status::Ok) == EXIT_OK);
static_assert(static_cast<int>(client::Status::AnswerError) == EXIT_ANSWER_ERROR);
static_assert(static_cast<int>(client::Status::NoAnswer) == EXIT_NO_ANSWER);

int exit_code(client::Status status) {
    return static_cast<int>(status);
}

}  // namespace korvan::ctl
