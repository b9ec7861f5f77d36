// What the tool makes of a reply, as the client library reads it: the line it prints,
// where, and the exit code.

#include "ctl/reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl/args.h"
#include "ctl/args.h"
#include "ctl/exit_code.h"

namespace korvan::ctl {
namespace {

struct Case {
    Command command;
    std::string body;
    int exit_code;
    std::optional<std::string> out;
    std::optional<std::string> err;
};

// The reply to the command's request as the tool reads it and shows it.
Outcome interpret_reply(Command command, const std::string& body, bool json) {
    switch (command) {
        case Command::Ping:
            return outcome_of(client::read_reply<proto::response::Pong>(body), json);
        case Command::Status:
            return outcome_of(client::read_reply<proto::response::Status>(body), json);
        case Command::Start:
            return outcome_of(client::read_reply<proto::response::Started>(body), json);
        case Command::Stop:
            return outcome_of(client::read_reply<proto::response::Stopped>(body), json);
        case Command::Send:
            return outcome_of(client::read_reply<client::Answer>(body), json);
        case Command::Help:
        case Command::Version:
            break;
    }
    ADD_FAILURE() << "no request for this command";
    return {};
}

void check(const std::vector<Case>& cases, bool json) {
    for (const Case& c : cases) {
        const Outcome got = interpret_reply(c.command, c.body, json);
        EXPECT_EQ(got.exit_code, c.exit_code) << c.body;
        EXPECT_EQ(got.out, json ? std::optional<std::string>(c.body) : c.out) << c.body;
        EXPECT_EQ(got.err, c.err) << c.body;
    }
}

const std::string PONG = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
const std::string RUNNING = R"({"ok":"status","running":true,"mixed_port":10800,"ctl_port":10900})";
const std::string NOT_RUNNING =
    R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})";
const std::string STARTED = R"({"ok":"started","mixed_port":0,"ctl_port":65535})";
const std::string STOPPED = R"({"ok":"stopped"})";
const std::string BAD_REQUEST =
    R"({"ok":"error","code":"bad_request","message":"parse: missing field `op` at line 1 column 2"})";
const std::string START_FAILED =
    R"j({"ok":"error","code":"start_failed","message":"spawn mihomo: Access is denied.\r\n(os error 5)"})j";

const std::vector<Case> ANSWERS = {
    {Command::Ping, PONG, EXIT_OK, "pong: protocol 1, service 1.0.0", {}},
    {Command::Status,
     RUNNING,
     EXIT_OK,
     "core running: mixed port 10800, controller port 10900",
     {}},
    {Command::Status, NOT_RUNNING, EXIT_OK, "core not running", {}},
    {Command::Start, STARTED, EXIT_OK, "core started: mixed port 0, controller port 65535", {}},
    {Command::Stop, STOPPED, EXIT_OK, "core stopped", {}},
    {Command::Ping,
     BAD_REQUEST,
     EXIT_ANSWER_ERROR,
     {},
     "error bad_request: parse: missing field `op` at line 1 column 2"},
    {Command::Start,
     START_FAILED,
     EXIT_ANSWER_ERROR,
     {},
     "error start_failed: spawn mihomo: Access is denied. (os error 5)"},
    // Members the tool does not know, and any member order, are accepted.
    {Command::Ping,
     R"({"service_version":"2.0","extra":[1],"version":"7","ok":"pong"})",
     EXIT_OK,
     "pong: protocol 7, service 2.0",
     {}},
    {Command::Stop, " {\"ok\":\"stopped\"}\r\n", EXIT_OK, "core stopped", {}},
    // send takes whatever kind comes.
    {Command::Send, PONG, EXIT_OK, "pong: protocol 1, service 1.0.0", {}},
    {Command::Send, RUNNING, EXIT_OK, "core running: mixed port 10800, controller port 10900", {}},
    {Command::Send, NOT_RUNNING, EXIT_OK, "core not running", {}},
    {Command::Send, STARTED, EXIT_OK, "core started: mixed port 0, controller port 65535", {}},
    {Command::Send, STOPPED, EXIT_OK, "core stopped", {}},
    {Command::Send,
     BAD_REQUEST,
     EXIT_ANSWER_ERROR,
     {},
     "error bad_request: parse: missing field `op` at line 1 column 2"},
};

