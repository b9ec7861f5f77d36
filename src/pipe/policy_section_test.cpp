// The machine's policy read under Group Policy's lock, with the lock's two calls made by
// stand-ins: Wine's EnterCriticalPolicySection fails at once, so only a stand-in can
// hold the lock, keep it, or change the policy while it is held.

#include "pipe/policy_section.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "log/service_log.h"
#include "pipe/control_policy.h"
#include "pipe/policy_watch.h"
#include "support/core_sandbox.h"
#include "support/policy_stand_in.h"
#include "support/test_support.h"
#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::pipe {
namespace {

using test_support::decided_within;
using test_support::start_refusal;
using win::UniqueHandle;

const std::wstring ROOT =
    L"SOFTWARE\\KorvanVPN policy section test " + std::to_wstring(GetCurrentProcessId());
const std::wstring POLICY = ROOT + L"\\Policies";
const std::wstring NONE = ROOT + L"\\none";
const PolicyKeys KEYS{POLICY.c_str(), NONE.c_str()};

// The stand-ins are plain functions: what they do is told here, anew by each test.
struct Script {
    // Entries from this one on (counted from 0) wait until `gate` is signalled.
    int blocks_from = INT_MAX;
    UniqueHandle gate{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // The error each entry fails with at once, by its number; ERROR_SUCCESS or past the
    // end: it succeeds.
    std::vector<DWORD> fails_with;
    // Group Policy writing the value while it holds its lock at the first entry, and
    // deleting it as it leaves: a read made outside the lock finds none.
    bool writes_while_held = false;
    std::atomic<int> entries{0};
    std::atomic<int> leaves{0};
    UniqueHandle left{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
std::atomic<Script*> script{nullptr};

// A script of the test's own. Never freed: a watch's thread may still be in a stand-in
// when its test ends.
Script& scripted() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, ROOT.c_str());
    script = new Script();
    return *script;
}

struct RemovedKeys {
    ~RemovedKeys() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, ROOT.c_str()); }
};

void set_value(const wchar_t* sid) {
    const std::wstring text = sid;
    EXPECT_EQ(
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, POLICY.c_str(), L"StartAllowedFor", REG_SZ,
                        text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
        ERROR_SUCCESS);
}

HANDLE WINAPI scripted_enter(BOOL machine) {
    EXPECT_TRUE(machine);
    Script& told = *script;
    const int entry = told.entries++;
    if (entry < static_cast<int>(told.fails_with.size()) &&
        told.fails_with[entry] != ERROR_SUCCESS) {
        SetLastError(told.fails_with[entry]);
        return nullptr;
    }
    if (entry >= told.blocks_from) {
        WaitForSingleObject(told.gate.get(), INFINITE);
    }
    if (told.writes_while_held && entry == 0) {
        set_value(L"S-1-5-32-551");
    }
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5EC));
}

BOOL WINAPI scripted_leave(HANDLE section) {
    EXPECT_EQ(section, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5EC)));
    Script& told = *script;
    if (told.writes_while_held && told.leaves == 0) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, POLICY.c_str(), L"StartAllowedFor");
    }
    ++told.leaves;
    SetEvent(told.left.get());
    return TRUE;
}

PolicyWatchParts scripted_parts() {
    GroupPolicyCalls calls = group_policy_calls();
    calls.enter = scripted_enter;
    calls.leave = scripted_leave;
    return PolicyWatchParts{.keys = KEYS, .group_policy = calls};
}

UniqueHandle own_token() {
    UniqueHandle token(test_support::own_identification_token());
    EXPECT_TRUE(token);
    return token;
}

const std::string MEMBERS_OF_551 =
    "StartAllowedFor policy: start and stop are for members of S-1-5-32-551 only";
const std::string NOT_READ_YET_TEXT = "StartAllowedFor policy: not read yet";

