// The C functions of korvan-client.dll, linked through its import library as an
// application links them: what they refuse, how they report a pipe that is missing or
// served by another process, the deadline of a call, and the ABI's promises (pointer
// out-parameters NULL on entry, the core state's size). The build of the DLL whose
// allocations can be made to fail is loaded with LoadLibraryW, through the header's
// function types. The answers of the installed service are testing/packaging/sdk-test's.

#include "korvan_client.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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

const std::string PONG = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";

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
    EXPECT_EQ(error->status, static_cast<DWORD>(status));
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

// A pointer no call may leave in an out-parameter.
template <class T>
T* planted() {
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(0x5A5A5A5A));
}

KORVAN_CORE_STATE core_state() {
    KORVAN_CORE_STATE state;
    std::memset(&state, 0xA5, sizeof state);
    state.size = sizeof state;
    return state;
}

TEST(KorvanClient, VersionNamesTheLibraryAndTheProtocolAsTheHeaderDoes) {
    const KORVAN_VERSION* version = korvan_version();
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version->library, KORVAN_PRODUCT_VERSION);
    EXPECT_STREQ(version->protocol, "1");
    EXPECT_STREQ(version->library, KORVAN_CLIENT_VERSION);
    EXPECT_STREQ(version->protocol, KORVAN_CLIENT_PROTOCOL_VERSION);
    EXPECT_EQ(std::to_string(KORVAN_CLIENT_VERSION_MAJOR) + "." +
                  std::to_string(KORVAN_CLIENT_VERSION_MINOR) + "." +
                  std::to_string(KORVAN_CLIENT_VERSION_PATCH),
              KORVAN_CLIENT_VERSION);
}

TEST(KorvanClient, PingWithoutAPipeCarriesFileNotFoundAtTheEndOfItsTimeout) {
    const std::string name = narrow(test_support::unique_pipe_name());
    KORVAN_PONG* pong = planted<KORVAN_PONG>();
    KORVAN_ERROR* error = planted<KORVAN_ERROR>();
    const ULONGLONG began = GetTickCount64();
    const KORVAN_STATUS status = korvan_ping(name.c_str(), 0, 200, &pong, &error);
    // A generous bound that pins the caller's 200 ms rather than any timeout of its own.
    EXPECT_LT(GetTickCount64() - began, 2000u);
    EXPECT_EQ(pong, nullptr);
    expect_reported(take(status, error), KORVAN_NO_ANSWER, ERROR_FILE_NOT_FOUND,
                    "connect " + name + ": the pipe does not exist (is the service running?)");
    // The same without asking for the details.
    EXPECT_EQ(korvan_ping(name.c_str(), 0, 200, nullptr, nullptr), KORVAN_NO_ANSWER);
}

// No service korvan-vpn-service is installed in the Wine prefix: the DLL does not wait
// out its timeout for the service's pipe.
TEST(KorvanClient, AServiceThatIsNotInstalledIsReportedAtOnce) {
    KORVAN_ERROR* error = nullptr;
    const ULONGLONG began = GetTickCount64();
    const KORVAN_STATUS status =
        korvan_ping(nullptr, 0, KORVAN_DEFAULT_TIMEOUT_MS, nullptr, &error);
    // Of its 10 s, a generous bound for "at once".
    EXPECT_LT(GetTickCount64() - began, 2000u);
    expect_reported(take(status, error), KORVAN_NO_ANSWER, ERROR_SERVICE_DOES_NOT_EXIST,
                    "connect \\\\.\\pipe\\korvan-vpn-service: the service korvan-vpn-service is "
                    "not installed");
}

