#pragma once

// UTF-8 as RFC 3629 defines it. Pure: no Windows in here.

#include <cstddef>
#include <string_view>

namespace korvan {

// The length (1 to 4) of the well-formed UTF-8 sequence that `text` begins with, or 0
// when it begins with none: a stray continuation byte, an overlong form, a surrogate, a
// code point above U+10FFFF, a sequence cut short, or an empty text.
size_t utf8_sequence_length(std::string_view text);

}  // namespace korvan
