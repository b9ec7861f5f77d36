#include "proto/frame.h"

namespace korvan::proto {

std::span<std::uint8_t> FrameReader::space() {
    if (failed_) {
        return {};
    }
    if (prefix_got_ < sizeof prefix_) {
        return std::span<std::uint8_t>(prefix_ + prefix_got_, sizeof prefix_ - prefix_got_);
    }
    return std::span<std::uint8_t>(body_.data() + body_got_, body_.size() - body_got_);
}

Result<void> FrameReader::received(std::uint32_t count) {
    if (count == 0) {
        failed_ = true;
        return Failure{std::string(PIPE_CLOSED)};
    }
    if (prefix_got_ < sizeof prefix_) {
        prefix_got_ += count;
        if (prefix_got_ < sizeof prefix_) {
            return {};
        }
        const std::uint32_t length = std::uint32_t{prefix_[0]} | (std::uint32_t{prefix_[1]} << 8) |
                                     (std::uint32_t{prefix_[2]} << 16) |
                                     (std::uint32_t{prefix_[3]} << 24);
        if (length == 0 || length > MAX_FRAME_LEN) {
            failed_ = true;
            return Failure{std::string(FRAME_LENGTH_OUT_OF_RANGE) + std::to_string(length)};
        }
        body_.assign(length, 0);
        return {};
    }
    body_got_ += count;
    return {};
}

Result<std::vector<std::uint8_t>> frame_bytes(std::span<const std::uint8_t> body) {
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
    return frame;
}

}  // namespace korvan::proto