TEST(KorvanClient, ArgumentsThatAreRefusedBeforeAnythingIsSent) {
    TempDir dir(L"client");
    const std::string missing = narrow(dir.path) + "\\missing.yaml";
    const std::wstring huge_path = dir.path + L"\\huge.yaml";
    ASSERT_TRUE(test_support::write_file(huge_path, std::string(1'048'577, 'h')));
    const std::string huge = narrow(huge_path);
    const char not_utf8[] = "a: \xFF\n";
    const char request[] = "{}";
    const std::string quotes(600'000, '"');
    const std::string rule =
        "expected NAME or \\\\.\\pipe\\NAME, the NAME without \\, / or .. and not ending in . "
        "or a space, got ";
    KORVAN_CORE_STATE small = core_state();
    small.size = KORVAN_CORE_STATE_SIZE_1_0 - 1;
    struct Case {
        std::function<KORVAN_STATUS(KORVAN_ERROR**)> call;
        DWORD system_error;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[](KORVAN_ERROR** e) { return korvan_ping(nullptr, 0, 0, nullptr, e); }, 0,
         "korvan_ping: timeout_ms: expected 1 to 3600000 milliseconds, got 0"},
        {[](KORVAN_ERROR** e) { return korvan_stop(nullptr, 0, 3600001, e); }, 0,
         "korvan_stop: timeout_ms: expected 1 to 3600000 milliseconds, got 3600001"},
        {[](KORVAN_ERROR** e) { return korvan_status("C:\\tmp\\x", 0, 1000, nullptr, e); }, 0,
         "korvan_status: pipe_name: " + rule + "\"C:\\tmp\\x\""},
        // Windows would open C:\Windows\win.ini through it.
        {[](KORVAN_ERROR** e) {
             return korvan_ping("\\\\.\\pipe\\..\\C:\\Windows\\win.ini", 0, 1000, nullptr, e);
         },
         0, "korvan_ping: pipe_name: " + rule + "\"\\\\.\\pipe\\..\\C:\\Windows\\win.ini\""},
        {[](KORVAN_ERROR** e) { return korvan_ping("a/b", 0, 1000, nullptr, e); }, 0,
         "korvan_ping: pipe_name: " + rule + "\"a/b\""},
        {[](KORVAN_ERROR** e) { return korvan_ping("korvan-vpn-service.", 0, 1000, nullptr, e); },
         0, "korvan_ping: pipe_name: " + rule + "\"korvan-vpn-service.\""},
        {[](KORVAN_ERROR** e) { return korvan_ping("x", 0x6, 1000, nullptr, e); }, 0,
         "korvan_ping: flags: unknown flags 0x6"},
        {[](KORVAN_ERROR** e) {
             return korvan_ping(nullptr, KORVAN_FLAG_NO_SERVER_CHECK, 1000, nullptr, e);
         },
         0,
         "korvan_ping: flags: KORVAN_FLAG_NO_SERVER_CHECK is refused for the service's pipe "
         "\\\\.\\pipe\\korvan-vpn-service"},
        // The service's pipe however its name is written: Windows compares pipe names
        // without regard to case.
        {[](KORVAN_ERROR** e) {
             return korvan_stop("\\\\.\\pipe\\Korvan-VPN-Service", KORVAN_FLAG_NO_SERVER_CHECK,
                                1000, e);
         },
         0,
         "korvan_stop: flags: KORVAN_FLAG_NO_SERVER_CHECK is refused for the service's pipe "
         "\\\\.\\pipe\\korvan-vpn-service"},
        {[](KORVAN_ERROR** e) {
             return korvan_send("KORVAN-VPN-SERVICE", KORVAN_FLAG_NO_SERVER_CHECK, 1000, "{}", 2,
                                nullptr, e);
         },
         0,
         "korvan_send: flags: KORVAN_FLAG_NO_SERVER_CHECK is refused for the service's pipe "
         "\\\\.\\pipe\\korvan-vpn-service"},
        {[&](KORVAN_ERROR** e) { return korvan_status(nullptr, 0, 1000, &small, e); }, 0,
         "korvan_status: state->size: expected 12 to 4096, got 11"},
        {[](KORVAN_ERROR** e) {
             return korvan_start(nullptr, 0, 1000, nullptr, 5, nullptr, 1, 2, nullptr, e);
         },
         0, "korvan_start: config_yaml is NULL"},
        {[](KORVAN_ERROR** e) {
             return korvan_start(nullptr, 0, 1000, "", 1'048'577, nullptr, 1, 2, nullptr, e);
         },
         0, "korvan_start: config_size: expected at most 1048576 bytes, got 1048577"},
        {[&](KORVAN_ERROR** e) {
             return korvan_start(nullptr, 0, 1000, not_utf8, sizeof not_utf8 - 1, nullptr, 1, 2,
                                 nullptr, e);
         },
         0, "korvan_start: config_yaml: not UTF-8 text: invalid byte 0xFF at offset 3"},
        {[&](KORVAN_ERROR** e) {
             return korvan_start(nullptr, 0, 1000, "", 0, "\x80", 1, 2, nullptr, e);
         },
         0, "korvan_start: secret: not UTF-8 text: invalid byte 0x80 at offset 0"},
        {[&](KORVAN_ERROR** e) {
             return korvan_start(nullptr, 0, 1000, quotes.data(), quotes.size(), nullptr, 1, 2,
                                 nullptr, e);
         },
         0,
         "korvan_start: the request would be 1200071 bytes, more than the 1048576 a frame "
         "carries"},
        {[&](KORVAN_ERROR** e) {
             return korvan_start(nullptr, 0, 1000, "a", 1, nullptr, 1, 2, &small, e);
         },
         0, "korvan_start: started->size: expected 12 to 4096, got 11"},
        {[](KORVAN_ERROR** e) {
             return korvan_start_file(nullptr, 0, 1000, nullptr, nullptr, 1, 2, nullptr, e);
         },
         0, "korvan_start_file: config_path is NULL"},
        {[&](KORVAN_ERROR** e) {
             return korvan_start_file(nullptr, 0, 1000, missing.c_str(), nullptr, 1, 2, nullptr, e);
         },
         ERROR_FILE_NOT_FOUND,
         "korvan_start_file: read config \"" + missing +
             "\": " + test_support::expected_os_text(ERROR_FILE_NOT_FOUND)},
        {[&](KORVAN_ERROR** e) {
             return korvan_start_file(nullptr, 0, 1000, huge.c_str(), nullptr, 1, 2, nullptr, e);
         },
         0,
         "korvan_start_file: config \"" + huge +
             "\" is larger than 1048576 bytes, the most a request carries"},
        {[](KORVAN_ERROR** e) { return korvan_send(nullptr, 0, 1000, nullptr, 2, nullptr, e); }, 0,
         "korvan_send: request is NULL"},
        {[&](KORVAN_ERROR** e) { return korvan_send(nullptr, 0, 1000, request, 0, nullptr, e); }, 0,
         "korvan_send: request_size: a frame carries 1 to 1048576 bytes, got 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        KORVAN_ERROR* error = planted<KORVAN_ERROR>();
        const KORVAN_STATUS status = c.call(&error);
        expect_reported(take(status, error), KORVAN_BAD_ARGUMENT, c.system_error, c.text);
        EXPECT_EQ(c.call(nullptr), KORVAN_BAD_ARGUMENT);
    }
}

// The test's own process serves the pipe, and no service korvan-vpn-service is
// installed in the Wine prefix: nothing may be sent to it.
TEST(KorvanClient, RefusesAPipeThatTheServiceDoesNotServe) {
    PipeServer server({{framed(PONG)}});
    const std::string name = narrow(server.name);
    KORVAN_PONG* pong = planted<KORVAN_PONG>();
    KORVAN_ERROR* error = nullptr;
    const KORVAN_STATUS status = korvan_ping(name.c_str(), 0, 5000, &pong, &error);
    EXPECT_EQ(pong, nullptr);
    expect_reported(take(status, error), KORVAN_NO_ANSWER, 0,
                    "server check: the service korvan-vpn-service is not installed, so process " +
                        std::to_string(GetCurrentProcessId()) + " that serves the pipe is not it");
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].starts_with("no request: ")) << requests[0];
}

