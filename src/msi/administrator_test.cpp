// The check that refuses a maintenance run of the package to anyone but an
// administrator, on tokens of the test's own: this process's, which holds the group
// enabled (an administrator's under Wine, and in the kit, which runs elevated), the same
// with the group deny-only, as UAC's filtered token holds it, and the token linked to
// this process's, given or worn by the calling thread. Wine links a limited token to
// every full one, as UAC does, but filters nothing: its limited token holds
// Administrators enabled, so the test makes the group deny-only in a copy. What Wine
// cannot make (a token of LocalSystem's or of a standard user, a restricted token it
// reads as one) is decided through the readers' seam.

#include "msi/administrator.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "win/handle.h"

namespace korvan::msi {

// For gtest's messages.
void PrintTo(Maintainer maintainer, std::ostream* out) {
    switch (maintainer) {
        case Maintainer::Administrator:
            *out << "Administrator";
            return;
        case Maintainer::LinkedAdministrator:
            *out << "LinkedAdministrator";
            return;
        case Maintainer::Refused:
            *out << "Refused";
            return;
    }
}

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

// The token linked to this process's, with Administrators deny-only, and with
// `restricting` as its restricting SIDs when any are given; invalid when this process's
// token has no linked token (UAC off, or the built-in Administrator without Admin
// Approval Mode). Under UAC the kit's elevated token is linked to its limited one, where
// the group is deny-only already; under Wine the limited token holds it enabled.
UniqueHandle linked_denying(const std::vector<WELL_KNOWN_SID_TYPE>& restricting = {}) {
    UniqueHandle process_token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, process_token.put())) {
        ADD_FAILURE() << "OpenProcessToken: " << GetLastError();
        return {};
    }
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!GetTokenInformation(process_token.get(), TokenLinkedToken, &linked, sizeof linked,
                             &size)) {
        return {};
    }
    const UniqueHandle limited(linked.LinkedToken);
    std::vector<std::array<BYTE, SECURITY_MAX_SID_SIZE>> sids(1 + restricting.size());
    std::vector<SID_AND_ATTRIBUTES> entries;
    size_t at = 0;
    for (WELL_KNOWN_SID_TYPE type : restricting) {
        size = SECURITY_MAX_SID_SIZE;
        EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sids[at].data(), &size));
        entries.push_back({sids[at].data(), 0});
        ++at;
    }
    size = SECURITY_MAX_SID_SIZE;
    EXPECT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sids[at].data(), &size));
    SID_AND_ATTRIBUTES deny_only{sids[at].data(), 0};
    UniqueHandle copy;
    EXPECT_TRUE(CreateRestrictedToken(limited.get(), 0, 1, &deny_only, 0, nullptr,
                                      static_cast<DWORD>(entries.size()), entries.data(),
                                      copy.put()))
        << GetLastError();
    return copy;
}

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

// What the stand-in readers answer; an answer left out must not be asked for, and
// fails the check if it is. A `linked_failure` with a text is what the reading of the
// linked token fails with.
struct Answers {
    std::optional<TOKEN_ELEVATION_TYPE> type;
    std::optional<bool> restricted;
    std::optional<bool> linked;
    Failure linked_failure = {};
};

const Failure NOT_TO_BE_READ{"read although the answer before decides", 0};

ElevationReaders stand_in(const Answers& answers) {
    ElevationReaders readers;
    readers.elevation_type = [answers](HANDLE token) -> Result<TOKEN_ELEVATION_TYPE> {
        EXPECT_NE(token, nullptr);
        if (!answers.type) {
            return NOT_TO_BE_READ;
        }
        return *answers.type;
    };
    readers.restricted = [answers](HANDLE) -> Result<bool> {
        if (!answers.restricted) {
            return NOT_TO_BE_READ;
        }
        return *answers.restricted;
    };
    readers.linked_administrators_enabled = [answers](HANDLE) -> Result<bool> {
        if (!answers.linked_failure.text.empty()) {
            return answers.linked_failure;
        }
        if (!answers.linked) {
            return NOT_TO_BE_READ;
        }
        return *answers.linked;
    };
    return readers;
}

UniqueHandle enabled_token() {
    UniqueHandle token(test_support::own_identification_token());
    EXPECT_TRUE(token);
    return token;
}

void expect_decision(const Result<Maintainer>& decided, const std::optional<Maintainer>& expected,
                     const Failure& error) {
    if (expected) {
        ASSERT_TRUE(decided) << decided.error();
        EXPECT_EQ(decided.value(), *expected);
    } else {
        ASSERT_FALSE(decided);
        EXPECT_EQ(decided.error(), error.text);
        EXPECT_EQ(decided.failure().system_error, error.system_error);
    }
}

