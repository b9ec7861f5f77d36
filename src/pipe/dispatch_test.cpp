#include "pipe/dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "proto/encode.h"
#include "support/core_sandbox.h"
#include "support/policy_stand_in.h"
#include "support/supervisor_probe.h"
#include "win/handle.h"

namespace korvan::pipe {
namespace {

using namespace proto;

using core::SupervisorProbe;
using test_support::CoreSandbox;
using test_support::exit_code_after;
using test_support::ScopedEnv;
using test_support::wait_for_record;
using win::UniqueHandle;

// Keys no test sets: no policy applies.
const PolicyKeys NO_POLICY{L"SOFTWARE\\KorvanVPN dispatch test\\none",
                           L"SOFTWARE\\KorvanVPN dispatch test\\none"};

std::string answer(const Request& request, core::Supervisor& supervisor,
                   const PolicyKeys& policy = NO_POLICY) {
    const UniqueHandle caller(test_support::own_identification_token());
    EXPECT_TRUE(caller);
    return encode_response(
        handle_request(request, supervisor, caller.get(), test_support::policy_at(policy)));
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
    core::Supervisor supervisor;
    std::lock_guard held(SupervisorProbe::lock(supervisor));
    std::string pong;
    std::thread other([&] { pong = answer(request::Ping{}, supervisor); });
    other.join();
    EXPECT_EQ(pong, R"({"ok":"pong","version":"1","service_version":"1.0.0"})");
}

TEST(HandleRequest, StatusStartStopOnTheStandInCore) {
    CoreSandbox sandbox;
    core::Supervisor supervisor;
    EXPECT_EQ(answer(request::Status{}, supervisor), NOT_RUNNING);
    EXPECT_EQ(answer(request::Stop{}, supervisor), STOPPED);

    EXPECT_EQ(answer(start_with("mixed-port: 7890\n"), supervisor), STARTED);
    const UniqueHandle core = open_core(sandbox.record);
    EXPECT_EQ(answer(request::Status{}, supervisor), RUNNING);
    // The lock is free again once the answer is formed.
    ASSERT_TRUE(SupervisorProbe::lock(supervisor).try_lock());
    SupervisorProbe::lock(supervisor).unlock();

    EXPECT_EQ(answer(request::Stop{}, supervisor), STOPPED);
    EXPECT_EQ(exit_code_after(core.get(), 0), 1u);
    EXPECT_EQ(answer(request::Status{}, supervisor), NOT_RUNNING);
    EXPECT_EQ(answer(request::Stop{}, supervisor), STOPPED);
}

TEST(HandleRequest, StartEndsTheRunningCoreFirst) {
    CoreSandbox sandbox;
    core::Supervisor supervisor;
    ASSERT_EQ(answer(start_with("first: 1\n"), supervisor), STARTED);
    const UniqueHandle first = open_core(sandbox.record);
    ASSERT_TRUE(DeleteFileW(sandbox.record.c_str()));

    const request::Start second{"second: 2\n", "", 1, 2};
    EXPECT_EQ(answer(second, supervisor), R"({"ok":"started","mixed_port":1,"ctl_port":2})");
    EXPECT_EQ(exit_code_after(first.get(), 0), 1u);
    const UniqueHandle now = open_core(sandbox.record);
    EXPECT_EQ(exit_code_after(now.get(), 0), std::nullopt);
    EXPECT_EQ(answer(request::Status{}, supervisor),
              R"({"ok":"status","running":true,"mixed_port":1,"ctl_port":2})");
    EXPECT_EQ(answer(request::Stop{}, supervisor), STOPPED);
}

TEST(HandleRequest, AFailedStartLeavesNoCoreAndEndsTheOldOne) {
    CoreSandbox sandbox;
    core::Supervisor supervisor;
    ASSERT_EQ(answer(start_with("a: 1\n"), supervisor), STARTED);
    const UniqueHandle old = open_core(sandbox.record);
    {
        ScopedEnv unset(L"ProgramData", std::nullopt);
        EXPECT_EQ(answer(start_with("b: 2\n"), supervisor),
                  R"({"ok":"error","code":"start_failed","message":"ProgramData not set"})");
    }
    EXPECT_EQ(exit_code_after(old.get(), 0), 1u);
    std::lock_guard held(SupervisorProbe::lock(supervisor));
    const core::CoreState& record = SupervisorProbe::record(supervisor);
    EXPECT_FALSE(record.child);
    EXPECT_FALSE(record.job);
    EXPECT_FALSE(record.mixed_port);
    EXPECT_FALSE(record.ctl_port);
}

TEST(HandleRequest, ACoreThatExitedIsNotRunningButStaysRecorded) {
    CoreSandbox sandbox;
    core::Supervisor supervisor;
    ASSERT_EQ(answer(start_with("fake-core: exit 3\n"), supervisor), STARTED);
    const UniqueHandle core = open_core(sandbox.record);
    ASSERT_EQ(exit_code_after(core.get(), 10000), 3u);

    EXPECT_EQ(answer(request::Status{}, supervisor), NOT_RUNNING);
    {
        std::lock_guard held(SupervisorProbe::lock(supervisor));
        EXPECT_TRUE(SupervisorProbe::record(supervisor).child);
        EXPECT_EQ(SupervisorProbe::record(supervisor).mixed_port, 10800);
    }
    EXPECT_EQ(answer(request::Stop{}, supervisor), STOPPED);
}

TEST(HandleRequest, TheSecretChangesNothingAndReachesNoOne) {
    CoreSandbox sandbox;
    core::Supervisor supervisor;
    for (const std::string secret : {"first-secret-value", "", "second-secret-value"}) {
        SCOPED_TRACE(secret);
        ASSERT_TRUE(!test_support::exists(sandbox.record) || DeleteFileW(sandbox.record.c_str()));
        EXPECT_EQ(answer(start_with("k: v\n", secret), supervisor), STARTED);
        const auto record = wait_for_record(sandbox.record);
        ASSERT_TRUE(record.has_value());
        if (!secret.empty()) {
            EXPECT_EQ(record->at("command_line").find(secret), std::string::npos);
            EXPECT_EQ(test_support::read_file(sandbox.work + L"\\config.yaml"), "k: v\n");
        }
    }
    EXPECT_EQ(answer(request::Stop{}, supervisor), STOPPED);
}

// A policy value under a key of the test's own, removed at the end.
struct PolicyValueSet {
    explicit PolicyValueSet(const std::wstring& sid) {
        win::UniqueKey key;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key.get(), L"StartAllowedFor", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(sid.c_str()),
                                 static_cast<DWORD>((sid.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    ~PolicyValueSet() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str()); }
    PolicyKeys keys() const { return PolicyKeys{root.c_str(), NO_POLICY.product}; }

    std::wstring root =
        L"SOFTWARE\\KorvanVPN dispatch test " + std::to_wstring(GetCurrentProcessId());
};

TEST(HandleRequest, APolicyNamingAGroupTheCallerIsNotInForbidsStartAndStopOnly) {
    CoreSandbox sandbox;
    core::Supervisor supervisor;
    ASSERT_EQ(answer(start_with("k: v\n"), supervisor), STARTED);
    const UniqueHandle core = open_core(sandbox.record);
    ASSERT_TRUE(core.valid());

    const PolicyValueSet backup_operators(L"S-1-5-32-551");
    const std::string forbidden =
        R"({"ok":"error","code":"forbidden","message":"StartAllowedFor policy: start and stop )"
        R"(are for members of S-1-5-32-551 only"})";
    const PolicyKeys policy = backup_operators.keys();
    EXPECT_EQ(answer(request::Stop{}, supervisor, policy), forbidden);
    EXPECT_EQ(answer(start_with("k: v\n"), supervisor, policy), forbidden);
    // The running core is left as it was, and ping and status still answer.
    EXPECT_EQ(WaitForSingleObject(core.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(answer(request::Status{}, supervisor, policy), RUNNING);
    EXPECT_EQ(answer(request::Ping{}, supervisor, policy),
              R"({"ok":"pong","version":"1","service_version":"1.0.0"})");

    const PolicyValueSet administrators(L"S-1-5-32-544");
    EXPECT_EQ(answer(request::Stop{}, supervisor, administrators.keys()), STOPPED);
    EXPECT_EQ(exit_code_after(core.get(), 10000), 1u);
}

}  // namespace
}  // namespace korvan::pipe
