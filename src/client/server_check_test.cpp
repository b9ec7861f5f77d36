// What a client makes of the service as the Service Control Manager reports it: whether
// the pipe's server is the service, and what its pipe missing means.

#include "client/server_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvan::client {
namespace {

using State = ServiceRunState;

TEST(CheckServer, AdmitsOnlyThePipeOfTheRunningService) {
    struct Case {
        std::uint32_t pipe_server;
        ServiceState service;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {1234, {true, State::Running, 1234}, "ok"},
        {1234,
         {false, State::Stopped, 0},
         "the service korvan-vpn-service is not installed, so process 1234 that serves the pipe "
         "is not it (--no-server-check skips this check)"},
        {1234,
         {true, State::Stopped, 0},
         "the service korvan-vpn-service is not running, so process 1234 that serves the pipe "
         "is not it (--no-server-check skips this check)"},
        {1234,
         {true, State::Running, 4321},
         "the pipe is served by process 1234, not by the service korvan-vpn-service (process "
         "4321) (--no-server-check skips this check)"},
        {0,
         {true, State::Running, 4321},
         "the pipe is served by process 0, not by the service korvan-vpn-service (process 4321) "
         "(--no-server-check skips this check)"},
    };
    for (const Case& c : cases) {
        const Result<void> checked =
            check_server(c.pipe_server, c.service, " (--no-server-check skips this check)");
        EXPECT_EQ(checked ? std::string("ok") : checked.error(), c.expected);
    }
}

TEST(AbsentService, FailsAtOnceOnlyWhenTheServiceWillNotMakeItsPipe) {
    struct Case {
        ServiceState service;
        std::string expected;
        std::uint32_t system_error;
    };
    const std::vector<Case> cases = {
        {{false, State::Stopped, 0}, "the service korvan-vpn-service is not installed", 1060},
        {{true, State::Stopped, 0}, "the service korvan-vpn-service is not running", 1062},
        {{true, State::StopPending, 4321}, "the service korvan-vpn-service is stopping", 1062},
        {{true, State::StartPending, 4321}, "wait", 0},
        {{true, State::Running, 4321}, "wait", 0},
        {{true, State::ContinuePending, 4321}, "wait", 0},
        {{true, State::PausePending, 4321}, "wait", 0},
        {{true, State::Paused, 4321}, "wait", 0},
    };
    for (const Case& c : cases) {
        const std::optional<Failure> failure = absent_service(c.service);
        EXPECT_EQ(failure ? failure->text : "wait", c.expected);
        EXPECT_EQ(failure ? failure->system_error : 0u, c.system_error) << c.expected;
    }
}

}  // namespace
}  // namespace korvan::client
