#pragma once

// UTF-8 as RFC 3629 defines it. Pure: no Windows in here.

#include <cstddef>
#include <optional>
#include <string_view>

namespace korvan {

// The length (1 to 4) of the well-formed UTF-8 sequence that `text` begins with, or 0
// when it begins with none: a stray continuation byte, an overlong form, a surrogate, a
// code point above U+10FFFF, a sequence cut short, or an empty text.
size_t utf8_sequence_length(std::string_view text);

// The offset of the first byte of `text` that does not begin a well-formed sequence
// (see utf8_sequence_length), or nothing when all of it is well-formed.
std::optional<size_t> first_invalid_utf8(std::string_view text);

}  // namespace korvan
