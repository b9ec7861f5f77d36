#pragma once

// What the reply to a request means to its client: the service's answer, its refusal,
// or no answer at all, with the status that korvan-vpn-ctl and korvan-client.dll both
// report. Pure: no Windows in here.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "common/result.h"
#include "proto/message.h"

namespace korvan::client {

// How a request ended. The values are korvan-vpn-ctl's exit codes and the
// KORVAN_STATUS values of korvan_client.h.
enum class Status : std::uint32_t {
    // The service answered with success.
    Ok = 0,
    // The service answered "error".
    AnswerError = 1,
    // No usable answer: the pipe could not be reached, its server is not the service,
    // the reply did not come in time, or it is no well-formed answer to the request.
    NoAnswer = 2,
};

// The answers of success, any of which answers a body sent unchanged (send).
using Answer = std::variant<proto::response::Pong, proto::response::Status,
                            proto::response::Started, proto::response::Stopped>;

// How a request ended, and what came back.
template <class T>
struct Reply {
    Status status;
    // The answer for Status::Ok. Otherwise what went wrong: for AnswerError
    // "error {code}: {message}", each on one line (one_line); for NoAnswer the failure
    // of transact (transact.h) or of decode_response.
    Result<T> result;
    // For AnswerError, the service's answer: its code and message as sent.
    std::optional<proto::response::Error> refusal;
    // The reply's body exactly as received, whenever one came: also one that is no
    // answer to the request.
    std::optional<std::string> body;
};

// What `body`, the reply to a request answered by a T, says. T is Pong (ping), Status
// (status), Started (start), Stopped (stop), or Answer, which takes every kind (send).
// Status::Ok or Status::AnswerError; Status::NoAnswer with decode_response's failure
// when the body is no answer of T's kind nor "error". The body is kept.
template <class T>
Reply<T> read_reply(std::string body);

}  // namespace korvan::client
