#pragma once

// Decoding a response frame body, as a client reads the service's answer.
//
// The body must be one JSON object (RFC 8259) with only blanks around it, read by the
// same reader as requests (json_reader.h): arrays and objects nest 127 levels deep at
// most, and a byte order mark is not a blank. Its member "ok" names the kind of answer,
// the kind's members are checked, and every other member is ignored. A member the
// answer reads ("ok" and those of its kind) given twice makes the answer malformed:
// parsers that keep the first and those that keep the last would read it differently.
// A port is an integer from 0 to 65535 written as the service writes it, without a
// sign: -0 is no port.
//
// One pass over the bytes, as for requests; the only allocations are the texts of the
// members read and the message of a fault.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/result.h"
#include "proto/message.h"

namespace korvan::proto {

// The body of the answer to the request whose "op" is `request_op` ("ping", "status",
// "start" or "stop"): only the answer to that request, or "error", is accepted. An
// empty `request_op` accepts every kind of answer.
//
// Errors (no system error), each after "malformed reply: " (MALFORMED_REPLY):
//   "not JSON: {head}", "nested more than 127 levels deep: {head}",
//   "not a JSON object: {head}", "no \"ok\" string: {head}", with {head} the body's
//   first 64 bytes quoted (in_quotes), "..." after them when it is longer;
//   "\"ok\" is given twice"; "unknown \"ok\" {kind}"; "{kind} does not answer {op}";
//   "{kind} reply: {key} is missing", "... is given twice", "... is not a string",
//   "... is not a boolean", "... is not a port number", "... is not null while the
//   core is not running", with {kind} and {key} quoted.
Result<Response> decode_response(std::span<const std::uint8_t> body, std::string_view request_op);

inline constexpr std::string_view MALFORMED_REPLY = "malformed reply: ";

}  // namespace korvan::proto
