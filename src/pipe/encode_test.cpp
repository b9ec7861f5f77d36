// Responses byte for byte: key order, compact form, string escapes.

#include "pipe/encode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvan::pipe {
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

TEST(EncodeResponse, PongIs53Bytes) {
    EXPECT_EQ(encode_response(response::Pong{"1", "1.0.0"}).size(), 53u);
}

TEST(EncodeResponse, StringEscapes) {
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

}  // namespace
}  // namespace korvan::pipe
