#include "core/supervise.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/launch.h"
#include "support/core_sandbox.h"

namespace korvan::core {
namespace {

using test_support::CoreSandbox;
using test_support::duplicate;
using test_support::exit_code_after;
using test_support::start_core;
using test_support::wait_for_record;
using win::UniqueHandle;

// Launches the stand-in core with `config` and records it as a start request does.
std::shared_ptr<CoreState> launched(std::string_view config) {
    auto state = std::make_shared<CoreState>();
    InstallFiles install;
    Result<LaunchedCore> core = start_core(install, config);
    EXPECT_TRUE(core.ok()) << core.error();
    if (core) {
        state->child = std::move(core->child);
        state->job = std::move(core->job);
        state->mixed_port = 7890;
        state->ctl_port = 9090;
    }
    return state;
}

void expect_empty(const CoreState& state) {
    EXPECT_FALSE(state.job);
    EXPECT_FALSE(state.child);
    EXPECT_FALSE(state.mixed_port);
    EXPECT_FALSE(state.ctl_port);
}

void expect_filled(const CoreState& state) {
    EXPECT_TRUE(state.job);
    EXPECT_TRUE(state.child);
    EXPECT_EQ(state.mixed_port, 7890);
    EXPECT_EQ(state.ctl_port, 9090);
}

TEST(StopCore, EndsARunningCoreWithExitCode1) {
    CoreSandbox sandbox;
    const std::shared_ptr<CoreState> state = launched("mixed-port: 7890\n");
    ASSERT_TRUE(state->child);
    ASSERT_TRUE(wait_for_record(sandbox.record).has_value());
    const UniqueHandle process = duplicate(state->child->process.get());

    EXPECT_TRUE(core_running(*state));
    expect_filled(*state);
    stop_core(*state);
    // Ended before stop_core returned, by the termination and not by the job's close
    // (on Wine that ends a process with exit code 0).
    EXPECT_EQ(exit_code_after(process.get(), 0), 1u);
    expect_empty(*state);
    EXPECT_FALSE(core_running(*state));
}

// On Windows, TerminateProcess on the ended core fails with ERROR_ACCESS_DENIED and the
// zero wait finds it ended. Wine lets TerminateProcess succeed on an ended process, so
// here the access-denied path is not taken; the outcome is the same either way.
TEST(StopCore, ForgetsACoreThatExitedByItself) {
    CoreSandbox sandbox;
    const std::shared_ptr<CoreState> state = launched("fake-core: exit 7\n");
    ASSERT_TRUE(state->child);
    const UniqueHandle process = duplicate(state->child->process.get());
    ASSERT_EQ(exit_code_after(process.get(), 10000), 7u);

    EXPECT_FALSE(core_running(*state));
    expect_filled(*state);
    stop_core(*state);
    expect_empty(*state);
    EXPECT_EQ(exit_code_after(process.get(), 0), 7u);
    EXPECT_FALSE(core_running(*state));
}

TEST(StopCore, EmptyRecordStaysEmpty) {
    CoreState state;
    EXPECT_FALSE(core_running(state));
    stop_core(state);
    expect_empty(state);
    stop_core(state);
    expect_empty(state);
    EXPECT_FALSE(core_running(state));
}

// The record's process handle is swapped for an event that never signals: TerminateProcess
// fails with ERROR_INVALID_HANDLE and the wait runs into its bound.
TEST(StopCore, FailedTerminationWaitsBoundedThenClosesTheJob) {
    CoreSandbox sandbox;
    const std::shared_ptr<CoreState> state = launched("mixed-port: 7890\n");
    ASSERT_TRUE(state->child);
    const UniqueHandle process = duplicate(state->child->process.get());
    state->child->process.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));

    const ULONGLONG started = GetTickCount64();
    stop_core(*state);
    const ULONGLONG took = GetTickCount64() - started;
    // GetTickCount64 moves in steps of up to 16 ms.
    EXPECT_GE(took + 16, BOUNDED_WAIT_MS);
    EXPECT_LT(took, BOUNDED_WAIT_MS + 5000);
    expect_empty(*state);
    EXPECT_TRUE(exit_code_after(process.get(), 10000).has_value())
        << "closing the job must end the core";
}

TEST(StopCore, ClosingTheJobEndsTheCoresOwnChild) {
    struct Case {
        const char* name;
        std::function<void(std::shared_ptr<CoreState>&)> end;
    };
    const std::vector<Case> cases = {
        {"stop_core", [](std::shared_ptr<CoreState>& state) { stop_core(*state); }},
        {"last reference to the record released",
         [](std::shared_ptr<CoreState>& state) { state.reset(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        std::shared_ptr<CoreState> state = launched("fake-core: child\n");
        ASSERT_TRUE(state->child);
        const UniqueHandle core = duplicate(state->child->process.get());
        const std::optional<test_support::CoreRecord> record =
            wait_for_record(sandbox.child_record);
        ASSERT_TRUE(record.has_value());
        const UniqueHandle child(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                             std::stoul(record->at("pid"))));
        ASSERT_TRUE(child);
        ASSERT_EQ(WaitForSingleObject(child.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

        c.end(state);
        EXPECT_TRUE(exit_code_after(core.get(), 10000).has_value());
        EXPECT_TRUE(exit_code_after(child.get(), 10000).has_value());
    }
}

}  // namespace
}  // namespace korvan::core
