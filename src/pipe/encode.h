#pragma once

// Responses as compact JSON: {"ok":"<kind>", then the kind's fields in their fixed
// order}. Encoding never fails.

#include <cstdint>
#include <span>
#include <string>

#include "common/result.h"
#include "pipe/frame.h"
#include "pipe/message.h"

namespace korvan::pipe {

// Strings are written with \" \\ \b \t \n \f \r, \u00xx (lower-case hex) for the
// other bytes below 0x20, and every other byte copied unchanged; absent ports as null.
std::string encode_response(const Response& response);

// Encodes `response` and sends it as one frame.
// Errors: "response too large", "WriteFile: {}", "pipe write 0".
template <class Stream>
Result<void> write_response(Stream& stream, const Response& response) {
    const std::string text = encode_response(response);
    return write_frame(
        stream, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size()));
}

}  // namespace korvan::pipe