const std::vector<Case> MALFORMED = {
    {Command::Ping, "hello", EXIT_NO_ANSWER, {}, "malformed reply: not JSON: \"hello\""},
    {Command::Ping,
     "{\"ok\":\"pong\"",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: not JSON: \"{\\\"ok\\\":\\\"pong\\\"\""},
    {Command::Ping,
     PONG + "x",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: not JSON: \"{\\\"ok\\\":\\\"pong\\\",\\\"version\\\":\\\"1\\\","
     "\\\"service_version\\\":\\\"1.0.0\\\"}x\""},
    {Command::Ping,
     std::string(70, 'a'),
     EXIT_NO_ANSWER,
     {},
     "malformed reply: not JSON: \"" + std::string(64, 'a') + "\"..."},
    {Command::Ping,
     "{\"ok\":\"\xFF\"}",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: not JSON: \"{\\\"ok\\\":\\\"\xFF\\\"}\""},
    {Command::Ping,
     "[\"pong\"]",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: not a JSON object: \"[\\\"pong\\\"]\""},
    {Command::Ping, "{}", EXIT_NO_ANSWER, {}, "malformed reply: no \"ok\" string: \"{}\""},
    {Command::Ping,
     "{\"ok\":true}",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: no \"ok\" string: \"{\\\"ok\\\":true}\""},
    {Command::Ping,
     "{\"ok\":\"Pong\"}",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: unknown \"ok\" \"Pong\""},
    {Command::Send,
     "{\"ok\":\"ok\"}",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: unknown \"ok\" \"ok\""},
    {Command::Ping,
     STOPPED,
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"stopped\" does not answer ping"},
    {Command::Status, PONG, EXIT_NO_ANSWER, {}, "malformed reply: \"pong\" does not answer status"},
    {Command::Start,
     NOT_RUNNING,
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"status\" does not answer start"},
    {Command::Stop,
     STARTED,
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"started\" does not answer stop"},
    {Command::Ping,
     R"({"ok":"pong","service_version":"1.0.0"})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"pong\" reply: \"version\" is missing"},
    {Command::Ping,
     R"({"ok":"pong","version":1,"service_version":"1.0.0"})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"pong\" reply: \"version\" is not a string"},
    {Command::Ping,
     R"({"ok":"pong","version":"1","service_version":null})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"pong\" reply: \"service_version\" is not a string"},
    {Command::Status,
     R"({"ok":"status","mixed_port":null,"ctl_port":null})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"status\" reply: \"running\" is missing"},
    {Command::Status,
     R"({"ok":"status","running":1,"mixed_port":1,"ctl_port":2})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"status\" reply: \"running\" is not a boolean"},
    {Command::Status,
     R"({"ok":"status","running":true,"mixed_port":null,"ctl_port":2})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"status\" reply: \"mixed_port\" is not a port number"},
    {Command::Status,
     R"({"ok":"status","running":true,"mixed_port":1})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"status\" reply: \"ctl_port\" is missing"},
    {Command::Status,
     R"({"ok":"status","running":false,"mixed_port":1,"ctl_port":null})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"status\" reply: \"mixed_port\" is not null while the core is not running"},
    {Command::Status,
     R"({"ok":"status","running":false,"mixed_port":null})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"status\" reply: \"ctl_port\" is missing"},
    {Command::Start,
     R"({"ok":"started","mixed_port":65536,"ctl_port":1})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"started\" reply: \"mixed_port\" is not a port number"},
    {Command::Start,
     R"({"ok":"started","mixed_port":-1,"ctl_port":1})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"started\" reply: \"mixed_port\" is not a port number"},
    {Command::Start,
     R"({"ok":"started","mixed_port":1,"ctl_port":10800.0})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"started\" reply: \"ctl_port\" is not a port number"},
    {Command::Start,
     R"({"ok":"started","mixed_port":1,"ctl_port":"2"})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"started\" reply: \"ctl_port\" is not a port number"},
    {Command::Stop,
     R"({"ok":"error","message":"m"})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"error\" reply: \"code\" is missing"},
    {Command::Stop,
     R"({"ok":"error","code":"c","message":["m"]})",
     EXIT_NO_ANSWER,
     {},
     "malformed reply: \"error\" reply: \"message\" is not a string"},
};

TEST(InterpretReply, EachAnswerPrintsItsLineAndExitCode) {
    check(ANSWERS, false);
}

TEST(InterpretReply, MalformedReplyExitsTwoNamingWhatIsWrong) {
    check(MALFORMED, false);
}

// With --json the body goes out exactly as it came, malformed or not; the exit code
// and the message on standard error do not change.
TEST(InterpretReply, JsonShowsTheBodyAsReceived) {
    check(ANSWERS, true);
    check(MALFORMED, true);
}

}  // namespace
}  // namespace korvan::ctl
