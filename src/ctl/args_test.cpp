// The command line: every command, every option, and the exact usage errors.

#include "ctl/args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvan::ctl {
namespace {

// An invocation, or its usage error, as one comparable line.
std::string outcome(const std::vector<std::string>& args) {
    const Result<Invocation> parsed = parse_args(args);
    if (!parsed) {
        return "usage: " + parsed.error();
    }
    const Invocation& i = parsed.value();
    std::string line;
    switch (i.command) {
        case Command::Help:
            return "help";
        case Command::Version:
            return "version";
        case Command::Ping:
            line = "ping";
            break;
        case Command::Status:
            line = "status";
            break;
        case Command::Stop:
            line = "stop";
            break;
        case Command::Start:
            line = "start config=" + i.config_path + " mixed=" + std::to_string(i.mixed_port) +
                   " ctl=" + std::to_string(i.ctl_port) + " secret=[" + i.secret + "]";
            break;
        case Command::Send:
            line = "send " + i.body_path;
            break;
    }
    line += " pipe=" + i.pipe_name + " timeout=" + std::to_string(i.timeout_seconds);
    if (i.json) {
        line += " json";
    }
    if (!i.server_check) {
        line += " no-server-check";
    }
    return line;
}

const std::string DEFAULTS = " pipe=\\\\.\\pipe\\korvan-vpn-service timeout=10";
const std::string RULE =
    "usage: --pipe: expected NAME or \\\\.\\pipe\\NAME, the NAME without \\, / or .. and "
    "not ending in . or a space, got ";

TEST(ParseArgs, EachCommandLineGivesItsCommandOrItsUsageError) {
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"ping"}, "ping" + DEFAULTS},
        {{"status"}, "status" + DEFAULTS},
        {{"stop"}, "stop" + DEFAULTS},
        {{"start", "--config", "c.yaml", "--mixed-port", "10800", "--ctl-port", "10900"},
         "start config=c.yaml mixed=10800 ctl=10900 secret=[]" + DEFAULTS},
        {{"--ctl-port", "65535", "--secret", "s e\"c", "start", "--mixed-port", "0", "--config",
          "d:\\x y.yaml"},
         "start config=d:\\x y.yaml mixed=0 ctl=65535 secret=[s e\"c]" + DEFAULTS},
        {{"start", "--config", "c", "--mixed-port", "00080", "--ctl-port", "1", "--secret", ""},
         "start config=c mixed=80 ctl=1 secret=[]" + DEFAULTS},
        {{"send", "body.json"}, "send body.json" + DEFAULTS},
        {{"send", "-"}, "send -" + DEFAULTS},
        {{"send", "--", "-x"}, "send -x" + DEFAULTS},
        {{"--json", "ping"}, "ping" + DEFAULTS + " json"},
        {{"status", "--no-server-check", "--json"}, "status" + DEFAULTS + " json no-server-check"},
        {{"ping", "--timeout", "1"}, "ping pipe=\\\\.\\pipe\\korvan-vpn-service timeout=1"},
        {{"ping", "--timeout", "3600"}, "ping pipe=\\\\.\\pipe\\korvan-vpn-service timeout=3600"},
        {{"ping", "--pipe", "other"}, "ping pipe=\\\\.\\pipe\\other timeout=10"},
        {{"ping", "--pipe", "\\\\.\\pipe\\other"}, "ping pipe=\\\\.\\pipe\\other timeout=10"},

        {{"--help"}, "help"},
        {{"-h"}, "help"},
        {{"help"}, "help"},
        {{"ping", "--bogus", "--help"}, "help"},
        {{"start", "--help"}, "help"},
        {{"--version"}, "version"},
        {{"ping", "--bogus", "--version"}, "version"},
        {{"--version", "--version"}, "version"},
        {{"--version", "--help"}, "help"},
        {{"version"}, "usage: unknown command \"version\""},

        {{}, "usage: no command given"},
        {{"--json"}, "usage: no command given"},
        {{"Ping"}, "usage: unknown command \"Ping\""},
        {{"ping", "--bogus"}, "usage: unknown option \"--bogus\""},
        {{"ping", "-x"}, "usage: unknown option \"-x\""},
        {{"ping", "extra"}, "usage: unexpected argument \"extra\" after ping"},
        {{"ping", "--timeout"}, "usage: --timeout needs a value"},
        {{"ping", "--json", "--json"}, "usage: --json given twice"},
        {{"ping", "--timeout", "1", "--timeout", "2"}, "usage: --timeout given twice"},
        {{"ping", "--timeout", "0"},
         "usage: --timeout: expected whole seconds from 1 to 3600, got \"0\""},
        {{"ping", "--timeout", "3601"},
         "usage: --timeout: expected whole seconds from 1 to 3600, got \"3601\""},
        {{"ping", "--timeout", "1.5"},
         "usage: --timeout: expected whole seconds from 1 to 3600, got \"1.5\""},
        {{"ping", "--timeout", ""},
         "usage: --timeout: expected whole seconds from 1 to 3600, got \"\""},
        {{"ping", "--pipe", "a\\b"}, RULE + "\"a\\b\""},
        {{"ping", "--pipe", "\\\\.\\pipe\\"}, RULE + "\"\\\\.\\pipe\\\""},
        {{"ping", "--pipe", ""}, RULE + "\"\""},
        {{"ping", "--pipe", "\\\\.\\pipe\\..\\C:\\x"}, RULE + "\"\\\\.\\pipe\\..\\C:\\x\""},
        {{"ping", "--pipe", "korvan-vpn-service."}, RULE + "\"korvan-vpn-service.\""},
        {{"status", "--config", "c"}, "usage: --config is only for start"},
        {{"stop", "--secret", "s"}, "usage: --secret is only for start"},
        {{"send", "f", "--mixed-port", "1"}, "usage: --mixed-port is only for start"},
        {{"start"}, "usage: start needs --config FILE"},
        {{"start", "--config", "c"}, "usage: start needs --mixed-port N"},
        {{"start", "--config", "c", "--mixed-port", "1"}, "usage: start needs --ctl-port N"},
        {{"start", "--config", "", "--mixed-port", "1", "--ctl-port", "2"},
         "usage: --config: expected a file name, got \"\""},
        {{"start", "--config", "c", "--mixed-port", "65536", "--ctl-port", "2"},
         "usage: --mixed-port: expected a port number from 0 to 65535, got \"65536\""},
        {{"start", "--config", "c", "--mixed-port", "-1", "--ctl-port", "2"},
         "usage: --mixed-port: expected a port number from 0 to 65535, got \"-1\""},
        {{"start", "--config", "c", "--mixed-port", "1", "--ctl-port", "+2"},
         "usage: --ctl-port: expected a port number from 0 to 65535, got \"+2\""},
        {{"start", "--config", "c", "--mixed-port", "1", "--ctl-port", "99999999999999999999"},
         "usage: --ctl-port: expected a port number from 0 to 65535, got "
         "\"99999999999999999999\""},
        {{"start", "--config", "c", "--mixed-port", "1", "--ctl-port", "2", "x"},
         "usage: unexpected argument \"x\" after start"},
        {{"send"}, "usage: send needs a FILE, or - for standard input"},
        {{"send", "a", "b"}, "usage: unexpected argument \"b\" after send FILE"},
        // Words of the command line are shown as they were typed, backslashes single.
        {{"send", "C:\\tmp\\a", "C:\\tmp\\b"},
         "usage: unexpected argument \"C:\\tmp\\b\" after send FILE"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) {
            joined += "[" + a + "]";
        }
        EXPECT_EQ(outcome(c.args), c.expected) << "args: " << joined;
    }
}

TEST(ParseArgs, HelpNamesEveryCommandAndOption) {
    for (const char* word : {"ping", "status", "stop", "start --config FILE --mixed-port N",
                             "--ctl-port N [--secret S]", "send FILE", "--json", "--timeout",
                             "--pipe NAME", "--no-server-check", "--help", "--version", "64"}) {
        EXPECT_NE(HELP_TEXT.find(word), std::string_view::npos) << word;
    }
}

}  // namespace
}  // namespace korvan::ctl
