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
// None of these functions closes or disconnects the stream, and none keeps state.

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

// Fills all of `buffer`. Errors: "ReadFile: {system error}", "pipe closed".
template <class Stream>
Result<void> read_exact(Stream& stream, std::span<std::uint8_t> buffer) {
    size_t done = 0;
    while (done < buffer.size()) {
        Result<std::uint32_t> got =
            read_some(stream, buffer.data() + done, chunk_size(buffer.size() - done));
        if (!got) {
            return prefixed("ReadFile", got.failure());
        }
        if (got.value() == 0) {
            return Failure{std::string(PIPE_CLOSED)};
        }
        done += got.value();
    }
    return {};
}

// Reads a frame's 4-byte prefix and returns the length it announces, unchecked.
// Nothing after the prefix is read. Errors: those of read_exact.
template <class Stream>
Result<std::uint32_t> read_frame_length(Stream& stream) {
    std::uint8_t prefix[4] = {};
    if (Result<void> read = read_exact(stream, std::span<std::uint8_t>(prefix)); !read) {
        return read.failure();
    }
    return std::uint32_t{prefix[0]} | (std::uint32_t{prefix[1]} << 8) |
           (std::uint32_t{prefix[2]} << 16) | (std::uint32_t{prefix[3]} << 24);
}

// Reads the body that a prefix announced as `length` bytes. The length is checked
// before any buffer is allocated or anything is read; nothing after the body is read.
// Errors: "frame length out of range: {length}", those of read_exact.
template <class Stream>
Result<std::vector<std::uint8_t>> read_frame_body(Stream& stream, std::uint32_t length) {
    if (length == 0 || length > MAX_FRAME_LEN) {
        return Failure{std::string(FRAME_LENGTH_OUT_OF_RANGE) + std::to_string(length)};
    }
    std::vector<std::uint8_t> body(length);
    if (Result<void> read = read_exact(stream, std::span<std::uint8_t>(body)); !read) {
        return read.failure();
    }
    return body;
}

// Reads one frame and returns its body, 1 to MAX_FRAME_LEN bytes: read_frame_length,
// then read_frame_body. Errors: theirs.
template <class Stream>
Result<std::vector<std::uint8_t>> read_frame(Stream& stream) {
    Result<std::uint32_t> length = read_frame_length(stream);
    if (!length) {
        return length.failure();
    }
    return read_frame_body(stream, length.value());
}

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
// whole, one write. A body over MAX_FRAME_LEN is refused with "response too large"
// before anything is written.
// Errors: "response too large", those of write_all.
template <class Stream>
Result<void> write_frame(Stream& stream, std::span<const std::uint8_t> body) {
    if (body.size() > MAX_FRAME_LEN) {
        return Failure{std::string(RESPONSE_TOO_LARGE)};
    }
    const auto length = static_cast<std::uint32_t>(body.size());
    std::vector<std::uint8_t> frame;
    frame.reserve(4 + body.size());
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    frame.insert(frame.end(), body.begin(), body.end());
    return write_all(stream, std::span<const std::uint8_t>(frame));
}

}  // namespace korvan::proto