// The tokens that UAC and the accounts give a maintenance run, their own groups real,
// what Wine cannot show answered by the readers. A token without Administrators at all
// (a standard user's) is stood for by one with the group deny-only: CheckTokenMembership
// answers both alike, and so the check meets a standard user and a token whose group is
// deny-only with no linked token alike.
TEST(Maintainer, AdmitsAnAdministratorElevatedOrConsentingAndRefusesEveryoneElse) {
    const Failure no_linked{"GetTokenInformation(TokenLinkedToken): " +
                                test_support::expected_winapi_text(ERROR_NO_SUCH_LOGON_SESSION),
                            ERROR_NO_SUCH_LOGON_SESSION};
    struct Case {
        const char* name;
        std::function<UniqueHandle()> token;
        Answers answers;
        std::optional<Maintainer> expected;
        Failure error;
    };
    const std::vector<Case> cases = {
        {"Administrators enabled: an elevated administrator",
         enabled_token,
         {TokenElevationTypeFull, std::nullopt, std::nullopt},
         Maintainer::Administrator,
         {}},
        {"LocalSystem, as a deployment tool runs msiexec: Administrators enabled, no linked "
         "token",
         enabled_token,
         {TokenElevationTypeDefault, std::nullopt, std::nullopt},
         Maintainer::Administrator,
         {}},
        {"limited, linked to a token with Administrators enabled",
         [] { return denying(WinBuiltinAdministratorsSid); },
         {TokenElevationTypeLimited, false, true},
         Maintainer::LinkedAdministrator,
         {}},
        {"limited, linked to a token without Administrators",
         [] { return denying(WinBuiltinAdministratorsSid); },
         {TokenElevationTypeLimited, false, false},
         Maintainer::Refused,
         {}},
        {"limited and restricted, linked to a token with Administrators enabled",
         [] { return denying(WinBuiltinAdministratorsSid); },
         {TokenElevationTypeLimited, true, std::nullopt},
         Maintainer::Refused,
         {}},
        {"Administrators deny-only in a copy of an elevated token, linked to the limited one",
         [] { return denying(WinBuiltinAdministratorsSid); },
         {TokenElevationTypeFull, std::nullopt, std::nullopt},
         Maintainer::Refused,
         {}},
        {"a standard user; or Administrators deny-only, no linked token",
         [] { return denying(WinBuiltinAdministratorsSid); },
         {TokenElevationTypeDefault, std::nullopt, std::nullopt},
         Maintainer::Refused,
         {}},
        {"limited, its linked token cannot be read",
         [] { return denying(WinBuiltinAdministratorsSid); },
         {TokenElevationTypeLimited, false, std::nullopt, no_linked},
         std::nullopt,
         no_linked},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const UniqueHandle token = c.token();
        expect_decision(maintainer(token.get(), stand_in(c.answers)), c.expected, c.error);
    }
}

// The system's readers on real tokens. Wine has no restricted tokens: it reads no
// restricting SIDs (TokenRestrictedSids fails with ERROR_INVALID_FUNCTION) and
// CheckTokenMembership ignores them, so there the reader of restriction stands in, and
// the restricted token is tested on Windows alone (the kit).
TEST(Maintainer, ReadsTheElevationAndTheLinkedTokenOfRealTokens) {
    const bool wine = test_support::running_under_wine();
    ElevationReaders readers;
    if (wine) {
        readers.restricted = [](HANDLE) -> Result<bool> { return false; };
    }
    struct Case {
        const char* name;
        std::function<UniqueHandle()> make;
        bool given;   // given to the check, else worn by the thread and nullptr given
        bool linked;  // made from the linked token, which may be missing
        bool windows_only;
        Maintainer expected;
    };
    const std::vector<Case> cases = {
        {"this process's token", enabled_token, true, false, false, Maintainer::Administrator},
        {"this process's token, Administrators deny-only",
         [] { return denying(WinBuiltinAdministratorsSid); }, true, false, false,
         Maintainer::Refused},
        {"the linked token, Administrators deny-only, given", [] { return linked_denying(); }, true,
         true, false, Maintainer::LinkedAdministrator},
        {"the linked token, Administrators deny-only, worn by the thread",
         [] { return linked_denying(); }, false, true, false, Maintainer::LinkedAdministrator},
        {"the linked token, restricted to Users",
         [] { return linked_denying({WinBuiltinUsersSid}); }, true, true, true,
         Maintainer::Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.windows_only && wine) {
            continue;
        }
        const UniqueHandle token = c.make();
        if (c.linked && !token) {
            ASSERT_FALSE(wine) << "Wine links a limited token to every full one";
            std::cout << "skipped: this process's token has no linked token\n";
            continue;
        }
        ASSERT_TRUE(token);
        const Worn worn(c.given ? nullptr : token.get());
        const Result<Maintainer> decided = maintainer(c.given ? token.get() : nullptr, readers);
        ASSERT_TRUE(decided) << decided.error();
        EXPECT_EQ(decided.value(), c.expected);
    }
}

}  // namespace
}  // namespace korvan::msi
