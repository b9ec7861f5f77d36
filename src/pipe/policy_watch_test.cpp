// The watch of the machine's policy on keys of the test's own, changed while it runs.
// Group Policy's lock is a stand-in that is always had and counts the reads as it is
// left, after each has read the keys; the
// notification of applied policy is the system's own, which under Wine never comes, so
// the registry's notifications alone carry these tests.

#include "pipe/policy_watch.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "log/service_log.h"
#include "support/core_sandbox.h"
#include "support/policy_stand_in.h"
#include "support/registry_keys.h"
#include "support/test_support.h"
#include "win/error_text.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::pipe {
namespace {

using test_support::decided_within;
using test_support::start_refusal;
using win::UniqueHandle;

const std::wstring ROOT =
    L"SOFTWARE\\KorvanVPN policy watch test " + std::to_wstring(GetCurrentProcessId());
const std::wstring POLICY_ROOT = ROOT + L"\\Policies";
const std::wstring POLICY_PARENT = POLICY_ROOT + L"\\KorvanVPN";
const std::wstring POLICY = POLICY_PARENT + L"\\Service";
const std::wstring PRODUCT_PARENT = ROOT + L"\\KorvanVPN";
const std::wstring PRODUCT = PRODUCT_PARENT + L"\\Service";

const std::string MEMBERS_OF_551 =
    "StartAllowedFor policy: start and stop are for members of S-1-5-32-551 only";

std::atomic<int> reads{0};

HANDLE WINAPI counted_enter(BOOL) {
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(1));
}

BOOL WINAPI counted_leave(HANDLE) {
    ++reads;
    return TRUE;
}

PolicyWatchParts counted_parts(DWORD retry_ms = POLICY_RETRY_MS) {
    GroupPolicyCalls calls = group_policy_calls();
    calls.enter = counted_enter;
    calls.leave = counted_leave;
    return PolicyWatchParts{
        .keys = {POLICY.c_str(), PRODUCT.c_str()}, .group_policy = calls, .retry_ms = retry_ms};
}

void set_text(const std::wstring& key, const std::wstring& text) {
    EXPECT_EQ(
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"StartAllowedFor", REG_SZ, text.c_str(),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
        ERROR_SUCCESS);
}

void set_number(const std::wstring& key, DWORD number) {
    EXPECT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"StartAllowedFor", REG_DWORD,
                              &number, sizeof number),
              ERROR_SUCCESS);
}

void make_key(const std::wstring& key) {
    win::UniqueKey made;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, made.put(), nullptr),
              ERROR_SUCCESS);
}

void remove_key(const std::wstring& key) {
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_FILE_NOT_FOUND);
}

bool member_of(HANDLE token, const wchar_t* sid_text) {
    PSID parsed = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(sid_text, &parsed));
    const win::UniqueLocal sid(parsed);
    BOOL member = FALSE;
    EXPECT_TRUE(CheckTokenMembership(token, sid.get(), &member));
    return member != FALSE;
}

bool read_within_a_second(int after) {
    for (int waited = 0; waited < 1000 && reads <= after; waited += 10) {
        Sleep(10);
    }
    return reads > after;
}

// No key of the test's at the start and none left at the end. The cases name
// Administrators as a group the test's own token is in, and Backup Operators as one it
// is not.
class PolicyWatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, ROOT.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, ROOT.c_str());
        ASSERT_TRUE(token);
        ASSERT_TRUE(member_of(token.get(), L"S-1-5-32-544"))
            << "the tests must run as an administrator";
        ASSERT_FALSE(member_of(token.get(), L"S-1-5-32-551"))
            << "the tests must run as no backup operator";
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, ROOT.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, ROOT.c_str());
    }

    const UniqueHandle token{test_support::own_identification_token()};
};

TEST_F(PolicyWatchTest, AChangeToEitherKeyDecidesTheNextStartWithinASecond) {
    struct Step {
        const char* name;
        std::function<void()> change;
        std::string refusal;
    };
    const std::vector<Step> steps = {
        {"the product key made after the start", [] { set_text(PRODUCT, L"S-1-5-32-551"); },
         MEMBERS_OF_551},
        {"the policy key made, with its parents, empty", [] { set_text(POLICY, L""); }, ""},
        {"the policy key's value set", [] { set_text(POLICY, L"S-1-5-32-551"); }, MEMBERS_OF_551},
        {"the policy key's value set to Administrators", [] { set_text(POLICY, L"S-1-5-32-544"); },
         ""},
        {"the policy key's value made a DWORD", [] { set_number(POLICY, 4); },
         "StartAllowedFor policy: not a string value (type 4)"},
        {"the policy key removed, with its parents", [] { remove_key(POLICY_ROOT); },
         MEMBERS_OF_551},
        {"the product key's value emptied", [] { set_text(PRODUCT, L""); }, ""},
        {"the product key's value set", [] { set_text(PRODUCT, L"S-1-5-32-551"); }, MEMBERS_OF_551},
        {"the product key removed", [] { remove_key(PRODUCT); }, ""},
        {"the policy key made again, its parents first",
         [] {
             const int before = reads;
             make_key(POLICY_PARENT);
             // Seen from the root; the watch then waits on the new parent.
             EXPECT_TRUE(read_within_a_second(before));
             set_text(POLICY, L"S-1-5-32-551");
         },
         MEMBERS_OF_551},
    };
    PolicyWatch watch(counted_parts());
    ASSERT_EQ(start_refusal(watch, token.get()), "");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.change();
        EXPECT_TRUE(decided_within(watch, token.get(), step.refusal))
            << "decided now: \"" << start_refusal(watch, token.get()) << "\"";
    }
}

