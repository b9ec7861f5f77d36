// korvan-vpn-ctl.exe run for real, against pipe servers of the test's own that stand
// in for the service: what it sends, what it prints where, and its exit code.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl/args.h"
#include "support/frames.h"
#include "support/pipe_server.h"
#include "support/test_support.h"
#include "support/tool_run.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::ctl {
namespace {

using test_support::expected_os_text;
using test_support::framed;
using test_support::module_dir;
using test_support::PipeServer;
using test_support::Script;
using test_support::TempDir;
using test_support::ToolResult;
using test_support::write_file;
using win::narrow;

const std::string PONG = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
const std::string PREFIX = "korvan-vpn-ctl: ";

std::wstring tool() {
    return module_dir() + L"\\korvan-vpn-ctl.exe";
}

// The tool with `args`, pointed at `server` without the server check.
ToolResult run_against(const PipeServer& server, std::vector<std::wstring> args,
                       std::string input = {}) {
    args.insert(args.end(), {L"--pipe", server.name, L"--no-server-check"});
    return test_support::run_tool(tool(), args, std::move(input));
}

void expect_result(const ToolResult& got, DWORD exit_code, const std::string& out,
                   const std::string& err) {
    EXPECT_EQ(got.exit_code, exit_code);
    EXPECT_EQ(got.out, out);
    EXPECT_EQ(got.err, err);
}

TEST(CtlExe, EveryCommandSendsItsRequestAndShowsTheAnswer) {
    TempDir dir(L"ctl");
    // A config that JSON must escape: quotes, backslashes, CR LF, a tab, non-ASCII.
    const std::string config = "name: \"Z\xC3\xBCrich\"\r\npath: C:\\core\\\tx\n";
    const std::wstring config_path = dir.path + L"\\config \xE9.yaml";
    ASSERT_TRUE(write_file(config_path, config));

    struct Case {
        std::vector<std::wstring> args;
        std::string reply;
        std::string request;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{L"ping"}, PONG, R"({"op":"ping"})", "pong: protocol 1, service 1.0.0\n"},
        {{L"status"},
         R"({"ok":"status","running":true,"mixed_port":10800,"ctl_port":10900})",
         R"({"op":"status"})",
         "core running: mixed port 10800, controller port 10900\n"},
        {{L"status"},
         R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})",
         R"({"op":"status"})",
         "core not running\n"},
        {{L"stop"}, R"({"ok":"stopped"})", R"({"op":"stop"})", "core stopped\n"},
        {{L"start", L"--config", config_path, L"--mixed-port", L"10800", L"--ctl-port", L"10900"},
         R"({"ok":"started","mixed_port":10800,"ctl_port":10900})",
         R"({"op":"start","config_yaml":"name: \"Z)"
         "\xC3\xBC"
         R"(rich\"\r\npath: C:\\core\\\tx\n","secret":"","mixed_port":10800,"ctl_port":10900})",
         "core started: mixed port 10800, controller port 10900\n"},
        {{L"--secret", L"a \"b\\", L"start", L"--config", config_path, L"--mixed-port", L"0",
          L"--ctl-port", L"65535"},
         R"({"ok":"started","mixed_port":0,"ctl_port":65535})",
         R"({"op":"start","config_yaml":"name: \"Z)"
         "\xC3\xBC"
         R"(rich\"\r\npath: C:\\core\\\tx\n","secret":"a \"b\\","mixed_port":0,"ctl_port":65535})",
         "core started: mixed port 0, controller port 65535\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        PipeServer server({{framed(c.reply)}});
        expect_result(run_against(server, c.args), 0, c.out, "");
        EXPECT_EQ(server.requests(), std::vector<std::string>{c.request});
    }
}

TEST(CtlExe, StartReadsTheConfigFromStandardInputForADash) {
    const std::string config = "mixed-port: 7890\r\n\xC3\xA9\n";
    PipeServer server({{framed(R"({"ok":"started","mixed_port":1,"ctl_port":2})")}});
    expect_result(
        run_against(server,
                    {L"start", L"--config", L"-", L"--mixed-port", L"1", L"--ctl-port", L"2"},
                    config),
        0, "core started: mixed port 1, controller port 2\n", "");
    EXPECT_EQ(server.requests(),
              std::vector<std::string>{R"({"op":"start","config_yaml":"mixed-port: 7890\r\n)"
                                       "\xC3\xA9"
                                       R"(\n","secret":"","mixed_port":1,"ctl_port":2})"});
}

