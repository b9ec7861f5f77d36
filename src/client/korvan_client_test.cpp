// The C functions of korvan-client.dll, linked through its import library as an
// application links them: what they refuse, and how they report a pipe that is missing
// or served by another process. Their answers from the installed service are
// testing/packaging/sdk-test's.

#include "client/korvan_client.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/frames.h"
#include "support/pipe_server.h"
#include "support/test_support.h"
#include "win/utf.h"

namespace korvan::client {
namespace {

using test_support::framed;
using test_support::PipeServer;
using test_support::TempDir;
using win::narrow;

// An error record, copied out and freed.
struct Reported {
    KORVAN_STATUS status = KORVAN_OK;
    DWORD system_error = 0;
    std::string text;
};

Reported take(KORVAN_STATUS status, KORVAN_ERROR* error) {
    EXPECT_NE(error, nullptr);
    if (error == nullptr) {
        return {status, 0, ""};
    }
    EXPECT_EQ(error->status, status);
    Reported got{status, error->system_error, error->text};
    EXPECT_EQ(error->answer_code, nullptr);
    EXPECT_EQ(error->answer_message, nullptr);
    korvan_free(error);
    return got;
}

void expect_reported(const Reported& got, KORVAN_STATUS status, DWORD system_error,
                     const std::string& text) {
    EXPECT_EQ(got.status, status);
    EXPECT_EQ(got.system_error, system_error);
    EXPECT_EQ(got.text, text);
}

TEST(KorvanClient, VersionNamesTheLibraryAndTheProtocol) {
    const KORVAN_VERSION* version = korvan_version();
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version->library, KORVAN_PRODUCT_VERSION);
    EXPECT_STREQ(version->protocol, "1");
}

TEST(KorvanClient, PingWithoutAPipeCarriesFileNotFound) {
    const std::string name = narrow(test_support::unique_pipe_name());
    KORVAN_PONG* pong = nullptr;
    KORVAN_ERROR* error = nullptr;
    const KORVAN_STATUS status = korvan_ping(name.c_str(), 200, &pong, &error);
    EXPECT_EQ(pong, nullptr);
    expect_reported(take(status, error), KORVAN_NO_ANSWER, ERROR_FILE_NOT_FOUND,
                    "connect " + name + ": the pipe does not exist (is the service running?)");
    // The same without asking for the details.
    EXPECT_EQ(korvan_ping(name.c_str(), 200, nullptr, nullptr), KORVAN_NO_ANSWER);
}

TEST(KorvanClient, ArgumentsThatAreRefusedBeforeAnythingIsSent) {
    TempDir dir(L"client");
    const std::string missing = narrow(dir.path) + "\\missing.yaml";
    const char not_utf8[] = "a: \xFF\n";
    const char request[] = "{}";
    struct Case {
        std::function<KORVAN_STATUS(KORVAN_ERROR**)> call;
        DWORD system_error;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[](KORVAN_ERROR** e) { return korvan_ping(nullptr, 0, nullptr, e); }, 0,
         "korvan_ping: timeout_ms: expected 1 to 3600000 milliseconds, got 0"},
        {[](KORVAN_ERROR** e) { return korvan_stop(nullptr, 3600001, e); }, 0,
         "korvan_stop: timeout_ms: expected 1 to 3600000 milliseconds, got 3600001"},
        {[](KORVAN_ERROR** e) { return korvan_status("C:\\tmp\\x", 1000, nullptr, e); }, 0,
         "korvan_status: pipe_name: expected a name or \\\\.\\pipe\\NAME, got \"C:\\tmp\\x\""},
        {[](KORVAN_ERROR** e) {
             return korvan_start(nullptr, 1000, nullptr, 5, nullptr, 1, 2, nullptr, e);
         },
         0, "korvan_start: config_yaml is NULL"},
        {[&](KORVAN_ERROR** e) {
             return korvan_start(nullptr, 1000, not_utf8, sizeof not_utf8 - 1, nullptr, 1, 2,
                                 nullptr, e);
         },
         0, "start: config_yaml: not UTF-8 text: invalid byte 0xFF at offset 3"},
        {[](KORVAN_ERROR** e) {
             return korvan_start_file(nullptr, 1000, nullptr, nullptr, 1, 2, nullptr, e);
         },
         0, "korvan_start_file: config_path is NULL"},
        {[&](KORVAN_ERROR** e) {
             return korvan_start_file(nullptr, 1000, missing.c_str(), nullptr, 1, 2, nullptr, e);
         },
         ERROR_FILE_NOT_FOUND,
         "read config \"" + missing +
             "\": " + test_support::expected_os_text(ERROR_FILE_NOT_FOUND)},
        {[](KORVAN_ERROR** e) { return korvan_send(nullptr, 1000, nullptr, 2, nullptr, e); }, 0,
         "korvan_send: request is NULL"},
        {[&](KORVAN_ERROR** e) { return korvan_send(nullptr, 1000, request, 0, nullptr, e); }, 0,
         "korvan_send: request_size: a frame carries 1 to 1048576 bytes, got 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        KORVAN_ERROR* error = nullptr;
        const KORVAN_STATUS status = c.call(&error);
        expect_reported(take(status, error), KORVAN_BAD_ARGUMENT, c.system_error, c.text);
        EXPECT_EQ(c.call(nullptr), KORVAN_BAD_ARGUMENT);
    }
}

// The test's own process serves the pipe, and no service korvan-vpn-service is
// installed in the Wine prefix: nothing may be sent to it.
TEST(KorvanClient, RefusesAPipeThatTheServiceDoesNotServe) {
    PipeServer server({{framed(R"({"ok":"pong","version":"1","service_version":"1.0.0"})")}});
    const std::string name = narrow(server.name);
    KORVAN_PONG* pong = nullptr;
    KORVAN_ERROR* error = nullptr;
    const KORVAN_STATUS status = korvan_ping(name.c_str(), 5000, &pong, &error);
    EXPECT_EQ(pong, nullptr);
    expect_reported(take(status, error), KORVAN_NO_ANSWER, 0,
                    "server check: the service korvan-vpn-service is not installed, so process " +
                        std::to_string(GetCurrentProcessId()) + " that serves the pipe is not it");
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].starts_with("no request: ")) << requests[0];
}

}  // namespace
}  // namespace korvan::client
