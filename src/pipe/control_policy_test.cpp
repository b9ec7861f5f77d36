#include "pipe/control_policy.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <optional>
#include <string>
#include <vector>

#include "support/core_sandbox.h"
#include "support/folder_probes.h"
#include "support/policy_stand_in.h"
#include "support/test_support.h"
#include "win/handle.h"

namespace korvan::pipe {
namespace {

using test_support::CoreSandbox;
using test_support::read_file;
using win::UniqueHandle;

UniqueHandle own_token() {
    UniqueHandle token(test_support::own_identification_token());
    EXPECT_TRUE(token);
    return token;
}

bool member_of(HANDLE token, const wchar_t* sid_text) {
    win::UniqueLocal sid;
    PSID parsed = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(sid_text, &parsed));
    sid.reset(parsed);
    BOOL member = FALSE;
    EXPECT_TRUE(CheckTokenMembership(token, sid.get(), &member));
    return member != FALSE;
}

// Two keys of the test's own under HKLM, removed at the end.
struct TestKeys {
    TestKeys() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str()); }
    ~TestKeys() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str()); }

    static void set(const std::wstring& key, DWORD type, const void* data, DWORD size) {
        win::UniqueKey created;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, created.put(), nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(created.get(), L"StartAllowedFor", 0, type,
                                 static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }
    static void set_text(const std::wstring& key, const std::wstring& text) {
        set(key, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    std::wstring root =
        L"SOFTWARE\\KorvanVPN policy test " + std::to_wstring(GetCurrentProcessId());
    std::wstring policy = root + L"\\Policies";
    std::wstring product = root + L"\\Product";
    PolicyKeys keys() const { return PolicyKeys{policy.c_str(), product.c_str()}; }
};

// The cases name Administrators as a group the test's own token is in, and Backup
// Operators as one it is not: a machine where that does not hold cannot run them.
class ControlPolicy : public ::testing::Test {
  protected:
    void SetUp() override {
        const UniqueHandle token = own_token();
        ASSERT_TRUE(member_of(token.get(), L"S-1-5-32-544"))
            << "the tests must run as an administrator";
        ASSERT_FALSE(member_of(token.get(), L"S-1-5-32-551"))
            << "the tests must run as no backup operator";
    }
};

TEST_F(ControlPolicy, AllowsMembersOnlyAndRefusesEveryoneOnAFaultyValue) {
    using Kind = PolicyValue::Kind;
    struct Case {
        const char* name;
        PolicyValue value;
        std::optional<std::string> refusal;
    };
    const std::vector<Case> cases = {
        {"absent", {Kind::Absent, L"", REG_NONE}, std::nullopt},
        {"empty", {Kind::Text, L"", REG_SZ}, std::nullopt},
        {"Administrators", {Kind::Text, L"S-1-5-32-544", REG_SZ}, std::nullopt},
        {"lower-case s", {Kind::Text, L"s-1-5-32-544", REG_SZ}, std::nullopt},
        {"Backup Operators",
         {Kind::Text, L"S-1-5-32-551", REG_SZ},
         "StartAllowedFor policy: start and stop are for members of S-1-5-32-551 only"},
        {"an alias, not a SID",
         {Kind::Text, L"BA", REG_SZ},
         "StartAllowedFor policy: not a SID: \"BA\""},
        {"a typo",
         {Kind::Text, L"S-1-5-32-5x4", REG_SZ},
         "StartAllowedFor policy: not a SID: \"S-1-5-32-5x4\""},
        {"a DWORD",
         {Kind::OtherType, L"", REG_DWORD},
         "StartAllowedFor policy: not a string value (type 4)"},
    };
    const UniqueHandle token = own_token();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Result<void> allowed = policy_allows(c.value, token.get());
        if (c.refusal) {
            ASSERT_FALSE(allowed.ok());
            EXPECT_EQ(allowed.error(), *c.refusal);
        } else {
            EXPECT_TRUE(allowed.ok()) << allowed.error();
        }
    }
}

// UAC's filtered token of an administrator holds Administrators deny-only: a policy
// naming Administrators is one for elevated callers.
TEST_F(ControlPolicy, APolicyNamingAdministratorsRefusesAnAdministratorsFilteredToken) {
    const UniqueHandle filtered(
        test_support::impersonation_token_denying({WinBuiltinAdministratorsSid}));
    ASSERT_TRUE(filtered);
    const PolicyValue administrators{PolicyValue::Kind::Text, L"S-1-5-32-544", REG_SZ};

    const Result<void> allowed = policy_allows(administrators, filtered.get());

    ASSERT_FALSE(allowed.ok());
    EXPECT_EQ(allowed.error(),
              "StartAllowedFor policy: start and stop are for members of S-1-5-32-544 only");
    EXPECT_TRUE(policy_allows(administrators, own_token().get()).ok());
}

TEST_F(ControlPolicy, ThePolicyKeyWinsAndAnEmptyValueThereLiftsTheProductKey) {
    using Kind = PolicyValue::Kind;
    struct Case {
        const char* name;
        std::optional<std::wstring> policy;
        std::optional<std::wstring> product;
        Kind kind;
        std::wstring text;
    };
    const std::vector<Case> cases = {
        {"neither", std::nullopt, std::nullopt, Kind::Absent, L""},
        {"product only", std::nullopt, L"S-1-5-32-551", Kind::Text, L"S-1-5-32-551"},
        {"policy only", L"S-1-5-32-544", std::nullopt, Kind::Text, L"S-1-5-32-544"},
        {"both", L"S-1-5-32-544", L"S-1-5-32-551", Kind::Text, L"S-1-5-32-544"},
        {"policy empty", L"", L"S-1-5-32-551", Kind::Text, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestKeys keys;
        if (c.policy) {
            TestKeys::set_text(keys.policy, *c.policy);
        }
        if (c.product) {
            TestKeys::set_text(keys.product, *c.product);
        }
        const PolicyValue value = read_policy(keys.keys());
        EXPECT_EQ(value.kind, c.kind);
        EXPECT_EQ(value.text, c.text);
    }
    TestKeys keys;
    const DWORD number = 551;
    TestKeys::set(keys.policy, REG_DWORD, &number, sizeof number);
    TestKeys::set_text(keys.product, L"");
    const PolicyValue value = read_policy(keys.keys());
    EXPECT_EQ(value.kind, Kind::OtherType);
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_DWORD));
}

TEST_F(ControlPolicy, AFaultyValueIsLoggedOnceForEachValueItChangesTo) {
    test_support::LoggedSandbox sandbox;
    TestKeys keys;
    const UniqueHandle token = own_token();
    const std::wstring log = sandbox.work + L"\\service.log";
    for (const wchar_t* value : {L"typo", L"typo", L"S-1-5-32-544", L"typo", L"other", L"other"}) {
        TestKeys::set_text(keys.policy, value);
        (void)may_start_and_stop(token.get(), test_support::policy_at(keys.keys()));
    }
    // The second "typo" line repeats the last line written, so the log counts it.
    EXPECT_EQ(read_file(log),
              "StartAllowedFor policy: not a SID: \"typo\"\n"
              "last message repeated 1 times\n"
              "StartAllowedFor policy: not a SID: \"other\"\n");
}

}  // namespace
}  // namespace korvan::pipe
