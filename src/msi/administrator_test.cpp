// The check that refuses a maintenance run of the package to a user whose token has no
// enabled Administrators group, on tokens of the test's own: this process's, which holds
// the group enabled (an administrator's under Wine, and in the kit, which runs
// elevated), and the same with the group deny-only, as UAC's filtered token holds it,
// given or worn by the calling thread.

#include "msi/administrator.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "win/handle.h"

namespace korvan::msi {
namespace {

using win::UniqueHandle;

UniqueHandle denying(WELL_KNOWN_SID_TYPE group) {
    UniqueHandle token(test_support::impersonation_token_denying({group}));
    EXPECT_TRUE(token);
    return token;
}

UniqueHandle primary_token() {
    UniqueHandle token;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    return token;
}

// Wears `token` on the calling thread for the scope; nullptr wears nothing.
struct Worn {
    explicit Worn(HANDLE token) : worn(token != nullptr) {
        if (worn) {
            EXPECT_TRUE(SetThreadToken(nullptr, token));
        }
    }
    ~Worn() {
        if (worn) {
            RevertToSelf();
        }
    }
    Worn(const Worn&) = delete;
    Worn& operator=(const Worn&) = delete;
    bool worn;
};

TEST(AdministratorsEnabled, OnlyInATokenThatHoldsTheGroupEnabled) {
    struct Case {
        const char* name;
        std::function<UniqueHandle()> make;
        bool given;  // given to the check, else worn by the thread and nullptr given
        std::optional<bool> enabled;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"this process's token, given",
         [] { return UniqueHandle(test_support::own_identification_token()); }, true, true, ""},
        {"Administrators deny-only, given", [] { return denying(WinBuiltinAdministratorsSid); },
         true, false, ""},
        {"another group deny-only, given", [] { return denying(WinBuiltinBackupOperatorsSid); },
         true, true, ""},
        {"the thread's own, the process's token", [] { return UniqueHandle(); }, false, true, ""},
        {"Administrators deny-only, worn by the thread",
         [] { return denying(WinBuiltinAdministratorsSid); }, false, false, ""},
        {"a primary token, given", primary_token, true, std::nullopt,
         "CheckTokenMembership: " +
             test_support::expected_winapi_text(ERROR_NO_IMPERSONATION_TOKEN)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const UniqueHandle token = c.make();
        const Worn worn(c.given ? nullptr : token.get());
        const Result<bool> enabled = administrators_enabled(c.given ? token.get() : nullptr);
        if (c.enabled) {
            ASSERT_TRUE(enabled) << enabled.error();
            EXPECT_EQ(enabled.value(), *c.enabled);
        } else {
            ASSERT_FALSE(enabled);
            EXPECT_EQ(enabled.error(), c.error);
            EXPECT_EQ(enabled.failure().system_error, ERROR_NO_IMPERSONATION_TOKEN);
        }
    }
}

}  // namespace
}  // namespace korvan::msi