// A pipe server of the application's own, for its tests, is reached with the flag.
TEST(KorvanClient, TheFlagSkipsTheServerCheckForAPipeOfAnotherName) {
    PipeServer server({{framed(PONG)}});
    const std::string name = narrow(server.name);
    KORVAN_PONG* pong = nullptr;
    KORVAN_ERROR* error = planted<KORVAN_ERROR>();
    ASSERT_EQ(korvan_ping(name.c_str(), KORVAN_FLAG_NO_SERVER_CHECK, 5000, &pong, &error),
              KORVAN_OK);
    EXPECT_EQ(error, nullptr);
    ASSERT_NE(pong, nullptr);
    EXPECT_STREQ(pong->protocol_version, "1");
    EXPECT_STREQ(pong->service_version, "1.0.0");
    korvan_free(pong);
    EXPECT_EQ(server.requests(), std::vector<std::string>{R"({"op":"ping"})"});
}

// The library honours the caller's timeout, whatever its own default.
TEST(KorvanClient, ACallToAServerThatNeverAnswersEndsWithinItsTimeout) {
    PipeServer server({{"", true}});
    const std::string name = narrow(server.name);
    KORVAN_ERROR* error = nullptr;
    const ULONGLONG began = GetTickCount64();
    const KORVAN_STATUS status =
        korvan_stop(name.c_str(), KORVAN_FLAG_NO_SERVER_CHECK, 200, &error);
    EXPECT_LT(GetTickCount64() - began, 2000u);
    expect_reported(take(status, error), KORVAN_NO_ANSWER, ERROR_TIMEOUT,
                    "read reply: no answer within 200 ms");
    EXPECT_EQ(server.requests(), std::vector<std::string>{R"({"op":"stop"})"});
}

