// Answers as a client reads them: every kind, members in any order and members it does
// not know, and every fault text.

#include "proto/decode_response.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "proto/encode.h"

namespace korvan::proto {
namespace {

// The response as encode_response writes it, or "fault: {text}".
std::string outcome(const std::string& body, std::string_view request_op) {
    const Result<Response> got =
        decode_response(std::span<const std::uint8_t>(
                            reinterpret_cast<const std::uint8_t*>(body.data()), body.size()),
                        request_op);
    return got ? encode_response(got.value()) : "fault: " + got.error();
}

struct Case {
    std::string body;
    std::string request_op;
    std::string expected;
};

void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(outcome(c.body, c.request_op), c.expected) << c.body << " for " << c.request_op;
    }
}

const std::string PONG = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
const std::string RUNNING = R"({"ok":"status","running":true,"mixed_port":10800,"ctl_port":10900})";
const std::string NOT_RUNNING =
    R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})";
const std::string STARTED = R"({"ok":"started","mixed_port":0,"ctl_port":65535})";
const std::string STOPPED = R"({"ok":"stopped"})";
const std::string ERROR_ANSWER = R"({"ok":"error","code":"start_failed","message":"m\u00e9\n"})";

TEST(DecodeResponse, EachKindAnswersItsRequestAndAnErrorAnswersAny) {
    check({
        {PONG, "ping", PONG},
        {RUNNING, "status", RUNNING},
        {NOT_RUNNING, "status", NOT_RUNNING},
        {STARTED, "start", STARTED},
        {STOPPED, "stop", STOPPED},
        {ERROR_ANSWER, "ping",
         R"({"ok":"error","code":"start_failed","message":"m)"
         "\xC3\xA9"
         R"(\n"})"},
        {ERROR_ANSWER, "stop",
         R"({"ok":"error","code":"start_failed","message":"m)"
         "\xC3\xA9"
         R"(\n"})"},
        // Without a request, every kind.
        {PONG, "", PONG},
        {RUNNING, "", RUNNING},
        {STARTED, "", STARTED},
        {STOPPED, "", STOPPED},
    });
}

TEST(DecodeResponse, MembersInAnyOrderAndMembersItDoesNotKnowAreRead) {
    check({
        {R"({"service_version":"2.0","extra":[1,{"ok":"x","ok":1}],"version":"7","ok":"pong"})",
         "ping", R"({"ok":"pong","version":"7","service_version":"2.0"})"},
        {" {\"ok\":\"stopped\"}\r\n", "stop", STOPPED},
        {R"({"\u006fk":"stopped","code":1,"code":2})", "stop", STOPPED},
        {R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null,"running_too":1})",
         "status", NOT_RUNNING},
    });
}

