// Whether the pipe's server is the installed service, from the two process ids.

#include "client/server_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvan::client {
namespace {

TEST(CheckServer, AdmitsOnlyThePipeOfTheRunningService) {
    struct Case {
        std::uint32_t pipe_server;
        ServiceProcess service;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {1234, {true, 1234}, "ok"},
        {1234,
         {false, 0},
         "the service korvan-vpn-service is not installed, so process 1234 that serves the pipe "
         "is not it (--no-server-check skips this check)"},
        {1234,
         {true, 0},
         "the service korvan-vpn-service is not running, so process 1234 that serves the pipe "
         "is not it (--no-server-check skips this check)"},
        {1234,
         {true, 4321},
         "the pipe is served by process 1234, not by the service korvan-vpn-service (process "
         "4321) (--no-server-check skips this check)"},
        {0,
         {true, 4321},
         "the pipe is served by process 0, not by the service korvan-vpn-service (process 4321) "
         "(--no-server-check skips this check)"},
    };
    for (const Case& c : cases) {
        const Result<void> checked =
            check_server(c.pipe_server, c.service, " (--no-server-check skips this check)");
        EXPECT_EQ(checked ? std::string("ok") : checked.error(), c.expected);
    }
}

}  // namespace
}  // namespace korvan::client
