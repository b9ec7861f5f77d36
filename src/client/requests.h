#pragma once

// The requests of the control pipe, as korvan-vpn-ctl and korvan-client.dll send them:
// each built, sent to its target with transact and its reply read with read_reply.
// Every failure after the request is built is a Reply's (reply.h); building one that
// cannot be sent is refused before anything is opened.

#include <cstddef>
#include <string>
#include <string_view>

#include "client/reply.h"
#include "client/transact.h"
#include "common/result.h"
#include "proto/message.h"

namespace korvan::client {

// Asks the service for its versions.
Reply<proto::response::Pong> ping(const Target& target);

// Asks whether the core runs.
Reply<proto::response::Status> core_status(const Target& target);

// Stops the core.
Reply<proto::response::Stopped> stop_core(const Target& target);

// A start request, encoded: made by start_request.
struct StartRequest {
    std::string body;
};

// `start` as the body of a start request. Errors (no system error): encode_request's,
// as "config_yaml: not UTF-8 text: invalid byte 0xFF at offset 3" and "the request
// would be {size} bytes, more than the 1048576 a frame carries".
Result<StartRequest> start_request(proto::request::Start start);

// Starts the core.
Reply<proto::response::Started> start_core(const Target& target, const StartRequest& request);

// Whether `size` bytes go in one frame: 1 to MAX_FRAME_LEN.
bool fits_one_frame(size_t size);

// The rule of fits_one_frame as its refusals say it: "a frame carries 1 to 1048576".
std::string one_frame_rule();

// Sends `body` unchanged; it must fit one frame (fits_one_frame). Every kind of answer
// is accepted.
Reply<Answer> send(const Target& target, std::string_view body);

}  // namespace korvan::client
