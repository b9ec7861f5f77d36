#pragma once

// Decoding a request frame body.
//
// The body must be exactly one JSON value (RFC 8259) with only blanks (space, tab,
// line feed, carriage return) around it: an object whose "op" member names the kind,
// or the array form ["start", config_yaml, secret, mixed_port, ctl_port]. The first
// fault ends decoding and yields its message; faults found while the text is read
// end with " at line L column C" (C counts bytes). A string value quoted in a message
// is quoted only up to a little past MAX_FRAME_LEN bytes: a message that long could
// never be sent whole, and what is sent of it is cut to fit a frame anyway.
//
// One pass over the bytes: no tree is built, nesting (at most 127 levels) costs no
// native recursion, and the only allocations are the request's own texts and the
// message of a fault.

#include <cstdint>
#include <span>

#include "common/result.h"
#include "proto/message.h"

namespace korvan::proto {

Result<Request> decode_request(std::span<const std::uint8_t> body);

}  // namespace korvan::proto
