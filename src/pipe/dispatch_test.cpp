#include "pipe/dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "proto/encode.h"
#include "support/core_sandbox.h"

namespace korvan::pipe {
namespace {

using namespace proto;

using test_support::CoreSandbox;
using test_support::exit_code_after;
using test_support::ScopedEnv;
using test_support::wait_for_record;
using win::UniqueHandle;

std::string answer(const Request& request, core::CoreState& state) {
    return encode_response(handle_request(request, state));
}

request::Start start_with(std::string config, std::string secret = "s3cret") {
    return request::Start{std::move(config), std::move(secret), 10800, 10900};
}

// The core a record file names, opened before the code under test lets go of it.
UniqueHandle open_core(const std::wstring& record_path) {
    const auto record = wait_for_record(record_path);
    EXPECT_TRUE(record.has_value());
    if (!record) {
        return {};
    }
    const DWORD pid = static_cast<DWORD>(std::stoul(record->at("pid")));
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    EXPECT_TRUE(process.valid());
    return process;
}

constexpr char STARTED[] = R"({"ok":"started","mixed_port":10800,"ctl_port":10900})";
constexpr char RUNNING[] = R"({"ok":"status","running":true,"mixed_port":10800,"ctl_port":10900})";
constexpr char NOT_RUNNING[] =
    R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})";
constexpr char STOPPED[] = R"({"ok":"stopped"})";

TEST(HandleRequest, PingAnswersTheVersionsWithoutTheLock) {
    core::CoreState state;
    std::lock_guard held(state.lock);
    std::string pong;
    std::thread other([&] { pong = answer(request::Ping{}, state); });
    other.join();
    EXPECT_EQ(pong, R"({"ok":"pong","version":"1","service_version":"1.0.0"})");
}

TEST(HandleRequest, StatusStartStopOnTheStandInCore) {
    CoreSandbox sandbox;
    core::CoreState state;
    EXPECT_EQ(answer(request::Status{}, state), NOT_RUNNING);
    EXPECT_EQ(answer(request::Stop{}, state), STOPPED);

    EXPECT_EQ(answer(start_with("mixed-port: 7890\n"), state), STARTED);
    const UniqueHandle core = open_core(sandbox.record);
    EXPECT_EQ(answer(request::Status{}, state), RUNNING);
    // The lock is free again once the answer is formed.
    ASSERT_TRUE(state.lock.try_lock());
    state.lock.unlock();

    EXPECT_EQ(answer(request::Stop{}, state), STOPPED);
    EXPECT_EQ(exit_code_after(core.get(), 0), 1u);
    EXPECT_EQ(answer(request::Status{}, state), NOT_RUNNING);
    EXPECT_EQ(answer(request::Stop{}, state), STOPPED);
}

TEST(HandleRequest, StartEndsTheRunningCoreFirst) {
    CoreSandbox sandbox;
    core::CoreState state;
    ASSERT_EQ(answer(start_with("first: 1\n"), state), STARTED);
    const UniqueHandle first = open_core(sandbox.record);
    ASSERT_TRUE(DeleteFileW(sandbox.record.c_str()));

    const request::Start second{"second: 2\n", "", 1, 2};
    EXPECT_EQ(answer(second, state), R"({"ok":"started","mixed_port":1,"ctl_port":2})");
    EXPECT_EQ(exit_code_after(first.get(), 0), 1u);
    const UniqueHandle now = open_core(sandbox.record);
    EXPECT_EQ(exit_code_after(now.get(), 0), std::nullopt);
    EXPECT_EQ(answer(request::Status{}, state),
              R"({"ok":"status","running":true,"mixed_port":1,"ctl_port":2})");
    EXPECT_EQ(answer(request::Stop{}, state), STOPPED);
}

TEST(HandleRequest, AFailedStartLeavesNoCoreAndEndsTheOldOne) {
    CoreSandbox sandbox;
    core::CoreState state;
    ASSERT_EQ(answer(start_with("a: 1\n"), state), STARTED);
    const UniqueHandle old = open_core(sandbox.record);
    {
        ScopedEnv unset(L"ProgramData", std::nullopt);
        EXPECT_EQ(answer(start_with("b: 2\n"), state),
                  R"({"ok":"error","code":"start_failed","message":"ProgramData not set"})");
    }
    EXPECT_EQ(exit_code_after(old.get(), 0), 1u);
    std::lock_guard held(state.lock);
    EXPECT_FALSE(state.child);
    EXPECT_FALSE(state.job);
    EXPECT_FALSE(state.mixed_port);
    EXPECT_FALSE(state.ctl_port);
}

TEST(HandleRequest, ACoreThatExitedIsNotRunningButStaysRecorded) {
    CoreSandbox sandbox;
    core::CoreState state;
    ASSERT_EQ(answer(start_with("fake-core: exit 3\n"), state), STARTED);
    const UniqueHandle core = open_core(sandbox.record);
    ASSERT_EQ(exit_code_after(core.get(), 10000), 3u);

    EXPECT_EQ(answer(request::Status{}, state), NOT_RUNNING);
    {
        std::lock_guard held(state.lock);
        EXPECT_TRUE(state.child);
        EXPECT_EQ(state.mixed_port, 10800);
    }
    EXPECT_EQ(answer(request::Stop{}, state), STOPPED);
}

TEST(HandleRequest, TheSecretChangesNothingAndReachesNoOne) {
    CoreSandbox sandbox;
    core::CoreState state;
    for (const std::string secret : {"first-secret-value", "", "second-secret-value"}) {
        SCOPED_TRACE(secret);
        ASSERT_TRUE(!test_support::exists(sandbox.record) || DeleteFileW(sandbox.record.c_str()));
        EXPECT_EQ(answer(start_with("k: v\n", secret), state), STARTED);
        const auto record = wait_for_record(sandbox.record);
        ASSERT_TRUE(record.has_value());
        if (!secret.empty()) {
            EXPECT_EQ(record->at("command_line").find(secret), std::string::npos);
            EXPECT_EQ(test_support::read_file(sandbox.work + L"\\config.yaml"), "k: v\n");
        }
    }
    EXPECT_EQ(answer(request::Stop{}, state), STOPPED);
}

}  // namespace
}  // namespace korvan::pipe
