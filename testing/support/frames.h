#pragma once

// Frames of the control pipe as raw bytes, made here without the code under test: a
// 4-byte little-endian body length, then the body.

#include <cstdint>
#include <string>
#include <string_view>

namespace korvan::test_support {

// The length prefix alone.
inline std::string prefix_of(std::uint32_t length) {
    return {static_cast<char>(length), static_cast<char>(length >> 8),
            static_cast<char>(length >> 16), static_cast<char>(length >> 24)};
}

// The prefix of `body`'s length, then `body`.
inline std::string framed(std::string_view body) {
    return prefix_of(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

}  // namespace korvan::test_support
