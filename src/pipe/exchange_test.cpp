// The exchange with one client on a pipe instance made here. Under Wine every caller
// passes the caller check (see authorize_test), so a rejection is made through the
// check's decision. Wine also impersonates every client before anything is read, so a
// client that cannot be impersonated yet is made through the check's impersonation. The
// clients identify themselves when they open the pipe, as korvan-vpn-ctl does, so that
// on Windows too they can be impersonated at any time, unless a test says otherwise.

#include "pipe/exchange.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "pipe/authorize.h"
#include "pipe/requests.h"
#include "proto/frame.h"
#include "support/core_sandbox.h"
#include "support/folder_probes.h"
#include "support/pipe_client.h"
#include "support/test_support.h"
#include "win/error_text.h"
#include "win/overlapped_io.h"

namespace korvan::pipe {
namespace {

using test_support::closed_without_data;
using test_support::CoreSandbox;
using test_support::framed;
using test_support::prefix_of;
using test_support::read_response;
using test_support::send_bytes;
using win::UniqueHandle;

// A client whose context the server takes when it opens the pipe (static tracking).
constexpr DWORD IDENTIFYING_CLIENT = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

struct Connected {
    explicit Connected(DWORD client_flags = IDENTIFYING_CLIENT)
        : pair(test_support::connected_pair(FILE_FLAG_OVERLAPPED, client_flags)) {
        EXPECT_TRUE(server.valid());
        EXPECT_TRUE(client.valid());
    }

    test_support::PipePair pair;
    UniqueHandle& server = pair.server;
    UniqueHandle& client = pair.client;
    UniqueHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    // Runs an exchange on the server's end as the listener would, on this thread: each
    // read and write waits at most until the budget has passed and is then cancelled,
    // and the request is answered at once. Returns when the exchange ends, or once its
    // answer is written, for the client to read.
    void serve(core::Supervisor& supervisor, AdmissionDecision decide = caller_admitted,
               Impersonation impersonate = impersonate_pipe_client, DWORD budget_ms = 5000) const {
        const std::uint64_t deadline = GetTickCount64() + budget_ms;
        Exchange exchange(server.get(), decide, impersonate);
        ExchangeStep step = exchange.begin();
        bool answered = false;
        for (;;) {
            switch (step.kind) {
                case ExchangeStep::Kind::End:
                    return;
                case ExchangeStep::Kind::Handle:
                    step = exchange.answered(
                        answer_request(exchange.request(), supervisor, exchange.caller()));
                    answered = true;
                    break;
                case ExchangeStep::Kind::Read: {
                    if (answered) {
                        return;
                    }
                    const win::IoOutcome read =
                        win::read_overlapped(server.get(), event.get(), step.buffer.data(),
                                             static_cast<DWORD>(step.buffer.size()), deadline);
                    step = exchange.read_done(read.error, read.count);
                    break;
                }
                case ExchangeStep::Kind::Write: {
                    const win::IoOutcome written =
                        win::write_overlapped(server.get(), event.get(), step.bytes.data(),
                                              static_cast<DWORD>(step.bytes.size()), deadline);
                    step = exchange.written(written.error, written.count);
                    break;
                }
            }
        }
    }

    // The response the exchange left for the client; nullopt when it wrote nothing.
    std::optional<std::string> answer() const {
        DWORD waiting = 0;
        if (!PeekNamedPipe(client.get(), nullptr, 0, nullptr, &waiting, nullptr) || waiting == 0) {
            return std::nullopt;
        }
        return read_response(client.get());
    }

