// One request from open to reply, against pipe servers of the test's own and a stand-in
// for the Service Control Manager's answer: the deadline bounds the call and nothing is
// sent once it has passed; while the service's own pipe is missing, what the SCM
// reports decides between failing at once and waiting.

#include "client/transact.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/connect.h"
#include "client/exchange.h"
#include "common/names.h"
#include "support/frames.h"
#include "support/pipe_server.h"
#include "win/utf.h"

namespace korvan::client {
namespace {

using test_support::framed;
using test_support::PipeServer;
using win::narrow;

const std::string PING = R"({"op":"ping"})";
const std::string PONG = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
const std::string SERVICE_PIPE(names::PIPE_NAME_TEXT);

// A stand-in for query_service that answers `state` and counts the questions.
struct ScmStandIn {
    Result<ServiceState> state;
    int asked = 0;
    DWORD delay_ms = 0;

    ServiceQuery query() {
        return [this]() -> Result<ServiceState> {
            ++asked;
            Sleep(delay_ms);
            return state;
        };
    }
};

Target target_of(std::string pipe, DWORD timeout_ms, bool server_check, ServiceQuery query) {
    return Target{std::move(pipe), win::deadline_in_ms(timeout_ms), server_check, "",
                  std::move(query)};
}

// The server's one client closed without sending a byte.
void expect_nothing_sent(PipeServer& server) {
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].starts_with("no request: ")) << requests[0];
}

std::string outcome(const Result<std::string>& reply) {
    return reply ? reply.value()
                 : reply.error() + " (" + std::to_string(reply.failure().system_error) + ")";
}

TEST(ClientExchange, NothingIsWrittenOnceTheDeadlineHasPassed) {
    PipeServer server({{framed(PONG)}});
    ScmStandIn scm{ServiceState{}};
    Result<win::UniqueHandle> pipe =
        open_pipe(narrow(server.name), win::deadline_in_ms(5000), scm.query());
    ASSERT_TRUE(pipe.ok()) << pipe.error();
    const win::Deadline deadline = win::deadline_in_ms(1);
    Sleep(20);
    const Result<std::vector<std::uint8_t>> reply =
        exchange(pipe->get(),
                 std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PING.data()),
                                               PING.size()),
                 deadline);
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error(), "send request: the timeout of 1 ms passed before anything was sent");
    EXPECT_EQ(reply.failure().system_error, static_cast<DWORD>(ERROR_TIMEOUT));
    pipe->reset();
    expect_nothing_sent(server);
}

// The server check takes longer than the whole timeout: the request is not sent.
TEST(Transact, NothingIsSentWhenTheServerCheckOutlastsTheDeadline) {
    PipeServer server({{framed(PONG)}});
    ScmStandIn scm{ServiceState{true, ServiceRunState::Running, GetCurrentProcessId()}, 0, 300};
    const Result<std::string> reply =
        transact(target_of(narrow(server.name), 100, true, scm.query()), PING);
    EXPECT_EQ(outcome(reply),
              "send request: the timeout of 100 ms passed before anything was sent (1460)");
    EXPECT_EQ(scm.asked, 1);
    expect_nothing_sent(server);
}

TEST(Transact, ACallToAServerThatNeverAnswersEndsWithinItsTimeout) {
    PipeServer server({{"", true}});
    ScmStandIn scm{ServiceState{}};
    const ULONGLONG began = GetTickCount64();
    const Result<std::string> reply =
        transact(target_of(narrow(server.name), 200, false, scm.query()), PING);
    // A generous bound: the call must not wait for anything but its own 200 ms.
    EXPECT_LT(GetTickCount64() - began, 2000u);
    EXPECT_EQ(outcome(reply), "read reply: no answer within 200 ms (1460)");
    EXPECT_EQ(server.requests(), std::vector<std::string>{PING});
}

TEST(Transact, WhileTheServicesPipeIsMissingWhatTheScmReportsDecides) {
    const Failure unaskable{"OpenSCManagerW: Access is denied.", ERROR_ACCESS_DENIED};
    const std::string missing = "the pipe does not exist (is the service running?) (2)";
    struct Case {
        std::string pipe;
        Result<ServiceState> state;
        std::string expected;
        bool at_once;
    };
    const std::vector<Case> cases = {
        {SERVICE_PIPE, ServiceState{}, "the service korvan-vpn-service is not installed (1060)",
         true},
        {SERVICE_PIPE, ServiceState{true, ServiceRunState::Stopped, 0},
         "the service korvan-vpn-service is not running (1062)", true},
        {SERVICE_PIPE, ServiceState{true, ServiceRunState::StopPending, 4321},
         "the service korvan-vpn-service is stopping (1062)", true},
        // Windows compares pipe names without regard to case.
        {"\\\\.\\pipe\\KORVAN-VPN-Service", ServiceState{true, ServiceRunState::Stopped, 0},
         "the service korvan-vpn-service is not running (1062)", true},
        // The service may report that it runs before its pipe exists.
        {SERVICE_PIPE, ServiceState{true, ServiceRunState::StartPending, 4321}, missing, false},
        {SERVICE_PIPE, ServiceState{true, ServiceRunState::Running, 4321}, missing, false},
        {SERVICE_PIPE, unaskable, missing, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pipe + ": " + c.expected);
        ScmStandIn scm{c.state};
        const ULONGLONG began = GetTickCount64();
        const Result<std::string> reply =
            transact(target_of(c.pipe, c.at_once ? 10000 : 300, true, scm.query()), PING);
        const ULONGLONG took = GetTickCount64() - began;
        EXPECT_EQ(outcome(reply), "connect " + c.pipe + ": " + c.expected);
        EXPECT_GE(scm.asked, 1);
        if (c.at_once) {
            // Of its 10 s, a generous bound for "at once".
            EXPECT_LT(took, 2000u);
        }
    }
}

TEST(Transact, AServiceThatStopsWhileItsPipeIsAwaitedIsReportedSoonAfter) {
    // Starting for the first half second, then stopped, its pipe never made.
    const ULONGLONG began = GetTickCount64();
    const ServiceQuery query = [began]() -> Result<ServiceState> {
        if (GetTickCount64() - began < 500) {
            return ServiceState{true, ServiceRunState::StartPending, 4321};
        }
        return ServiceState{true, ServiceRunState::Stopped, 0};
    };
    const Result<std::string> reply = transact(target_of(SERVICE_PIPE, 10000, true, query), PING);
    EXPECT_EQ(outcome(reply),
              "connect " + SERVICE_PIPE + ": the service korvan-vpn-service is not running (1062)");
    // Of its 10 s: asked again while it waits, not only once at the start.
    EXPECT_LT(GetTickCount64() - began, 2000u);
}

TEST(Transact, TheScmIsNotAskedForAnotherPipe) {
    const std::string pipe = narrow(test_support::unique_pipe_name());
    ScmStandIn scm{ServiceState{}};
    const Result<std::string> reply = transact(target_of(pipe, 300, true, scm.query()), PING);
    EXPECT_EQ(outcome(reply),
              "connect " + pipe + ": the pipe does not exist (is the service running?) (2)");
    EXPECT_EQ(scm.asked, 0);
}

}  // namespace
}  // namespace korvan::client
