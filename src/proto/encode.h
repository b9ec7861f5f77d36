#pragma once

// Responses as compact JSON: {"ok":"<kind>", then the kind's fields in their fixed
// order}; encoding a response never fails. Requests, as a client sends them, the same
// way: {"op":"<kind>", then a start's fields}.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "proto/frame.h"
#include "proto/message.h"

namespace korvan::proto {

// Strings are written with \" \\ \b \t \n \f \r, \u00xx (lower-case hex) for the
// other bytes below 0x20, and every other byte copied unchanged; absent ports as null.
std::string encode_response(const Response& response);

// Ends the message of an error response that was cut to fit its frame. Plain ASCII
// that needs no escape: it costs its own length.
inline constexpr std::string_view CUT_MARK = " [truncated]";

// The encoding of `response` when it is at most `limit` bytes long. An error response
// that would be longer keeps its code and has its message cut: to its longest beginning
// that, followed by CUT_MARK, encodes within `limit` bytes. The message is cut only
// between UTF-8 sequences; a byte that begins no well-formed sequence (RFC 3629) is a
// unit of its own. A response of another kind is encoded whole whatever its length, and
// so is an error whose code leaves no room for the mark.
std::string encode_response_within(const Response& response, size_t limit);

// The body of `request` as a client sends it, "op" first and then a start's fields in
// their fixed order: {"op":"ping"}, or {"op":"start","config_yaml":"...","secret":"...",
// "mixed_port":N,"ctl_port":N}. Strings are written as encode_response writes them, and
// must be well-formed UTF-8 (RFC 3629).
// Errors (no system error): not_utf8_fault for the first byte of config_yaml, then of
// secret, that begins no well-formed sequence; request_too_large_fault for a body over
// MAX_FRAME_LEN bytes.
Result<std::string> encode_request(const Request& request);

// "{field}: not UTF-8 text: invalid byte 0x{XX} at offset {offset}", XX in upper case.
std::string not_utf8_fault(std::string_view field, std::uint8_t byte, size_t offset);
// "the request would be {size} bytes, more than the 1048576 a frame carries"
std::string request_too_large_fault(size_t size);

// `response` as one frame, encoded within MAX_FRAME_LEN bytes (see
// encode_response_within): an error too long has its message cut, a response of another
// kind too long is refused. Error: "response too large".
Result<std::vector<std::uint8_t>> response_frame(const Response& response);

// Sends response_frame(response). Errors: "response too large", "WriteFile: {}",
// "pipe write 0".
template <class Stream>
Result<void> write_response(Stream& stream, const Response& response) {
    Result<std::vector<std::uint8_t>> frame = response_frame(response);
    if (!frame) {
        return frame.failure();
    }
    return write_all(stream, std::span<const std::uint8_t>(frame.value()));
}

}  // namespace korvan::proto