TEST(DecodeResponse, EveryFaultNamesWhatIsWrong) {
    const std::string m = "fault: malformed reply: ";
    check({
        {"hello", "ping", m + "not JSON: \"hello\""},
        {"{\"ok\":\"pong\"", "ping", m + "not JSON: \"{\\\"ok\\\":\\\"pong\\\"\""},
        {PONG + "x", "ping",
         m + "not JSON: \"{\\\"ok\\\":\\\"pong\\\",\\\"version\\\":\\\"1\\\","
             "\\\"service_version\\\":\\\"1.0.0\\\"}x\""},
        {std::string(70, 'a'), "ping", m + "not JSON: \"" + std::string(64, 'a') + "\"..."},
        {"{\"ok\":\"\xFF\"}", "ping", m + "not JSON: \"{\\\"ok\\\":\\\"\xFF\\\"}\""},
        {"", "ping", m + "not JSON: \"\""},
        {"\xEF\xBB\xBF" + STOPPED, "stop",
         m + "not JSON: \"\xEF\xBB\xBF{\\\"ok\\\":\\\"stopped\\\"}\""},
        {"[" + std::string(127, '[') + std::string(128, ']'), "ping",
         m + "nested more than 127 levels deep: \"" + std::string(64, '[') + "\"..."},
        {"[" + std::string(126, '[') + std::string(127, ']'), "ping",
         m + "not a JSON object: \"" + std::string(64, '[') + "\"..."},
        {"[\"pong\"]", "ping", m + "not a JSON object: \"[\\\"pong\\\"]\""},
        {"\"pong\"", "ping", m + "not a JSON object: \"\\\"pong\\\"\""},
        {"{}", "ping", m + "no \"ok\" string: \"{}\""},
        {"{\"ok\":true}", "ping", m + "no \"ok\" string: \"{\\\"ok\\\":true}\""},
        {R"({"ok":"stopped","ok":"stopped"})", "stop", m + "\"ok\" is given twice"},
        {"{\"ok\":\"Pong\"}", "ping", m + "unknown \"ok\" \"Pong\""},
        {"{\"ok\":\"ok\"}", "", m + "unknown \"ok\" \"ok\""},
        {STOPPED, "ping", m + "\"stopped\" does not answer ping"},
        {PONG, "status", m + "\"pong\" does not answer status"},
        {NOT_RUNNING, "start", m + "\"status\" does not answer start"},
        {STARTED, "stop", m + "\"started\" does not answer stop"},
        {R"({"ok":"pong","service_version":"1.0.0"})", "ping",
         m + "\"pong\" reply: \"version\" is missing"},
        {R"({"ok":"pong","version":1,"service_version":"1.0.0"})", "ping",
         m + "\"pong\" reply: \"version\" is not a string"},
        {R"({"ok":"pong","version":"1","service_version":null})", "ping",
         m + "\"pong\" reply: \"service_version\" is not a string"},
        {R"({"ok":"pong","version":"1","service_version":"1","service_version":"1"})", "ping",
         m + "\"pong\" reply: \"service_version\" is given twice"},
        {R"({"ok":"status","mixed_port":null,"ctl_port":null})", "status",
         m + "\"status\" reply: \"running\" is missing"},
        {R"({"ok":"status","running":1,"mixed_port":1,"ctl_port":2})", "status",
         m + "\"status\" reply: \"running\" is not a boolean"},
        {R"({"ok":"status","running":true,"mixed_port":null,"ctl_port":2})", "status",
         m + "\"status\" reply: \"mixed_port\" is not a port number"},
        {R"({"ok":"status","running":true,"mixed_port":1})", "status",
         m + "\"status\" reply: \"ctl_port\" is missing"},
        {R"({"ok":"status","running":false,"mixed_port":1,"ctl_port":null})", "status",
         m + "\"status\" reply: \"mixed_port\" is not null while the core is not running"},
        {R"({"ok":"status","running":false,"mixed_port":null})", "status",
         m + "\"status\" reply: \"ctl_port\" is missing"},
        {R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null,"ctl_port":null})",
         "status", m + "\"status\" reply: \"ctl_port\" is given twice"},
        {R"({"ok":"started","mixed_port":65536,"ctl_port":1})", "start",
         m + "\"started\" reply: \"mixed_port\" is not a port number"},
        {R"({"ok":"started","mixed_port":-1,"ctl_port":1})", "start",
         m + "\"started\" reply: \"mixed_port\" is not a port number"},
        {R"({"ok":"started","mixed_port":-0,"ctl_port":1})", "start",
         m + "\"started\" reply: \"mixed_port\" is not a port number"},
        {R"({"ok":"started","mixed_port":1,"ctl_port":10800.0})", "start",
         m + "\"started\" reply: \"ctl_port\" is not a port number"},
        {R"({"ok":"started","mixed_port":1,"ctl_port":1e2})", "start",
         m + "\"started\" reply: \"ctl_port\" is not a port number"},
        {R"({"ok":"started","mixed_port":1,"ctl_port":"2"})", "start",
         m + "\"started\" reply: \"ctl_port\" is not a port number"},
        {R"({"ok":"error","message":"m"})", "stop", m + "\"error\" reply: \"code\" is missing"},
        {R"({"ok":"error","code":"c","message":["m"]})", "stop",
         m + "\"error\" reply: \"message\" is not a string"},
    });
}

}  // namespace
}  // namespace korvan::proto