TEST(CtlExe, JsonPrintsTheBodyAsReceived) {
    const std::string body =
        " {\"ok\":\"pong\", \"version\":\"1\",\"service_version\":\"1.0.0\"}\t";
    PipeServer server({{framed(body)}});
    expect_result(run_against(server, {L"--json", L"ping"}), 0, body + "\n", "");
}

TEST(CtlExe, ErrorAnswerExitsWithOne) {
    const std::string body =
        R"({"ok":"error","code":"start_failed","message":"spawn mihomo: \u00e9chec"})";
    TempDir dir(L"ctl");
    ASSERT_TRUE(write_file(dir.path + L"\\c.yaml", "a: b\n"));
    const std::vector<std::wstring> args = {
        L"start", L"--config", dir.path + L"\\c.yaml", L"--mixed-port", L"1", L"--ctl-port", L"2"};
    {
        PipeServer server({{framed(body)}});
        expect_result(run_against(server, args), 1, "",
                      PREFIX +
                          "error start_failed: spawn mihomo: \xC3\xA9"
                          "chec\n");
    }
    {
        PipeServer server({{framed(body)}});
        std::vector<std::wstring> json_args = args;
        json_args.push_back(L"--json");
        expect_result(run_against(server, json_args), 1, body + "\n",
                      PREFIX +
                          "error start_failed: spawn mihomo: \xC3\xA9"
                          "chec\n");
    }
}