    DWORD unread_by_server() const {
        DWORD available = 0;
        EXPECT_TRUE(PeekNamedPipe(server.get(), nullptr, 0, nullptr, &available, nullptr));
        return available;
    }
};

Result<void> reject(HANDLE) {
    return Failure{std::string(CALLER_NOT_ADMITTED)};
}

// How many bytes of the request the exchange had read when the caller check decided.
struct AtDecision {
    HANDLE server = nullptr;
    std::optional<DWORD> unread;
} at_decision;

Result<void> admit_noting_what_was_read(HANDLE token) {
    DWORD available = 0;
    if (PeekNamedPipe(at_decision.server, nullptr, 0, nullptr, &available, nullptr)) {
        at_decision.unread = available;
    }
    return caller_admitted(token);
}

TEST(Exchange, ARejectedCallerGetsNothingAndOneLogLine) {
    test_support::LoggedSandbox sandbox;
    Connected pipe;
    const std::string ping = framed(R"({"op":"ping"})");
    ASSERT_TRUE(send_bytes(pipe.client.get(), ping));
    core::Supervisor supervisor;

    pipe.serve(supervisor, reject);

    // Its request was never read, and nothing was written back.
    EXPECT_EQ(pipe.unread_by_server(), ping.size());
    DisconnectNamedPipe(pipe.server.get());
    EXPECT_TRUE(closed_without_data(pipe.client.get()));
    EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"),
              "reject unauthenticated client: caller not administrator/interactive\n");
}

TEST(Exchange, AnAdmittedCallerIsAnswered) {
    test_support::LoggedSandbox sandbox;
    Connected pipe;
    ASSERT_TRUE(send_bytes(pipe.client.get(), framed(R"({"op":"ping"})")));
    core::Supervisor supervisor;

    pipe.serve(supervisor);

    EXPECT_EQ(read_response(pipe.client.get()),
              R"({"ok":"pong","version":"1","service_version":"1.0.0"})");
    EXPECT_FALSE(test_support::exists(sandbox.work + L"\\service.log"));
}

TEST(Exchange, AdmitsTheCallerBeforeReadingItsFrame) {
    test_support::LoggedSandbox sandbox;
    Connected pipe;
    const std::string status = framed(R"({"op":"status"})");
    ASSERT_TRUE(send_bytes(pipe.client.get(), status));
    core::Supervisor supervisor;
    at_decision = AtDecision{pipe.server.get(), std::nullopt};

    pipe.serve(supervisor, admit_noting_what_was_read);

    // Nothing of the request had been read when the caller was decided on.
    EXPECT_EQ(at_decision.unread, status.size());
    EXPECT_EQ(read_response(pipe.client.get()),
              R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})");
}

// The check's impersonation in the tests below: call n fails with errors[n], or
// impersonates for real past the end of `errors`. It notes how many bytes of the
// request were still unread at each call.
struct ImpersonationScript {
    std::vector<DWORD> errors;
    std::vector<DWORD> unread;
} impersonation;

DWORD scripted_impersonation(HANDLE pipe) {
    const size_t call = impersonation.unread.size();
    DWORD available = 0;
    EXPECT_TRUE(PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr));
    impersonation.unread.push_back(available);
    if (call < impersonation.errors.size()) {
        return impersonation.errors[call];
    }
    return impersonate_pipe_client(pipe);
}

constexpr DWORD AWAITS_DATA = ERROR_CANNOT_IMPERSONATE;
constexpr char PONG[] = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
const std::string PING = framed(R"({"op":"ping"})");
// A request that would start the stand-in core if it were decoded.
const std::string START = framed(
    R"({"op":"start","config_yaml":"mixed-port: 7890\n","secret":"s3cret","mixed_port":10800,"ctl_port":10900})");

std::string rejection(const std::string& failure) {
    return "reject unauthenticated client: " + failure + "\n";
}

std::string impersonation_rejection(DWORD error) {
    return rejection("impersonate: " + win::winapi_error_text(error));
}

DWORD size_of(const std::string& bytes) {
    return static_cast<DWORD>(bytes.size());
}

