// The machine's policy read under Group Policy's lock, with the lock's two calls made by
// stand-ins: Wine's EnterCriticalPolicySection fails at once, so only a stand-in can
// hold the lock, keep it, or change the policy while it is held.

#include "pipe/policy_section.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "log/service_log.h"
#include "pipe/control_policy.h"
#include "support/core_sandbox.h"
#include "support/test_support.h"
#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::pipe {
namespace {

using win::UniqueHandle;

const std::wstring ROOT =
    L"SOFTWARE\\KorvanVPN policy section test " + std::to_wstring(GetCurrentProcessId());
const std::wstring POLICY = ROOT + L"\\Policies";
const std::wstring NONE = ROOT + L"\\none";
const PolicyKeys KEYS{POLICY.c_str(), NONE.c_str()};

// The stand-ins are plain functions: what they do is told here, anew by each test.
struct Script {
    // What an entry does: blocks until `entered_at` is signalled (when set), then
    // succeeds, or fails at once with `fails_with`.
    HANDLE blocks_until = nullptr;
    DWORD fails_with = ERROR_SUCCESS;
    // Group Policy writing the value while it holds its lock, and deleting it as it
    // leaves: a read made outside the lock finds none.
    bool writes_while_held = false;
    std::atomic<int> entries{0};
    std::atomic<int> leaves{0};
    UniqueHandle left{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
Script* script = nullptr;

void set_value(const wchar_t* sid) {
    win::UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, POLICY.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring text = sid;
    EXPECT_EQ(RegSetValueExW(key.get(), L"StartAllowedFor", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

HANDLE WINAPI scripted_enter(BOOL machine) {
    EXPECT_TRUE(machine);
    ++script->entries;
    if (script->fails_with != ERROR_SUCCESS) {
        SetLastError(script->fails_with);
        return nullptr;
    }
    if (script->blocks_until != nullptr) {
        WaitForSingleObject(script->blocks_until, INFINITE);
    }
    if (script->writes_while_held) {
        set_value(L"S-1-5-32-551");
    }
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5EC));
}

BOOL WINAPI scripted_leave(HANDLE section) {
    EXPECT_EQ(section, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5EC)));
    if (script->writes_while_held) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, POLICY.c_str(), L"StartAllowedFor");
    }
    ++script->leaves;
    SetEvent(script->left.get());
    return TRUE;
}

struct Scripted {
    Scripted() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, ROOT.c_str());
        script = &told;
    }
    ~Scripted() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, ROOT.c_str());
        script = nullptr;
    }
    Script told;
};

UniqueHandle own_token() {
    UniqueHandle token(test_support::own_identification_token());
    EXPECT_TRUE(token);
    return token;
}

const std::string MEMBERS_OF_551 =
    "StartAllowedFor policy: start and stop are for members of S-1-5-32-551 only";
const std::string BEING_APPLIED =
    "StartAllowedFor policy: Group Policy is being applied; try again";

TEST(PolicySection, ThePolicyIsReadWhileTheLockIsHeld) {
    test_support::LoggedSandbox sandbox;
    Scripted scripted;
    scripted.told.writes_while_held = true;
    PolicySection section({scripted_enter, scripted_leave});
    const UniqueHandle token = own_token();

    const Result<void> allowed = may_start_and_stop(token.get(), PolicySource{KEYS, &section});

    ASSERT_FALSE(allowed);
    EXPECT_EQ(allowed.error(), MEMBERS_OF_551);
    ASSERT_EQ(WaitForSingleObject(scripted.told.left.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(scripted.told.entries.load(), 1);
    EXPECT_EQ(scripted.told.leaves.load(), 1);
    EXPECT_FALSE(test_support::exists(sandbox.work + L"\\service.log"));
}

TEST(PolicySection, ALockThatCannotBeEnteredIsLoggedOnceAndThePolicyReadWithoutIt) {
    test_support::LoggedSandbox sandbox;
    Scripted scripted;
    set_value(L"S-1-5-32-551");
    PolicySection section({scripted_enter, scripted_leave});
    const UniqueHandle token = own_token();
    const std::string line =
        "StartAllowedFor policy: read without Group Policy's lock: "
        "EnterCriticalPolicySection: " +
        win::winapi_error_text(ERROR_ACCESS_DENIED);
    const std::string other =
        "StartAllowedFor policy: read without Group Policy's lock: "
        "EnterCriticalPolicySection: " +
        win::winapi_error_text(ERROR_NOT_READY);
    const DWORD errors[] = {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
                            ERROR_NOT_READY,     ERROR_SUCCESS,       ERROR_NOT_READY};
    for (const DWORD error : errors) {
        scripted.told.fails_with = error;
        const Result<void> allowed = may_start_and_stop(token.get(), PolicySource{KEYS, &section});
        ASSERT_FALSE(allowed);
        EXPECT_EQ(allowed.error(), MEMBERS_OF_551);
    }
    EXPECT_EQ(scripted.told.entries.load(), 6);
    EXPECT_EQ(scripted.told.leaves.load(), 1);
    // News only: a first failure, another error, and the same error after an entry held,
    // which the log counts as a repeat.
    log::flush_log();
    EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"),
              line + "\n" + other + "\nlast message repeated 1 times\n");
}

TEST(PolicySection, ALockNotHadInTimeRefusesAndIsLeftAtOnceWhenItComes) {
    test_support::LoggedSandbox sandbox;
    Scripted scripted;
    const UniqueHandle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    scripted.told.blocks_until = gate.get();
    PolicySection section({scripted_enter, scripted_leave}, 200);
    const UniqueHandle token = own_token();

    const ULONGLONG began = GetTickCount64();
    const Result<void> allowed = may_start_and_stop(token.get(), PolicySource{KEYS, &section});
    const ULONGLONG waited = GetTickCount64() - began;

    ASSERT_FALSE(allowed);
    EXPECT_EQ(allowed.error(), BEING_APPLIED);
    EXPECT_GE(waited, 190u);
    EXPECT_LT(waited, 3000u);
    EXPECT_EQ(scripted.told.leaves.load(), 0);
    // Group Policy lets go: the entry that was given up is left without anyone reading.
    SetEvent(gate.get());
    EXPECT_EQ(WaitForSingleObject(scripted.told.left.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(scripted.told.entries.load(), 1);
    EXPECT_FALSE(test_support::exists(sandbox.work + L"\\service.log"));
}

TEST(PolicySection, ACallerDuringAnEntryStillWaitingTakesItOver) {
    Scripted scripted;
    const UniqueHandle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    scripted.told.blocks_until = gate.get();
    PolicySection section({scripted_enter, scripted_leave}, 2000);
    EXPECT_EQ(section.enter().entry(), PolicySection::Entry::TimedOut);

    // Group Policy lets go while the next caller waits.
    std::thread opener([&] {
        Sleep(500);
        SetEvent(gate.get());
    });
    {
        const PolicySection::Hold hold = section.enter();
        EXPECT_EQ(hold.entry(), PolicySection::Entry::Held);
        EXPECT_EQ(scripted.told.leaves.load(), 0);
    }
    opener.join();
    EXPECT_EQ(WaitForSingleObject(scripted.told.left.get(), 5000), WAIT_OBJECT_0);
    // One entry, made for the first caller and taken over by the second.
    EXPECT_EQ(scripted.told.entries.load(), 1);
    EXPECT_EQ(scripted.told.leaves.load(), 1);
}

}  // namespace
}  // namespace korvan::pipe
