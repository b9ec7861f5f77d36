#pragma once

// Reading the service's reply into a response record. Pure: no Windows in here.

#include <string>
#include <string_view>

#include "common/result.h"
#include "proto/message.h"

namespace korvan::client {

// Reads the body of the reply to the request whose "op" is `request_op` ("ping",
// "status", "start" or "stop"): only the answer to that request, or "error", is
// accepted. An empty `request_op` accepts every kind of answer. Members the client
// does not know are ignored.
//
// Errors (no system error), each after "malformed reply: ":
//   "not JSON: {head}", "not a JSON object: {head}", "no \"ok\" string: {head}", with
//   {head} the body's first 64 bytes quoted (in_quotes), "..." after it when cut;
//   "unknown \"ok\" {kind}"; "{kind} does not answer {request_op}";
//   "{kind} reply: {key} is missing", "... is not a string", "... is not a boolean",
//   "... is not a port number", "... is not null while the core is not running", with
//   {kind} and {key} quoted.
Result<proto::Response> read_reply(std::string_view body, std::string_view request_op);

// A text of the service's on one line: each CR LF, CR or LF becomes a blank.
std::string one_line(std::string_view text);

}  // namespace korvan::client