// The read that fails is tried again every retry_ms, here shortened; the key that cannot
// be read cannot be watched either, and each is logged once.
TEST_F(PolicyWatchTest, AValueThatCannotBeReadFailsClosedIsLoggedOnceAndIsReadAgainLater) {
    test_support::LoggedSandbox sandbox;
    set_text(POLICY, L"S-1-5-32-544");
    set_text(PRODUCT, L"");
    PolicyWatch watch(counted_parts(500));
    ASSERT_EQ(start_refusal(watch, token.get()), "");
    const std::string denied = win::winapi_error_text(ERROR_ACCESS_DENIED);
    const std::string cannot_read = "StartAllowedFor policy: cannot read HKLM\\" +
                                    win::narrow(POLICY) + ": RegGetValueW: " + denied;
    const std::string not_watched = "StartAllowedFor policy: not watched: HKLM\\" +
                                    win::narrow(POLICY) + ": RegOpenKeyExW: " + denied;

    test_support::UnreadableKey unreadable(POLICY);
    // Windows tells a watch of the key's security of the change; Wine does not, and a
    // write of another value tells it (Wine tells no write of the same value).
    set_text(POLICY, L"S-1-5-32-551");
    EXPECT_TRUE(decided_within(watch, token.get(), cannot_read));
    const int failed_at = reads;
    Sleep(2'600);
    EXPECT_EQ(start_refusal(watch, token.get()), cannot_read);
    EXPECT_GE(reads - failed_at, 4);

    // Readable again, with no notification: the next try reads what was written.
    unreadable.restore();
    EXPECT_TRUE(decided_within(watch, token.get(), MEMBERS_OF_551, 1500));
    log::flush_log();
    EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"),
              cannot_read + "\n" + not_watched + "\n");
}

// Each value is read anew after a change to either key: a change to the product key
// reads the policy key's value again (Wine tells no write of the value a key already
// has).
TEST_F(PolicyWatchTest, AFaultyValueIsLoggedOnceForEachValueItChangesTo) {
    test_support::LoggedSandbox sandbox;
    PolicyWatch watch(counted_parts());
    ASSERT_EQ(start_refusal(watch, token.get()), "");
    const std::wstring again = L"again";
    const std::vector<std::wstring> values = {L"typo", again,    L"S-1-5-32-544",
                                              L"typo", L"other", again};
    for (const std::wstring& value : values) {
        SCOPED_TRACE(win::narrow(value));
        const int before = reads;
        if (value == again) {
            set_text(PRODUCT, std::to_wstring(before));
        } else {
            set_text(POLICY, value);
        }
        EXPECT_TRUE(read_within_a_second(before));
    }
    // The last read has ended once its value decides.
    set_text(POLICY, L"S-1-5-32-551");
    EXPECT_TRUE(decided_within(watch, token.get(), MEMBERS_OF_551));
    // The second "typo" line repeats the last line written, so the log counts it.
    EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"),
              "StartAllowedFor policy: not a SID: \"typo\"\n"
              "last message repeated 1 times\n"
              "StartAllowedFor policy: not a SID: \"other\"\n");
}

// A key's parent is watched for its subkeys alone: neither its values nor anything
// deeper wakes the watch.
TEST_F(PolicyWatchTest, OnlyTheKeysThemselvesAndTheirParentsSubkeysAreWatched) {
    const std::wstring deep = POLICY_PARENT + L"\\Other\\Deep";
    make_key(deep);
    make_key(PRODUCT_PARENT);
    PolicyWatch watch(counted_parts());
    ASSERT_EQ(start_refusal(watch, token.get()), "");
    const int before = reads;

    set_text(POLICY_PARENT, L"S-1-5-32-551");
    set_text(POLICY_PARENT + L"\\Other", L"S-1-5-32-551");
    set_text(deep, L"S-1-5-32-551");
    make_key(deep + L"\\Deeper");
    remove_key(deep + L"\\Deeper");
    set_text(PRODUCT_PARENT, L"S-1-5-32-551");
    Sleep(500);
    EXPECT_EQ(reads.load(), before);

    set_text(POLICY, L"S-1-5-32-551");
    EXPECT_TRUE(decided_within(watch, token.get(), MEMBERS_OF_551));
    EXPECT_GT(reads.load(), before);
}

}  // namespace
}  // namespace korvan::pipe