TEST(CtlExe, MalformedRepliesExitWithTwo) {
    struct Case {
        std::string reply;
        std::string err;
    };
    const std::vector<Case> cases = {
        {framed("pong"), "malformed reply: not JSON: \"pong\""},
        {framed(R"({"ok":"pong","version":"1"})"),
         "malformed reply: \"pong\" reply: \"service_version\" is missing"},
        {framed(R"({"ok":"stopped"})"), "malformed reply: \"stopped\" does not answer ping"},
        {framed(R"({"ok":"hello"})"), "malformed reply: unknown \"ok\" \"hello\""},
        {std::string("\0\0\0\0", 4), "read reply: frame length out of range: 0"},
        {std::string("\x01\x00\x10\x00", 4), "read reply: frame length out of range: 1048577"},
        {std::string("\x10\x00\x00\x00{\"ok\"", 9),
         "read reply: the connection closed in the middle of the answer"},
        {std::string("\x10\x00", 2),
         "read reply: the connection closed in the middle of the answer"},
        {"", "read reply: the connection closed without an answer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        PipeServer server({{c.reply}});
        expect_result(run_against(server, {L"ping"}), 2, "", PREFIX + c.err + "\n");
    }
}

TEST(CtlExe, ServerThatNeverAnswersIsLeftAtTheTimeout) {
    PipeServer server({{"", true}});
    expect_result(run_against(server, {L"status", L"--timeout", L"1"}), 2, "",
                  PREFIX + "read reply: no answer within 1 s\n");
    EXPECT_EQ(server.requests(), std::vector<std::string>{R"({"op":"status"})"});
}

// A request larger than the pipe's buffer cannot be written while the server reads
// nothing; the deadline ends the write.
TEST(CtlExe, ServerThatReadsNothingIsLeftAtTheTimeout) {
    TempDir dir(L"ctl");
    ASSERT_TRUE(write_file(dir.path + L"\\big.yaml", std::string(700'000, 'y')));
    PipeServer server({{"", false, true}});
    expect_result(
        run_against(server, {L"start", L"--config", dir.path + L"\\big.yaml", L"--mixed-port", L"1",
                             L"--ctl-port", L"2", L"--timeout", L"1"}),
        2, "", PREFIX + "send request: the server took no request within 1 s\n");
}

// With no service korvan-vpn-service installed in the Wine prefix, the tool does not wait
// out its 10 s for the service's pipe.
TEST(CtlExe, AServiceThatIsNotInstalledIsReportedAtOnce) {
    const ULONGLONG began = GetTickCount64();
    expect_result(test_support::run_tool(tool(), {L"ping"}), 2, "",
                  PREFIX +
                      "connect \\\\.\\pipe\\korvan-vpn-service: the service "
                      "korvan-vpn-service is not installed\n");
    // A generous bound for "at once": the tool's own start-up included.
    EXPECT_LT(GetTickCount64() - began, 5000u);
}

TEST(CtlExe, PipeThatDoesNotExist) {
    const std::wstring name = test_support::unique_pipe_name();
    expect_result(test_support::run_tool(tool(), {L"ping", L"--timeout", L"1", L"--pipe", name}), 2,
                  "",
                  PREFIX + "connect " + narrow(name) +
                      ": the pipe does not exist (is the service running?)\n");
}

// While another client holds the only instance, the tool waits; if the instance stays
// taken it gives up at the deadline.
TEST(CtlExe, BusyPipeUntilTheDeadline) {
    PipeServer server({{framed(PONG)}});
    win::UniqueHandle holder(CreateFileW(server.name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid()) << GetLastError();
    expect_result(run_against(server, {L"ping", L"--timeout", L"1"}), 2, "",
                  PREFIX + "connect " + narrow(server.name) +
                      ": every instance of the pipe stayed busy for 1 s\n");
    holder.reset();
    EXPECT_EQ(server.requests().size(), 1u);
}

// The holder lets go while the tool waits: the tool gets the next instance, which the
// server creates only after closing the first, as the service does.
TEST(CtlExe, BusyPipeThatFreesUp) {
    PipeServer server({{""}, {framed(PONG)}});
    win::UniqueHandle holder(CreateFileW(server.name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid()) << GetLastError();
    test_support::RunningTool running =
        test_support::start_tool(tool(), {L"ping", L"--pipe", server.name, L"--no-server-check"});
    // Not a measurement: only gives the tool time to find the pipe busy first. Either
    // way it must end with the answer.
    Sleep(500);
    holder.reset();
    expect_result(test_support::finish_tool(running), 0, "pong: protocol 1, service 1.0.0\n", "");
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1], R"({"op":"ping"})");
}

// The test's own process serves the pipe, and no service korvan-vpn-service is
// installed in the Wine prefix: the tool must refuse to send anything.
TEST(CtlExe, ServerCheckRefusesAPipeThatIsNotTheService) {
    win::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_TRUE(manager.valid());
    win::UniqueServiceHandle service(
        OpenServiceW(manager.get(), L"korvan-vpn-service", SERVICE_QUERY_STATUS));
    ASSERT_FALSE(service.valid());
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    PipeServer server({{framed(PONG)}});
    expect_result(test_support::run_tool(tool(), {L"ping", L"--pipe", server.name}), 2, "",
                  PREFIX +
                      "server check: the service korvan-vpn-service is not installed, so process " +
                      std::to_string(GetCurrentProcessId()) +
                      " that serves the pipe is not it (--no-server-check skips this check)\n");
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].starts_with("no request: ")) << requests[0];
}

TEST(CtlExe, NoServerCheckTalksToThatPipe) {
    PipeServer server({{framed(PONG)}});
    expect_result(
        test_support::run_tool(tool(), {L"--no-server-check", L"--pipe", server.name, L"ping"}), 0,
        "pong: protocol 1, service 1.0.0\n", "");
    EXPECT_EQ(server.requests(), std::vector<std::string>{R"({"op":"ping"})"});
}

TEST(CtlExe, SendPassesTheBytesUnchanged) {
    TempDir dir(L"ctl");
    const std::string file_body = "{\"op\":\"Ping\"}\n";
    ASSERT_TRUE(write_file(dir.path + L"\\body.json", file_body));
    const std::string bad_request =
        R"({"ok":"error","code":"bad_request","message":"parse: unknown variant `Ping`, expected one of `ping`, `status`, `start`, `stop` at line 1 column 12"})";
    {
        PipeServer server({{framed(bad_request)}});
        expect_result(run_against(server, {L"send", dir.path + L"\\body.json"}), 1, "",
                      PREFIX +
                          "error bad_request: parse: unknown variant `Ping`, expected one of "
                          "`ping`, `status`, `start`, `stop` at line 1 column 12\n");
        EXPECT_EQ(server.requests(), std::vector<std::string>{file_body});
    }
    {
        // Standard input, with bytes that are neither JSON nor UTF-8, and a CR LF that
        // must not be translated.
        const std::string stdin_body("\xFF\x00 x\r\n", 6);
        PipeServer server({{framed(R"({"ok":"stopped"})")}});
        expect_result(run_against(server, {L"send", L"-"}, stdin_body), 0, "core stopped\n", "");
        EXPECT_EQ(server.requests(), std::vector<std::string>{stdin_body});
    }
}

// More than the pipe's 64 KiB buffer in each direction.
TEST(CtlExe, LargeRequestAndReply) {
    TempDir dir(L"ctl");
    const std::string config(700'000, 'y');
    ASSERT_TRUE(write_file(dir.path + L"\\big.yaml", config));
    const std::string message(900'000, 'm');
    const std::string reply =
        R"({"ok":"error","code":"start_failed","message":")" + message + "\"}";
    PipeServer server({{framed(reply)}});
    expect_result(run_against(server, {L"start", L"--config", dir.path + L"\\big.yaml",
                                       L"--mixed-port", L"1", L"--ctl-port", L"2"}),
                  1, "", PREFIX + "error start_failed: " + message + "\n");
    EXPECT_EQ(server.requests(),
              std::vector<std::string>{R"({"op":"start","config_yaml":")" + config +
                                       R"(","secret":"","mixed_port":1,"ctl_port":2})"});
}

TEST(CtlExe, UsageErrorsAndFilesThatCannotBeUsed) {
    TempDir dir(L"ctl");
    const std::wstring missing = dir.path + L"\\missing.yaml";
    ASSERT_TRUE(write_file(dir.path + L"\\latin1.yaml", "caf\xE9\n"));
    ASSERT_TRUE(write_file(dir.path + L"\\empty", ""));
    ASSERT_TRUE(write_file(dir.path + L"\\huge.yaml", std::string(1'048'577, 'h')));
    ASSERT_TRUE(write_file(dir.path + L"\\almost.yaml", std::string(1'048'500, '"')));

    struct Case {
        std::vector<std::wstring> args;
        std::string err;
    };
    // Each quote of the config is escaped as two bytes.
    const size_t almost_body = std::string(R"({"op":"start","config_yaml":")").size() +
                               2 * 1'048'500 +
                               std::string(R"(","secret":"","mixed_port":1,"ctl_port":2})").size();
    auto start_with = [](const std::wstring& config) {
        return std::vector<std::wstring>{L"start", L"--config",   config, L"--mixed-port",
                                         L"1",     L"--ctl-port", L"2"};
    };
    // Paths are shown as they were typed, backslashes single.
    auto quoted_path = [](const std::wstring& path) { return "\"" + narrow(path) + "\""; };
    const std::vector<Case> cases = {
        {{}, "no command given (see --help)"},
        {{L"bogus"}, "unknown command \"bogus\" (see --help)"},
        {{L"ping", L"--timeout", L"0"},
         "--timeout: expected whole seconds from 1 to 3600, got \"0\" (see --help)"},
        {{L"start", L"--config", L"c", L"--mixed-port", L"65536", L"--ctl-port", L"1"},
         "--mixed-port: expected a port number from 0 to 65535, got \"65536\" (see --help)"},
        {start_with(missing),
         "read config " + quoted_path(missing) + ": " + expected_os_text(ERROR_FILE_NOT_FOUND)},
        {start_with(dir.path + L"\\latin1.yaml"),
         "start: config_yaml: not UTF-8 text: invalid byte 0xE9 at offset 3"},
        {start_with(dir.path + L"\\huge.yaml"),
         "config " + quoted_path(dir.path + L"\\huge.yaml") +
             " is larger than 1048576 bytes, the most a request carries"},
        {start_with(dir.path + L"\\almost.yaml"),
         "start: the request would be " + std::to_string(almost_body) +
             " bytes, more than the 1048576 a frame carries"},
        {{L"send", dir.path + L"\\empty"},
         "send: " + quoted_path(dir.path + L"\\empty") +
             " has no bytes; a frame carries 1 to 1048576"},
        {{L"send", dir.path + L"\\huge.yaml"},
         "send: " + quoted_path(dir.path + L"\\huge.yaml") +
             " has more than 1048576 bytes; a frame carries 1 to 1048576"},
        {{L"send", missing},
         "read " + quoted_path(missing) + ": " + expected_os_text(ERROR_FILE_NOT_FOUND)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        // Nothing is sent: the pipe named does not even exist.
        std::vector<std::wstring> args = c.args;
        args.insert(args.end(), {L"--pipe", test_support::unique_pipe_name()});
        if (c.args.empty()) {
            args.clear();
        }
        expect_result(test_support::run_tool(tool(), args), 64, "", PREFIX + c.err + "\n");
    }
}

TEST(CtlExe, HelpGoesToStandardOutput) {
    const std::vector<std::vector<std::wstring>> cases = {
        {L"--help"}, {L"ping", L"--bogus", L"-h"}, {L"help"}, {L"start", L"--help"}};
    for (const std::vector<std::wstring>& args : cases) {
        expect_result(test_support::run_tool(tool(), args), 0, std::string(HELP_TEXT), "");
    }
}

TEST(CtlExe, VersionPrintsTheProductVersionToStandardOutput) {
    for (const std::vector<std::wstring>& args :
         std::vector<std::vector<std::wstring>>{{L"--version"}, {L"status", L"--version"}}) {
        expect_result(test_support::run_tool(tool(), args), 0,
                      "korvan-vpn-ctl " KORVAN_PRODUCT_VERSION "\n", "");
    }
}

}  // namespace
}  // namespace korvan::ctl
