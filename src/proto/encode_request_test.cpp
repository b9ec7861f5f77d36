// Request bodies as clients send them, byte for byte; the texts refused; and every body
// read back by the service's decoder as the request it was made from.

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "proto/decode.h"
#include "proto/encode.h"

namespace korvan::proto {
namespace {

using request::Start;

std::string outcome(const Request& request) {
    const Result<std::string> body = encode_request(request);
    return body ? body.value() : "fault: " + body.error();
}

TEST(EncodeRequest, EachRequestIsCompactJsonWithOpFirstAndRefusesTextThatIsNotUtf8) {
    struct Case {
        Request request;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {request::Ping{}, R"({"op":"ping"})"},
        {request::Status{}, R"({"op":"status"})"},
        {request::Stop{}, R"({"op":"stop"})"},
        {Start{"key: value\n", "", 10800, 10900},
         R"({"op":"start","config_yaml":"key: value\n","secret":"","mixed_port":10800,"ctl_port":10900})"},
        {Start{"", "", 0, 65535},
         R"({"op":"start","config_yaml":"","secret":"","mixed_port":0,"ctl_port":65535})"},
        // Quote, backslash, the short escapes, other controls as \u00xx; slash, DEL
        // and non-ASCII UTF-8 copied.
        {Start{std::string("a\"b\\c\b\f\n\r\t\x01\x1B/\x7F\xC3\xA9\xF0\x9F\x98\x80 \0z", 23),
               "s\"\\", 1, 2},
         "{\"op\":\"start\",\"config_yaml\":\"a\\\"b\\\\c\\b\\f\\n\\r\\t\\u0001\\u001b/\x7F"
         "\xC3\xA9\xF0\x9F\x98\x80 \\u0000z\",\"secret\":\"s\\\"\\\\\",\"mixed_port\":1,"
         "\"ctl_port\":2}"},
        {Start{"a: b\n\xFF", "", 1, 2},
         "fault: config_yaml: not UTF-8 text: invalid byte 0xFF at offset 5"},
        {Start{"\xC0\xAF", "", 1, 2},
         "fault: config_yaml: not UTF-8 text: invalid byte 0xC0 at offset 0"},
        {Start{"ab\xE0\x80\x80", "", 1, 2},
         "fault: config_yaml: not UTF-8 text: invalid byte 0xE0 at offset 2"},
        {Start{"\xED\xA0\x80", "", 1, 2},
         "fault: config_yaml: not UTF-8 text: invalid byte 0xED at offset 0"},
        {Start{"\xF4\x90\x80\x80", "", 1, 2},
         "fault: config_yaml: not UTF-8 text: invalid byte 0xF4 at offset 0"},
        {Start{"\xC3\xA9\xE2\x82", "", 1, 2},
         "fault: config_yaml: not UTF-8 text: invalid byte 0xE2 at offset 2"},
        {Start{"\xE2\x82"
               "a",
               "", 1, 2},
         "fault: config_yaml: not UTF-8 text: invalid byte 0xE2 at offset 0"},
        {Start{"ok", "\x80", 1, 2}, "fault: secret: not UTF-8 text: invalid byte 0x80 at offset 0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(outcome(c.request), c.expected);
    }
}

TEST(EncodeRequest, ABodyLongerThanAFrameIsRefused) {
    // Each quote is escaped as two bytes.
    const size_t envelope =
        std::string(R"({"op":"start","config_yaml":"","secret":"","mixed_port":1,"ctl_port":2})")
            .size();
    const std::string fits((MAX_FRAME_LEN - envelope) / 2, '"');
    EXPECT_TRUE(encode_request(Start{fits, "", 1, 2}).ok());
    const std::string over = fits + '"';
    EXPECT_EQ(outcome(Start{over, "", 1, 2}), "fault: the request would be " +
                                                  std::to_string(envelope + 2 * over.size()) +
                                                  " bytes, more than the 1048576 a frame carries");
}

TEST(EncodeRequest, TheDecoderReadsEveryBodyBackAsItsRequest) {
    std::string every_byte;
    for (int byte = 0; byte < 0x80; ++byte) {
        every_byte += static_cast<char>(byte);
    }
    every_byte += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::vector<Request> requests = {
        request::Ping{},
        request::Status{},
        request::Stop{},
        Start{"", "", 0, 0},
        Start{every_byte, every_byte, 65535, 1},
    };
    for (const Request& request : requests) {
        const Result<std::string> body = encode_request(request);
        ASSERT_TRUE(body.ok()) << body.error();
        const Result<Request> back = decode_request(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(body->data()), body->size()));
        ASSERT_TRUE(back.ok()) << back.error();
        ASSERT_EQ(back->index(), request.index());
        if (const auto* start = std::get_if<Start>(&request)) {
            const auto& got = std::get<Start>(back.value());
            EXPECT_EQ(got.config_yaml, start->config_yaml);
            EXPECT_EQ(got.secret, start->secret);
            EXPECT_EQ(got.mixed_port, start->mixed_port);
            EXPECT_EQ(got.ctl_port, start->ctl_port);
        }
    }
}

}  // namespace
}  // namespace korvan::proto