// A record of a later version, larger than this one: the library keeps its size, sets
// what follows it to zero on entry, and fills in what it knows on success.
TEST(KorvanClient, ACoreStateKeepsItsSizeAndWhatFollowsItIsZeroedOnEntry) {
    struct Later {
        KORVAN_CORE_STATE state;
        DWORD more[4];
    };
    const std::string answer =
        R"({"ok":"status","running":true,"mixed_port":7890,"ctl_port":9090})";
    {
        Later later;
        std::memset(&later, 0xA5, sizeof later);
        later.state.size = sizeof later;
        const std::string name = narrow(test_support::unique_pipe_name());
        EXPECT_EQ(korvan_status(name.c_str(), 0, 50, &later.state, nullptr), KORVAN_NO_ANSWER);
        EXPECT_EQ(later.state.size, sizeof later);
        EXPECT_EQ(later.state.running, 0u);
        EXPECT_EQ(later.state.mixed_port, 0);
        EXPECT_EQ(later.state.ctl_port, 0);
        for (DWORD more : later.more) {
            EXPECT_EQ(more, 0u);
        }
    }
    {
        PipeServer server({{framed(answer)}});
        const std::string name = narrow(server.name);
        Later later;
        std::memset(&later, 0xA5, sizeof later);
        later.state.size = sizeof later;
        ASSERT_EQ(
            korvan_status(name.c_str(), KORVAN_FLAG_NO_SERVER_CHECK, 5000, &later.state, nullptr),
            KORVAN_OK);
        EXPECT_EQ(later.state.size, sizeof later);
        EXPECT_EQ(later.state.running, 1u);
        EXPECT_EQ(later.state.mixed_port, 7890);
        EXPECT_EQ(later.state.ctl_port, 9090);
        for (DWORD more : later.more) {
            EXPECT_EQ(more, 0u);
        }
    }
    {
        // A size the library refuses leaves the record alone.
        KORVAN_CORE_STATE state = core_state();
        state.size = KORVAN_CORE_STATE_MAX_SIZE + 1;
        const KORVAN_CORE_STATE before = state;
        EXPECT_EQ(korvan_status(nullptr, 0, 1000, &state, nullptr), KORVAN_BAD_ARGUMENT);
        EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
    }
}

