#pragma once

// Request bodies as a client sends them: compact JSON with "op" first, as in
// {"op":"ping"} or {"op":"start","config_yaml":"...","secret":"","mixed_port":1,"ctl_port":2}.
// Pure: no Windows in here.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "proto/message.h"

namespace korvan::client {

// The request's JSON text. Texts are escaped as JSON requires; every other byte of
// them, non-ASCII UTF-8 included, is copied.
// Errors: "config_yaml: not UTF-8 text: invalid byte 0x{XX} at offset {n}", and the
// same for "secret", when the text is not well-formed UTF-8.
Result<std::string> request_body(const proto::Request& request);

// The start request's body, checked to fit one frame. Errors: "start: {request_body
// error}" and "start: the request would be {n} bytes, more than the 1048576 a frame
// carries".
Result<std::string> start_request(const proto::request::Start& start);

// The offset of the first byte that does not start a well-formed UTF-8 sequence
// (overlong forms, surrogates, code points above U+10FFFF and sequences cut short
// included), or nothing.
std::optional<size_t> first_invalid_utf8(std::string_view text);

}  // namespace korvan::client