TEST(Exchange, AnAdmittedCallerIsServedFromWhereTheCheckLeftItsFrame) {
    struct Case {
        const char* name;
        std::vector<DWORD> errors;
        std::string request;
        std::vector<DWORD> unread_at_calls;
        std::optional<std::string> answer;  // otherwise no answer, and this log line:
        std::string log;
    };
    const DWORD ping = size_of(PING);
    const std::vector<Case> cases = {
        {"impersonated at once", {}, PING, {ping}, PONG, ""},
        {"impersonated once the prefix was read", {AWAITS_DATA}, PING, {ping, ping - 4}, PONG, ""},
        {"impersonated once the body was read",
         {AWAITS_DATA, AWAITS_DATA},
         PING,
         {ping, ping - 4, 0},
         PONG,
         ""},
        {"a length out of range after the prefix",
         {AWAITS_DATA},
         prefix_of(0) + "x",
         {5, 1},
         std::nullopt,
         "read frame: frame length out of range: 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::LoggedSandbox sandbox;
        Connected pipe;
        ASSERT_TRUE(send_bytes(pipe.client.get(), c.request));
        core::Supervisor supervisor;
        impersonation = ImpersonationScript{c.errors, {}};

        pipe.serve(supervisor, caller_admitted, scripted_impersonation);

        EXPECT_EQ(impersonation.unread, c.unread_at_calls);
        if (c.answer) {
            EXPECT_EQ(pipe.answer(), *c.answer);
            EXPECT_FALSE(test_support::exists(sandbox.work + L"\\service.log"));
        } else {
            EXPECT_EQ(pipe.answer(), std::nullopt);
            EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"), c.log);
        }
    }
}

TEST(Exchange, ACallerNeverAdmittedGetsOneRejectionLineWhateverWasRead) {
    struct Case {
        const char* name;
        std::vector<DWORD> errors;
        AdmissionDecision decide;
        std::string request;
        DWORD budget_ms;
        std::vector<DWORD> unread_at_calls;
        DWORD unread_at_end;
        std::string log;
    };
    const DWORD ping = size_of(PING);
    const DWORD start = size_of(START);
    const std::string not_admitted = rejection(std::string(CALLER_NOT_ADMITTED));
    const std::vector<Case> cases = {
        {"another impersonation error before any read",
         {ERROR_ACCESS_DENIED},
         caller_admitted,
         PING,
         5000,
         {ping},
         ping,
         impersonation_rejection(ERROR_ACCESS_DENIED)},
        {"decided against once the prefix was read",
         {AWAITS_DATA},
         reject,
         PING,
         5000,
         {ping, ping - 4},
         ping - 4,
         not_admitted},
        {"another impersonation error once the prefix was read",
         {AWAITS_DATA, ERROR_ACCESS_DENIED},
         caller_admitted,
         START,
         5000,
         {start, start - 4},
         start - 4,
         impersonation_rejection(ERROR_ACCESS_DENIED)},
        {"decided against once the body was read",
         {AWAITS_DATA, AWAITS_DATA},
         reject,
         START,
         5000,
         {start, start - 4, 0},
         0,
         not_admitted},
        {"not impersonable even once the body was read",
         {AWAITS_DATA, AWAITS_DATA, AWAITS_DATA},
         caller_admitted,
         START,
         5000,
         {start, start - 4, 0},
         0,
         impersonation_rejection(AWAITS_DATA)},
        {"silent inside the prefix",
         {AWAITS_DATA},
         caller_admitted,
         prefix_of(13).substr(0, 2),
         300,
         {2},
         0,
         impersonation_rejection(AWAITS_DATA)},
        {"a length out of range",
         {AWAITS_DATA, AWAITS_DATA},
         caller_admitted,
         prefix_of(proto::MAX_FRAME_LEN + 1) + "x",
         5000,
         {5, 1},
         1,
         impersonation_rejection(AWAITS_DATA)},
        {"silent inside the body",
         {AWAITS_DATA, AWAITS_DATA},
         caller_admitted,
         prefix_of(13) + "short",
         300,
         {9, 5},
         0,
         impersonation_rejection(AWAITS_DATA)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::LoggedSandbox sandbox;
        Connected pipe;
        ASSERT_TRUE(send_bytes(pipe.client.get(), c.request));
        core::Supervisor supervisor;
        impersonation = ImpersonationScript{c.errors, {}};

        pipe.serve(supervisor, c.decide, scripted_impersonation, c.budget_ms);

        EXPECT_EQ(impersonation.unread, c.unread_at_calls);
        EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"), c.log);
        // Nothing was decoded: a start would have written the configuration and
        // launched the core.
        EXPECT_FALSE(test_support::exists(sandbox.work + L"\\config.yaml"));
        EXPECT_FALSE(supervisor.status().running);
        EXPECT_EQ(pipe.unread_by_server(), c.unread_at_end);
        DisconnectNamedPipe(pipe.server.get());
        EXPECT_TRUE(closed_without_data(pipe.client.get()));
    }
}

TEST(Exchange, ASilentClientNotYetImpersonableIsRejectedAtTheDeadline) {
    test_support::LoggedSandbox sandbox;
    Connected pipe;
    core::Supervisor supervisor;
    impersonation = ImpersonationScript{{AWAITS_DATA}, {}};

    pipe.serve(supervisor, caller_admitted, scripted_impersonation, 300);

    EXPECT_EQ(impersonation.unread, std::vector<DWORD>{0});
    EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"),
              impersonation_rejection(AWAITS_DATA));
}

// Windows only: a client that opens the pipe with CreateFileW's default flags can be
// impersonated only once something it wrote has been read. Wine impersonates it before
// any read, as AnAdmittedCallerIsAnswered shows.
TEST(Exchange, AClientOpenedWithDefaultFlagsIsAnswered) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine impersonates every client before anything is read";
    }
    const std::string body = R"({"op":"ping"})";
    struct Case {
        const char* name;
        std::vector<std::string> writes;
    };
    const Case cases[] = {
        {"the frame in one write", {framed(body)}},
        {"the prefix and the body in two writes", {prefix_of(size_of(body)), body}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::LoggedSandbox sandbox;
        Connected pipe(0);
        for (const std::string& bytes : c.writes) {
            ASSERT_TRUE(send_bytes(pipe.client.get(), bytes));
        }
        core::Supervisor supervisor;

        pipe.serve(supervisor);

        EXPECT_EQ(pipe.answer(), PONG);
        EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"), std::nullopt);
    }
}

}  // namespace
}  // namespace korvan::pipe