TEST(KorvanClient, PointerOutParametersAreNullOnEntryWhateverTheOutcome) {
    PipeServer server({{framed(R"({"ok":"stopped"})")}, {framed(PONG)}});
    const std::string name = narrow(server.name);
    // A reply that answers no ping: no pong, but a reply for korvan_send.
    KORVAN_PONG* pong = planted<KORVAN_PONG>();
    KORVAN_ERROR* error = planted<KORVAN_ERROR>();
    EXPECT_EQ(korvan_ping(name.c_str(), KORVAN_FLAG_NO_SERVER_CHECK, 5000, &pong, &error),
              KORVAN_NO_ANSWER);
    EXPECT_EQ(pong, nullptr);
    expect_reported(take(KORVAN_NO_ANSWER, error), KORVAN_NO_ANSWER, 0,
                    "malformed reply: \"stopped\" does not answer ping");
    // Success: no error record.
    KORVAN_BYTES* reply = planted<KORVAN_BYTES>();
    error = planted<KORVAN_ERROR>();
    EXPECT_EQ(korvan_send(name.c_str(), KORVAN_FLAG_NO_SERVER_CHECK, 5000, "{}", 2, &reply, &error),
              KORVAN_OK);
    EXPECT_EQ(error, nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply->data), reply->size), PONG);
    korvan_free(reply);
    // A refused argument: nothing came.
    reply = planted<KORVAN_BYTES>();
    EXPECT_EQ(korvan_send(name.c_str(), 0, 0, "{}", 2, &reply, nullptr), KORVAN_BAD_ARGUMENT);
    EXPECT_EQ(reply, nullptr);
    pong = planted<KORVAN_PONG>();
    EXPECT_EQ(korvan_ping(name.c_str(), 0, 0, &pong, nullptr), KORVAN_BAD_ARGUMENT);
    EXPECT_EQ(pong, nullptr);
}

// korvan-client-faults.dll: korvan-client.dll with korvan_test_fail_allocation, loaded
// as a program that calls the DLL through the header's function types does.
class FailingAllocations : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::wstring path = test_support::module_dir() + L"\\korvan-client-faults.dll";
        dll_ = LoadLibraryW(path.c_str());
        ASSERT_NE(dll_, nullptr) << GetLastError();
        ping = function<KORVAN_PING_FUNC>("korvan_ping");
        free = function<KORVAN_FREE_FUNC>("korvan_free");
        fail_allocation = function<void __cdecl(long)>("korvan_test_fail_allocation");
        ASSERT_TRUE(ping != nullptr && free != nullptr && fail_allocation != nullptr);
    }
    void TearDown() override {
        if (fail_allocation != nullptr) {
            fail_allocation(-1);
        }
        if (dll_ != nullptr) {
            FreeLibrary(dll_);
        }
    }

    template <class Function>
    Function* function(const char* name) {
        // Through void (*)(void), the type that GCC lets any function pointer be cast to.
        return reinterpret_cast<Function*>(
            reinterpret_cast<void (*)()>(GetProcAddress(dll_, name)));
    }

    KORVAN_PING_FUNC* ping = nullptr;
    KORVAN_FREE_FUNC* free = nullptr;
    void(__cdecl* fail_allocation)(long) = nullptr;

  private:
    HMODULE dll_ = nullptr;
};

// The error record of a refused argument cannot be allocated: the call says
// KORVAN_INTERNAL and leaves *error NULL, not as the caller had it.
TEST_F(FailingAllocations, AnErrorRecordThatCannotBeAllocatedLeavesErrorNull) {
    fail_allocation(0);
    KORVAN_ERROR* error = planted<KORVAN_ERROR>();
    EXPECT_EQ(ping(nullptr, 0, 0, nullptr, &error), KORVAN_INTERNAL);
    EXPECT_EQ(error, nullptr);
}

// The pong cannot be allocated, its error record can.
TEST_F(FailingAllocations, AnAnswerThatCannotBeAllocatedIsAnInternalFailure) {
    PipeServer server({{framed(PONG)}});
    const std::string name = narrow(server.name);
    fail_allocation(0);
    KORVAN_PONG* pong = planted<KORVAN_PONG>();
    KORVAN_ERROR* error = nullptr;
    EXPECT_EQ(ping(name.c_str(), KORVAN_FLAG_NO_SERVER_CHECK, 5000, &pong, &error),
              KORVAN_INTERNAL);
    EXPECT_EQ(pong, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->status, static_cast<DWORD>(KORVAN_INTERNAL));
    EXPECT_EQ(error->system_error, 0u);
    EXPECT_STREQ(error->text, "korvan_ping: out of memory");
    free(error);
}

}  // namespace
}  // namespace korvan::client
