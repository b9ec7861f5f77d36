// Responses byte for byte: key order, compact form, string escapes, and error
// messages cut to fit a frame.

#include "proto/encode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "proto/decode.h"

namespace korvan::proto {
namespace {

TEST(EncodeResponse, EachKindByteForByte) {
    struct Case {
        Response response;
        std::string text;
    };
    const std::vector<Case> cases = {
        {response::Pong{"1", "1.0.0"}, R"({"ok":"pong","version":"1","service_version":"1.0.0"})"},
        {response::Status{true, 10800, 10900},
         R"({"ok":"status","running":true,"mixed_port":10800,"ctl_port":10900})"},
        {response::Status{false, std::nullopt, std::nullopt},
         R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})"},
        {response::Status{true, 0, 65535},
         R"({"ok":"status","running":true,"mixed_port":0,"ctl_port":65535})"},
        {response::Started{10800, 10900},
         R"({"ok":"started","mixed_port":10800,"ctl_port":10900})"},
        {response::Started{0, 0}, R"({"ok":"started","mixed_port":0,"ctl_port":0})"},
        {response::Stopped{}, R"({"ok":"stopped"})"},
        {response::Error{"bad_request",
                         "parse: unknown variant `Ping`, expected one of `ping`, `status`, "
                         "`start`, `stop` at line 1 column 12"},
         R"({"ok":"error","code":"bad_request","message":"parse: unknown variant `Ping`, expected one of `ping`, `status`, `start`, `stop` at line 1 column 12"})"},
        {response::Error{"start_failed", "ProgramData not set"},
         R"({"ok":"error","code":"start_failed","message":"ProgramData not set"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encode_response(c.response), c.text);
    }
}

TEST(EncodeResponse, PongOfVersionOneIsFiftyThreeBytesLong) {
    EXPECT_EQ(encode_response(response::Pong{"1", "1.0.0"}).size(), 53u);
}

TEST(EncodeResponse, QuotesBackslashesAndControlBytesAreEscaped) {
    struct Case {
        std::string text;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"\"", R"(\")"},
        {"\\", R"(\\)"},
        {"\b\t\n\f\r", R"(\b\t\n\f\r)"},
        {std::string("\0", 1), R"(\u0000)"},
        {"\x01\x0b\x0e\x1b\x1f", R"(\u0001\u000b\u000e\u001b\u001f)"},
        {"/ \x7f", "/ \x7f"},
        {"caf\xC3\xA9 \xE6\x9C\x8D \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE6\x9C\x8D \xF0\x9F\x98\x80"},
        // Not UTF-8: copied unchanged all the same, the encoder never fails.
        {"\xFF\xC3", "\xFF\xC3"},
        {"C:\\ProgramData\\KorvanVPN", R"(C:\\ProgramData\\KorvanVPN)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encode_response(response::Error{"start_failed", c.text}),
                  R"({"ok":"error","code":"start_failed","message":")" + c.written + "\"}")
            << c.written;
    }
}