TEST(PolicySection, ThePolicyIsReadWhileTheLockIsHeld) {
    test_support::LoggedSandbox sandbox;
    RemovedKeys removed;
    Script& told = scripted();
    told.writes_while_held = true;
    // The value's removal as the first entry is left wakes the watch again; that read
    // waits until the test has looked.
    told.blocks_from = 1;
    const UniqueHandle token = own_token();
    PolicyWatch watch(scripted_parts());

    EXPECT_EQ(start_refusal(watch, token.get()), MEMBERS_OF_551);
    ASSERT_EQ(WaitForSingleObject(told.left.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(told.leaves.load(), 1);

    // Read again under the lock, without the value that was there only while it was held.
    SetEvent(told.gate.get());
    EXPECT_TRUE(decided_within(watch, token.get(), ""));
    EXPECT_EQ(told.leaves.load(), told.entries.load());
    EXPECT_FALSE(test_support::exists(sandbox.work + L"\\service.log"));
}

TEST(PolicySection, ALockThatCannotBeEnteredIsLoggedOnceAndThePolicyReadWithoutIt) {
    test_support::LoggedSandbox sandbox;
    RemovedKeys removed;
    Script& told = scripted();
    told.fails_with = {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
                       ERROR_NOT_READY,     ERROR_SUCCESS,       ERROR_NOT_READY};
    set_value(L"S-1-5-32-551");
    const UniqueHandle token = own_token();
    const std::string line =
        "StartAllowedFor policy: read without Group Policy's lock: "
        "EnterCriticalPolicySection: " +
        win::winapi_error_text(ERROR_ACCESS_DENIED);
    const std::string other =
        "StartAllowedFor policy: read without Group Policy's lock: "
        "EnterCriticalPolicySection: " +
        win::winapi_error_text(ERROR_NOT_READY);
    PolicyWatch watch(scripted_parts());
    ASSERT_EQ(start_refusal(watch, token.get()), MEMBERS_OF_551);

    // Each change is read once more, with or without the lock, and decides.
    for (int entry = 1; entry < 6; ++entry) {
        SCOPED_TRACE(entry);
        const bool administrators = entry % 2 == 1;
        set_value(administrators ? L"S-1-5-32-544" : L"S-1-5-32-551");
        EXPECT_TRUE(decided_within(watch, token.get(), administrators ? "" : MEMBERS_OF_551));
        EXPECT_EQ(told.entries.load(), entry + 1);
    }
    EXPECT_EQ(told.leaves.load(), 1);
    // News only: a first failure, another error, and the same error after an entry held,
    // which the log counts as a repeat.
    log::flush_log();
    EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"),
              line + "\n" + other + "\nlast message repeated 1 times\n");
}

// Group Policy holds its lock for 10 s after a change: the watch's read waits for it,
// and every start and stop meanwhile is answered at once from the value read before.
TEST(PolicySection, StartsWhileTheLockIsHeldForTenSecondsAreAnsweredFromTheLastValue) {
    test_support::LoggedSandbox sandbox;
    RemovedKeys removed;
    Script& told = scripted();
    told.blocks_from = 1;
    const UniqueHandle token = own_token();
    PolicyWatch watch(scripted_parts());
    ASSERT_EQ(start_refusal(watch, token.get()), "");

    set_value(L"S-1-5-32-551");
    for (int waited = 0; waited < 5000 && told.entries < 2; waited += 20) {
        Sleep(20);
    }
    ASSERT_EQ(told.entries.load(), 2);
    const ULONGLONG held_at = GetTickCount64();
    std::thread group_policy([&] {
        Sleep(10'000);
        SetEvent(told.gate.get());
    });
    ULONGLONG slowest = 0;
    int answered = 0;
    while (GetTickCount64() - held_at < 9'500) {
        const ULONGLONG asked = GetTickCount64();
        EXPECT_EQ(start_refusal(watch, token.get()), "");
        slowest = std::max(slowest, GetTickCount64() - asked);
        ++answered;
        Sleep(250);
    }
    // Well below the 2 s that a request once waited for the lock.
    EXPECT_LT(slowest, 500u);
    EXPECT_GE(answered, 20);
    EXPECT_EQ(told.leaves.load(), 1);

    group_policy.join();
    EXPECT_TRUE(decided_within(watch, token.get(), MEMBERS_OF_551));
    EXPECT_EQ(told.leaves.load(), 2);
    EXPECT_FALSE(test_support::exists(sandbox.work + L"\\service.log"));
}

TEST(PolicySection, AFirstReadNotEndedWithinTwoSecondsRefusesUntilItEnds) {
    RemovedKeys removed;
    Script& told = scripted();
    told.blocks_from = 0;
    const UniqueHandle token = own_token();
    PolicyWatch watch(scripted_parts());

    const ULONGLONG began = GetTickCount64();
    const Result<void> allowed = may_start_and_stop(token.get(), PolicySource{&watch});
    const ULONGLONG waited = GetTickCount64() - began;

    ASSERT_FALSE(allowed);
    EXPECT_EQ(allowed.error(), NOT_READ_YET_TEXT);
    EXPECT_GE(waited, 1990u);
    EXPECT_LT(waited, 3000u);

    // The first read ends while the next request waits for it.
    std::thread group_policy([&] {
        Sleep(500);
        SetEvent(told.gate.get());
    });
    EXPECT_EQ(start_refusal(watch, token.get()), "");
    group_policy.join();
    EXPECT_EQ(told.leaves.load(), 1);
}

// The watch's end never waits for a thread in Group Policy's lock; that thread leaves
// the lock when it gets it, and reads nothing.
TEST(PolicySection, AWatchEndsAtOnceWhileItsReadWaitsForTheLock) {
    test_support::LoggedSandbox sandbox;
    RemovedKeys removed;
    Script& told = scripted();
    told.blocks_from = 0;
    // A faulty value, which a read would log.
    set_value(L"typo");
    ULONGLONG ending = 0;
    {
        PolicyWatch watch(scripted_parts());
        for (int waited = 0; waited < 5000 && told.entries < 1; waited += 20) {
            Sleep(20);
        }
        ASSERT_EQ(told.entries.load(), 1);
        ending = GetTickCount64();
    }
    EXPECT_LT(GetTickCount64() - ending, 100u);

    SetEvent(told.gate.get());
    ASSERT_EQ(WaitForSingleObject(told.left.get(), 5000), WAIT_OBJECT_0);
    Sleep(200);
    EXPECT_EQ(told.entries.load(), 1);
    EXPECT_FALSE(test_support::exists(sandbox.work + L"\\service.log"));
}

}  // namespace
}  // namespace korvan::pipe
