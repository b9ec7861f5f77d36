#include "core/supervisor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
using test_support::expected_os_text;
using test_support::HeldLaunch;
using test_support::launch_when_released;
using test_support::module_dir;
using test_support::wait_for_record;
using win::UniqueHandle;

constexpr char CONFIG[] = "mixed-port: 7890\n";

// One of the install folder's two files, and what a start answers while someone holds
// it without sharing.
struct InstallFileCase {
    const char* name;
    std::wstring path;
    std::string refused_start;
};

std::vector<InstallFileCase> install_file_cases() {
    return {
        {"the WinTUN library", module_dir() + L"\\wintun-x86_64.dll",
         "provision wintun.dll: " + expected_os_text(ERROR_SHARING_VIOLATION)},
        {"the core's executable", module_dir() + L"\\mihomo-x86_64-pc-windows-msvc.exe",
         "spawn mihomo: " + expected_os_text(ERROR_SHARING_VIOLATION)},
    };
}

// Opens `path` for reading without sharing, as any account that can read the install
// folder may. The error of a refused open is in GetLastError().
UniqueHandle open_unshared(const std::wstring& path) {
    return UniqueHandle(
        CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

// A start that succeeds and launches a core that runs, which is then stopped.
void expect_a_start(Supervisor& supervisor, const CoreSandbox& sandbox) {
    DeleteFileW(sandbox.record.c_str());
    const Result<void> started = supervisor.start(CONFIG, 1, 2);
    ASSERT_TRUE(started.ok()) << started.error();
    EXPECT_TRUE(wait_for_record(sandbox.record).has_value());
    supervisor.stop();
}

TEST(Supervisor, NoOneCanHoldTheInstallFilesWithoutSharingOnceTheServiceHasStarted) {
    for (const InstallFileCase& c : install_file_cases()) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        Supervisor supervisor(open_install_files());

        const UniqueHandle holder = open_unshared(c.path);
        const DWORD error = GetLastError();
        EXPECT_FALSE(holder);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        expect_a_start(supervisor, sandbox);
        expect_a_start(supervisor, sandbox);
    }
}

TEST(Supervisor, AHolderPresentAtTheServicesStartFailsStartsOnlyUntilItLetsGo) {
    for (const InstallFileCase& c : install_file_cases()) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        UniqueHandle holder = open_unshared(c.path);
        ASSERT_TRUE(holder);
        Supervisor supervisor(open_install_files());

        for (int start = 0; start < 2; ++start) {
            const Result<void> refused = supervisor.start(CONFIG, 1, 2);
            ASSERT_FALSE(refused.ok());
            EXPECT_EQ(refused.error(), c.refused_start);
            EXPECT_FALSE(supervisor.status().running);
        }
        holder.reset();
        expect_a_start(supervisor, sandbox);
        // The start that got it holds it from then on, as the service's start would have.
        EXPECT_FALSE(open_unshared(c.path));
        expect_a_start(supervisor, sandbox);
    }
}

TEST(Supervisor, AStartAfterTheServicesStopLaunchesNothing) {
    CoreSandbox sandbox;
    HeldLaunch launch;
    SetEvent(launch.release.get());
    Supervisor supervisor({}, launch_when_released);
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
    Supervisor supervisor({}, launch_when_released);
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

// The recorded core made one that ignores its termination: its process handle in the
// record becomes an event that is never signalled. The real process is given back.
UniqueHandle recorded_core_ignoring_termination(Supervisor& supervisor) {
    std::lock_guard held(SupervisorProbe::lock(supervisor));
    std::optional<win::UniqueProcess>& child = SupervisorProbe::record(supervisor).child;
    if (!child) {
        ADD_FAILURE() << "no core recorded";
        return {};
    }
    UniqueHandle real(child->process.release());
    child->process.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return real;
}

TEST(Supervisor, TheSystemsShutdownEndsTheJobAtOnceAndWaitsForTheLockAtMostItsBound) {
    struct Case {
        const char* name;
        // Held by the test, as a request that waits for its old core holds it.
        bool lock_held;
        bool record_emptied;
    };
    const Case cases[] = {
        {"the record's lock free", false, true},
        {"the record's lock held by a request", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        Supervisor supervisor;
        const Result<void> started = supervisor.start(CONFIG, 1, 2);
        ASSERT_TRUE(started.ok()) << started.error();
        ASSERT_TRUE(wait_for_record(sandbox.record).has_value());
        const UniqueHandle core = recorded_core_ignoring_termination(supervisor);
        ASSERT_TRUE(core);
        std::unique_lock held(SupervisorProbe::lock(supervisor), std::defer_lock);
        if (c.lock_held) {
            held.lock();
        }
        {
            Background shutdown([&] { supervisor.shut_down_for_system_shutdown(); });
            EXPECT_TRUE(shutdown.done_within(SHUTDOWN_LOCK_WAIT_MS + SHUTDOWN_CORE_WAIT_MS + 1000));
            // TerminateProcess fails on the record's handle: only the job's end ends it.
            EXPECT_EQ(exit_code_after(core.get(), 1000), TERMINATED_EXIT_CODE);
            // Lets a shutdown that still waits for the lock go on.
            if (held) {
                held.unlock();
            }
        }
        {
            std::lock_guard record_lock(SupervisorProbe::lock(supervisor));
            EXPECT_EQ(!SupervisorProbe::record(supervisor).child, c.record_emptied);
            EXPECT_EQ(!SupervisorProbe::record(supervisor).job, c.record_emptied);
        }
        const Result<void> refused = supervisor.start(CONFIG, 1, 2);
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error(), "service is stopping");
    }
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
