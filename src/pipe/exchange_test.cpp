// The exchange with one client on a pipe instance made here. Under Wine every caller
// passes the caller check (see authorize_test), so a rejection is made through the
// check's decision.

#include "pipe/exchange.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "pipe/authorize.h"
#include "support/core_sandbox.h"
#include "support/folder_probes.h"
#include "support/pipe_client.h"

namespace korvan::pipe {
namespace {

using test_support::closed_without_data;
using test_support::CoreSandbox;
using test_support::framed;
using test_support::read_response;
using test_support::send_bytes;
using win::UniqueHandle;

struct Connected {
    test_support::PipePair pair = test_support::connected_pair(FILE_FLAG_OVERLAPPED);
    UniqueHandle& server = pair.server;
    UniqueHandle& client = pair.client;
    UniqueHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    Connected() {
        EXPECT_TRUE(server.valid());
        EXPECT_TRUE(client.valid());
    }

    ClientLink link() const {
        return ClientLink{server.get(), event.get(), nullptr, GetTickCount64() + 5000};
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

TEST(ServeClient, ARejectedCallerGetsNothingAndOneLogLine) {
    CoreSandbox sandbox;
    test_support::own_work_dir(sandbox.program_data);
    Connected pipe;
    const std::string ping = framed(R"({"op":"ping"})");
    ASSERT_TRUE(send_bytes(pipe.client.get(), ping));
    core::Supervisor supervisor;

    serve_client(pipe.link(), supervisor, reject);

    // Its request was never read, and nothing was written back.
    EXPECT_EQ(pipe.unread_by_server(), ping.size());
    DisconnectNamedPipe(pipe.server.get());
    EXPECT_TRUE(closed_without_data(pipe.client.get()));
    EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"),
              "reject unauthenticated client: caller not administrator/interactive\n");
}

TEST(ServeClient, AnAdmittedCallerIsAnswered) {
    CoreSandbox sandbox;
    test_support::own_work_dir(sandbox.program_data);
    Connected pipe;
    ASSERT_TRUE(send_bytes(pipe.client.get(), framed(R"({"op":"ping"})")));
    core::Supervisor supervisor;

    serve_client(pipe.link(), supervisor);

    EXPECT_EQ(read_response(pipe.client.get()),
              R"({"ok":"pong","version":"1","service_version":"1.0.0"})");
    EXPECT_FALSE(test_support::exists(sandbox.work + L"\\service.log"));
}

TEST(ServeClient, AdmitsTheCallerBeforeReadingItsFrame) {
    CoreSandbox sandbox;
    Connected pipe;
    const std::string status = framed(R"({"op":"status"})");
    ASSERT_TRUE(send_bytes(pipe.client.get(), status));
    core::Supervisor supervisor;
    at_decision = AtDecision{pipe.server.get(), std::nullopt};

    serve_client(pipe.link(), supervisor, admit_noting_what_was_read);

    // Nothing of the request had been read when the caller was decided on.
    EXPECT_EQ(at_decision.unread, status.size());
    EXPECT_EQ(read_response(pipe.client.get()),
              R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})");
}

}  // namespace
}  // namespace korvan::pipe
