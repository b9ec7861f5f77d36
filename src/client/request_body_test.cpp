// The bodies the tool sends, byte for byte, and the config texts it refuses.

#include "client/request_body.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvan::client {
namespace {

using proto::Request;
using proto::request::Start;

std::string outcome(const Request& request) {
    const Result<std::string> body = request_body(request);
    return body ? body.value() : "fault: " + body.error();
}

TEST(RequestBody, EachRequestIsCompactJsonWithOpFirstAndRefusesTextThatIsNotUtf8) {
    struct Case {
        Request request;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {proto::request::Ping{}, R"({"op":"ping"})"},
        {proto::request::Status{}, R"({"op":"status"})"},
        {proto::request::Stop{}, R"({"op":"stop"})"},
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

}  // namespace
}  // namespace korvan::client
