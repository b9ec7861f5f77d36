#pragma once

// What the tool shows for a request's reply, and its exit code. Pure: no Windows in
// here.

#include <optional>
#include <string>

#include "client/reply.h"
#include "proto/message.h"

namespace korvan::ctl {

struct Outcome {
    int exit_code = 0;
    // One line for standard output, without its line feed.
    std::optional<std::string> out;
    // One line for standard error, without the program's prefix and the line feed.
    std::optional<std::string> err;
};

// The human line of an answer of success, such as "pong: protocol 1, service 1.0.0".
std::string answer_line(const proto::response::Pong& pong);
std::string answer_line(const proto::response::Status& status);
std::string answer_line(const proto::response::Started& started);
std::string answer_line(const proto::response::Stopped& stopped);
std::string answer_line(const client::Answer& answer);

// The tool's exit code for a request that ended with `status`: EXIT_OK,
// EXIT_ANSWER_ERROR or EXIT_NO_ANSWER.
int exit_code(client::Status status);

// What the tool shows for `reply` (client::read_reply says which bodies are answers).
//
// A success answer gives EXIT_OK and its line (answer_line) on `out`. An "error" answer
// gives EXIT_ANSWER_ERROR and "error {code}: {message}" on `err`. No answer gives
// EXIT_NO_ANSWER and says why on `err`: the pipe, the server check or the exchange
// failed, or the body is not JSON, not an object, has no known "ok", lacks a field or
// has one of the wrong type (members the tool does not know are ignored), or answers
// another request.
//
// With `json`, `out` is the body exactly as received whenever one came, whatever it
// holds; `err` and the exit code stay as above.
template <class T>
Outcome outcome_of(const client::Reply<T>& reply, bool json) {
    Outcome outcome{exit_code(reply.status), std::nullopt, std::nullopt};
    if (reply.result) {
        outcome.out = answer_line(reply.result.value());
    } else {
        outcome.err = reply.result.error();
    }
    if (json && reply.body) {
        outcome.out = *reply.body;
    }
    return outcome;
}

}  // namespace korvan::ctl
