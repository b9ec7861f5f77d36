#pragma once

// Frames of the control pipe as raw bytes, made here without the code under test: a
// 4-byte little-endian body length, then the body.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// A body of `n` bytes, each unlike its neighbours (byte i is i * 7 + 3, mod 256), so
// that a byte lost, doubled or moved shows.
inline std::vector<std::uint8_t> patterned_bytes(size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return bytes;
}

}  // namespace korvan::test_support
