#include "core/supervisor.h"

#include <gtest/gtest.h>

#include "core/supervise.h"
#include "support/core_sandbox.h"
#include "support/held_launch.h"
#include "support/supervisor_probe.h"

namespace korvan::core {
namespace {

using test_support::Background;
using test_support::CoreSandbox;
using test_support::exists;
using test_support::exit_code_after;
using test_support::HeldLaunch;
using test_support::launch_when_released;

TEST(Supervisor, AStartAfterTheServicesStopLaunchesNothing) {
    CoreSandbox sandbox;
    HeldLaunch launch;
    SetEvent(launch.release.get());
    Supervisor supervisor(launch_when_released);
    supervisor.shut_down();

    const Result<void> started = supervisor.start("mixed-port: 7890\n", 1, 2);
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error(), "service is stopping");
    EXPECT_EQ(launch.calls.load(), 0);
    EXPECT_FALSE(supervisor.status().running);
}

TEST(Supervisor, TheServicesStopIsNotHeldUpByAStartsFileWorkAndThatStartLaunchesNothing) {
    CoreSandbox sandbox;
    HeldLaunch launch;
    Supervisor supervisor(launch_when_released);
    Result<void> started;
    {
        Background start([&] { started = supervisor.start("mixed-port: 7890\n", 1, 2); });
        EXPECT_EQ(WaitForSingleObject(launch.entered.get(), 10000), WAIT_OBJECT_0);

        // The launch is still held: a stop that waited on it would not return.
        Background stop([&] { supervisor.shut_down(); });
        EXPECT_TRUE(stop.done_within(BOUNDED_WAIT_MS + 5000));
        EXPECT_FALSE(start.done_within(0));
        SetEvent(launch.release.get());
        EXPECT_TRUE(start.done_within(10000));
    }
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error(), "service is stopping");
    // The core was created, ended before it ran any code, and not recorded.
    ASSERT_TRUE(launch.process);
    EXPECT_EQ(exit_code_after(launch.process.get(), 10000), TERMINATED_EXIT_CODE);
    EXPECT_FALSE(exists(sandbox.record)) << "the held start's core has run";
    std::lock_guard held(SupervisorProbe::lock(supervisor));
    EXPECT_FALSE(SupervisorProbe::record(supervisor).child);
    EXPECT_FALSE(SupervisorProbe::record(supervisor).job);
}

TEST(Supervisor, StatusWaitsForTheRecordsLock) {
    Supervisor supervisor;
    std::unique_lock held(SupervisorProbe::lock(supervisor));
    CoreStatus status{true, 1, 2};
    Background asking([&] { status = supervisor.status(); });
    EXPECT_FALSE(asking.done_within(500));
    held.unlock();
    EXPECT_TRUE(asking.done_within(10000));
    EXPECT_FALSE(status.running);
}

}  // namespace
}  // namespace korvan::core