// {"ok":"error","code":"x","message":""} is 38 bytes and CUT_MARK 12, so an error of
// code "x" cut to fit `limit` bytes keeps a message that encodes in limit - 50 bytes.
TEST(EncodeResponseWithin, ErrorMessagesCutToTheLimit) {
    struct Case {
        const char* name;
        Response response;
        size_t limit;
        std::string encoded;
    };
    const auto error = [](std::string message) { return response::Error{"x", std::move(message)}; };
    const auto answer = [](const std::string& written) {
        return R"({"ok":"error","code":"x","message":")" + written + "\"}";
    };
    const std::string tail = "klmnopqrstuvwxyz";
    const std::vector<Case> cases = {
        {"fits exactly, unchanged", error("abcdefghijklmnopqrstuv"), 60,
         answer("abcdefghijklmnopqrstuv")},
        {"one byte over, cut among ASCII", error("abcdefghijklmnopqrstuvw"), 60,
         answer("abcdefghij [truncated]")},
        {"no room for any of the message", error("abcdefghijklmnopqrstuvw"), 50,
         answer(" [truncated]")},
        {"no room for the mark, encoded whole", error("abcdefghijklmnopqrstuvw"), 49,
         answer("abcdefghijklmnopqrstuvw")},
        {"a 2-byte sequence that would end one byte over is left out",
         error("abcdefghi\xC3\xA9" + tail), 60, answer("abcdefghi [truncated]")},
        {"a 3-byte sequence that would end one byte over is left out",
         error("abcdefgh\xE6\x9C\x8D" + tail), 60, answer("abcdefgh [truncated]")},
        {"a 4-byte sequence that would end one byte over is left out",
         error("abcdefg\xF0\x9F\x98\x80" + tail), 60, answer("abcdefg [truncated]")},
        {"a 4-byte sequence that ends at the limit is kept", error("abcdef\xF0\x9F\x98\x80" + tail),
         60, answer("abcdef\xF0\x9F\x98\x80 [truncated]")},
        {"quote and backslash cost 2 each", error("ab\"cd\\ef" + tail), 60,
         answer(R"(ab\"cd\\ef [truncated])")},
        {"a line feed costing 2 that would end one byte over is left out",
         error("abcdefghi\n" + tail), 60, answer("abcdefghi [truncated]")},
        {"a control byte costing 6 that ends at the limit is kept", error("abcd\x01" + tail), 60,
         answer(R"(abcd\u0001 [truncated])")},
        {"a control byte costing 6 that would end one byte over is left out, nothing after it "
         "is taken",
         error("abcde\x01" + tail), 60, answer("abcde [truncated]")},
        {"bytes that begin no sequence are units of their own", error("abcdefghi\xFF\xFE" + tail),
         60, answer("abcdefghi\xFF [truncated]")},
        {"a lead byte without its last continuation byte is a unit of its own, and so is the "
         "continuation byte after it",
         error("abcdefgh\xE6\x9C" + tail), 60, answer("abcdefgh\xE6\x9C [truncated]")},
        {"an encoded surrogate is no sequence", error("abcdefgh\xED\xA0\x80" + tail), 60,
         answer("abcdefgh\xED\xA0 [truncated]")},
        {"an overlong form is no sequence", error("abcdefgh\xE0\x80\x80" + tail), 60,
         answer("abcdefgh\xE0\x80 [truncated]")},
        {"another kind over the limit is encoded whole", response::Pong{"1", "1.0.0"}, 10,
         R"({"ok":"pong","version":"1","service_version":"1.0.0"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encode_response_within(c.response, c.limit), c.encoded) << c.name;
    }
}

// What write_response writes goes here.
struct Collected {
    std::string bytes;
};

Result<std::uint32_t> write_some(Collected& to, const std::uint8_t* from, std::uint32_t count) {
    to.bytes.append(reinterpret_cast<const char*>(from), count);
    return count;
}

std::string frame_of(const std::string& body) {
    const auto length = static_cast<std::uint32_t>(body.size());
    return std::string{static_cast<char>(length), static_cast<char>(length >> 8),
                       static_cast<char>(length >> 16), static_cast<char>(length >> 24)} +
           body;
}

// A start request of exactly MAX_FRAME_LEN bytes whose mixed_port is a string of
// 1,048,504 bytes 0x7F: 72 bytes of the body are the rest of the request.
TEST(WriteResponse, DecoderFaultLongerThanAFrameIsSentCutToFit) {
    const std::string head = R"({"op":"start","config_yaml":"","secret":"","mixed_port":")";
    const std::string end = R"(","ctl_port":1})";
    const std::string body = head + std::string(1'048'504, '\x7F') + end;
    ASSERT_EQ(body.size(), MAX_FRAME_LEN);
    const Result<Request> decoded = decode_request(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
    ASSERT_FALSE(decoded.ok());

    // The message describes each 0x7F as \u{7f}: "parse: invalid type: string \"" then
    // "\\u{7f}" for each byte. Around the message go 48 bytes
    // ({"ok":"error","code":"bad_request","message":""}) and CUT_MARK, 12: 1,048,516
    // bytes remain for it. Its beginning takes 30 of them (the quote is escaped), each
    // \u{7f} 7 (the backslash is escaped): 149,783 of them take 1,048,481, and of the
    // last 5, \u{7 takes 5 (2 + 1 + 1 + 1).
    std::string expected =
        R"({"ok":"error","code":"bad_request","message":"parse: invalid type: string \")";
    for (int i = 0; i < 149'783; ++i) {
        expected += R"(\\u{7f})";
    }
    expected += R"(\\u{7 [truncated]"})";
    ASSERT_EQ(expected.size(), MAX_FRAME_LEN);

    Collected written;
    ASSERT_TRUE(write_response(
                    written, response::Error{std::string(BAD_REQUEST), "parse: " + decoded.error()})
                    .ok());
    EXPECT_TRUE(written.bytes == frame_of(expected))
        << written.bytes.size() << " bytes, beginning " << written.bytes.substr(0, 100)
        << ", ending " << written.bytes.substr(std::max<size_t>(written.bytes.size(), 100) - 100);
}

TEST(WriteResponse, AnotherKindLongerThanAFrameWritesNothing) {
    Collected written;
    const Result<void> result =
        write_response(written, response::Pong{std::string(MAX_FRAME_LEN, 'v'), "1"});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), "response too large");
    EXPECT_EQ(written.bytes, "");
}

}  // namespace
}  // namespace korvan::proto
