#pragma once

// Frames on the control pipe: a 4-byte little-endian body length, then the body.
// Requests and responses alike carry 1 to MAX_FRAME_LEN body bytes.
//
// The frame logic works on any byte stream. A stream type S provides, found by
// argument-dependent lookup:
//   Result<std::uint32_t> read_some(S&, std::uint8_t* into, std::uint32_t count);
//   Result<std::uint32_t> write_some(S&, const std::uint8_t* from, std::uint32_t count);
// Each moves up to `count` bytes and returns how many it moved (0 on a read: the
// other end has closed), or the system error text. On the pipe these are ReadFile
// and WriteFile; natively and in tests, a buffer in memory.
//
// None of these functions closes or disconnects the stream; only a FrameReader keeps
// what it has read.

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace korvan::proto {

inline constexpr std::uint32_t MAX_FRAME_LEN = 1'048'576;

inline constexpr std::string_view PIPE_CLOSED = "pipe closed";
inline constexpr std::string_view PIPE_WRITE_0 = "pipe write 0";
inline constexpr std::string_view RESPONSE_TOO_LARGE = "response too large";
inline constexpr std::string_view FRAME_LENGTH_OUT_OF_RANGE = "frame length out of range: ";

// One read or write call moves at most what a DWORD can count.
inline std::uint32_t chunk_size(size_t remaining) {
    return remaining < std::numeric_limits<std::uint32_t>::max()
               ? static_cast<std::uint32_t>(remaining)
               : std::numeric_limits<std::uint32_t>::max();
}

// One frame read from bytes that arrive in pieces, for a reader that cannot block: it
// says where the next bytes go and is told how many came. It asks for the frame's own
// bytes alone, the rest of the prefix and then the rest of the body, so that nothing
// after the frame is read. The length is checked as soon as the prefix is whole, before
// any buffer for the body is allocated.
class FrameReader {
  public:
    // Where the next bytes go; empty once the frame is whole.
    std::span<std::uint8_t> space();

    // `count` bytes (at most space().size()) have arrived in space(); 0 means that the
    // other end has closed. Errors: "pipe closed", and "frame length out of range: {}"
    // (the announced length in decimal) once the prefix is whole. After an error the
    // reader takes nothing more.
    Result<void> received(std::uint32_t count);

    // The prefix is whole and its length in range.
    bool has_length() const { return prefix_got_ == sizeof prefix_ && !failed_; }
    // The body is whole.
    bool complete() const { return has_length() && body_got_ == body_.size(); }
    // The body of a complete frame, 1 to MAX_FRAME_LEN bytes; the reader keeps nothing.
    std::vector<std::uint8_t> take_body() { return std::move(body_); }

  private:
    std::uint8_t prefix_[4] = {};
    size_t prefix_got_ = 0;
    std::vector<std::uint8_t> body_;
    size_t body_got_ = 0;
    bool failed_ = false;
};

// Reads one frame and returns its body, 1 to MAX_FRAME_LEN bytes (FrameReader).
// Errors: "ReadFile: {system error}", and those of FrameReader::received.
template <class Stream>
Result<std::vector<std::uint8_t>> read_frame(Stream& stream) {
    FrameReader reader;
    while (!reader.complete()) {
        const std::span<std::uint8_t> space = reader.space();
        Result<std::uint32_t> got = read_some(stream, space.data(), chunk_size(space.size()));
        if (!got) {
            return prefixed("ReadFile", got.failure());
        }
        if (Result<void> taken = reader.received(got.value()); !taken) {
            return taken.failure();
        }
    }
    return reader.take_body();
}

// The bytes of one frame: the prefix, then `body`. A body over MAX_FRAME_LEN is refused.
// Error: "response too large".
Result<std::vector<std::uint8_t>> frame_bytes(std::span<const std::uint8_t> body);

// Writes all of `bytes`. Errors: "WriteFile: {system error}", "pipe write 0".
template <class Stream>
Result<void> write_all(Stream& stream, std::span<const std::uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        Result<std::uint32_t> put =
            write_some(stream, bytes.data() + done, chunk_size(bytes.size() - done));
        if (!put) {
            return prefixed("WriteFile", put.failure());
        }
        if (put.value() == 0) {
            return Failure{std::string(PIPE_WRITE_0)};
        }
        done += put.value();
    }
    return {};
}

// Writes one frame, its prefix and its body together: on a stream that takes them
// whole, one write (frame_bytes). Errors: "response too large", those of write_all.
template <class Stream>
Result<void> write_frame(Stream& stream, std::span<const std::uint8_t> body) {
    Result<std::vector<std::uint8_t>> frame = frame_bytes(body);
    if (!frame) {
        return frame.failure();
    }
    return write_all(stream, std::span<const std::uint8_t>(frame.value()));
}

}  // namespace korvan::proto
