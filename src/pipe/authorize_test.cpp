// The caller check on tokens made here. Wine gives every process the same token,
// which holds both Administrators and INTERACTIVE, and ImpersonateNamedPipeClient
// there gives the server its own token, so a caller in neither group cannot be made
// over a real pipe: the decision is tested on restricted tokens with the groups
// disabled, the rejection of a real impersonated client with a decision that looks at
// such a token, and the rejection path of the exchange through its verdict.

#include "pipe/authorize.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/pipe_client.h"
#include "support/test_support.h"
#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::pipe {
namespace {

using win::UniqueHandle;

std::vector<BYTE> well_known(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid.data(), &size));
    return sid;
}

UniqueHandle process_token() {
    UniqueHandle token;
    EXPECT_TRUE(OpenProcessToken(
        GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, token.put()));
    return token;
}

UniqueHandle impersonation_token(const std::vector<WELL_KNOWN_SID_TYPE>& disabled) {
    UniqueHandle token(test_support::impersonation_token_denying(disabled));
    EXPECT_TRUE(token);
    return token;
}

// A byte the client writes and the server reads: on Windows, ImpersonateNamedPipeClient
// needs something read from a client before it can take its context.
void read_a_byte_of_the_client(const test_support::PipePair& pair) {
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(pair.client.get(), "x", 1, &put, nullptr));
    char byte = 0;
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(pair.server.get(), &byte, 1, &got, nullptr));
}

TEST(CallerAdmitted, DecidesByAdministratorsThenInteractive) {
    struct Case {
        const char* name;
        std::vector<WELL_KNOWN_SID_TYPE> disabled;
        bool admitted;
    };
    const std::vector<Case> cases = {
        {"both groups", {}, true},
        {"not an administrator, interactive", {WinBuiltinAdministratorsSid}, true},
        {"administrator, not interactive", {WinInteractiveSid}, true},
        {"neither", {WinBuiltinAdministratorsSid, WinInteractiveSid}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const UniqueHandle token = impersonation_token(c.disabled);
        const Result<void> verdict = caller_admitted(token.get());
        EXPECT_EQ(verdict.ok(), c.admitted);
        if (!c.admitted) {
            EXPECT_EQ(verdict.error(), "caller not administrator/interactive");
        }
    }
}

TEST(CallerAdmitted, AFailedMembershipTestCountsAsNotAMember) {
    // CheckTokenMembership refuses a primary token (ERROR_NO_IMPERSONATION_TOKEN), so
    // both tests fail although the token holds both groups.
    const UniqueHandle primary = process_token();
    BOOL member = TRUE;
    std::vector<BYTE> admins = well_known(WinBuiltinAdministratorsSid);
    ASSERT_FALSE(CheckTokenMembership(primary.get(), admins.data(), &member));
    const Result<void> verdict = caller_admitted(primary.get());
    ASSERT_FALSE(verdict.ok());
    EXPECT_EQ(verdict.error(), "caller not administrator/interactive");
}

bool thread_impersonates() {
    UniqueHandle token;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        return true;
    }
    const DWORD error = GetLastError();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_TOKEN));
    return false;
}

// What the decisions below saw; a decision is a plain function and carries nothing.
struct DecisionSeen {
    bool impersonating = false;
    bool decided = false;
    HANDLE neither_group = nullptr;
} decision_seen;

Result<void> decide_as_the_service(HANDLE token) {
    decision_seen.impersonating = thread_impersonates();
    return caller_admitted(token);
}

// The caller's token swapped for one in neither group, as Wine cannot give one.
Result<void> decide_on_neither_group(HANDLE) {
    decision_seen.impersonating = thread_impersonates();
    return caller_admitted(decision_seen.neither_group);
}

TEST(AuthorizeClient, RevertsWhateverTheVerdict) {
    const UniqueHandle neither =
        impersonation_token({WinBuiltinAdministratorsSid, WinInteractiveSid});
    decision_seen.neither_group = neither.get();
    struct Case {
        const char* name;
        AdmissionDecision decide;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {"admitted", decide_as_the_service, std::nullopt},
        {"in neither group", decide_on_neither_group, "caller not administrator/interactive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::PipePair pair = test_support::connected_pair();
        ASSERT_TRUE(pair.server.valid());
        ASSERT_TRUE(pair.client.valid());
        ASSERT_NO_FATAL_FAILURE(read_a_byte_of_the_client(pair));

        decision_seen.impersonating = false;
        const Result<void> verdict = authorize_client(pair.server.get(), c.decide).verdict;
        EXPECT_TRUE(decision_seen.impersonating);
        if (c.error) {
            ASSERT_FALSE(verdict.ok());
            EXPECT_EQ(verdict.error(), *c.error);
        } else {
            EXPECT_TRUE(verdict.ok()) << verdict.error();
        }
        const bool still_impersonating = thread_impersonates();
        EXPECT_FALSE(still_impersonating);
        if (still_impersonating) {
            RevertToSelf();
        }
    }
}

TEST(AuthorizeClient, AFailedImpersonationIsNamed) {
    // A handle that is not a pipe cannot be impersonated through.
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const Admission admission = authorize_client(event.get());
    ASSERT_FALSE(admission.verdict.ok());
    // The handle is of the wrong type: ERROR_INVALID_HANDLE, on Windows and Wine alike.
    EXPECT_EQ(admission.verdict.error(),
              "impersonate: " + win::winapi_error_text(ERROR_INVALID_HANDLE));
    EXPECT_EQ(admission.impersonation_error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(thread_impersonates());
}

DWORD cannot_impersonate_yet(HANDLE) {
    return ERROR_CANNOT_IMPERSONATE;
}

Result<void> decide_noting_the_call(HANDLE token) {
    decision_seen.decided = true;
    return caller_admitted(token);
}

TEST(AuthorizeClient, AFailedImpersonationEndsTheCheckWithItsError) {
    test_support::PipePair pair = test_support::connected_pair();
    ASSERT_TRUE(pair.server.valid());
    decision_seen.decided = false;

    const Admission admission =
        authorize_client(pair.server.get(), decide_noting_the_call, cannot_impersonate_yet);

    ASSERT_FALSE(admission.verdict.ok());
    EXPECT_EQ(admission.verdict.error(),
              "impersonate: " + win::winapi_error_text(ERROR_CANNOT_IMPERSONATE));
    EXPECT_EQ(admission.impersonation_error, static_cast<DWORD>(ERROR_CANNOT_IMPERSONATE));
    EXPECT_FALSE(decision_seen.decided);
    EXPECT_FALSE(thread_impersonates());
}

TEST(AuthorizeClient, AFailureAfterImpersonatingCarriesNoImpersonationError) {
    const UniqueHandle neither =
        impersonation_token({WinBuiltinAdministratorsSid, WinInteractiveSid});
    decision_seen.neither_group = neither.get();
    test_support::PipePair pair =
        test_support::connected_pair(0, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION);
    ASSERT_TRUE(pair.server.valid());

    const Admission admission = authorize_client(pair.server.get(), decide_on_neither_group);

    ASSERT_FALSE(admission.verdict.ok());
    EXPECT_EQ(admission.verdict.error(), "caller not administrator/interactive");
    EXPECT_EQ(admission.impersonation_error, static_cast<DWORD>(ERROR_SUCCESS));
}

// Windows only: the named-pipe file system impersonates the context of the last
// message read. A client with dynamic tracking (CreateFileW's default) has sent none
// before anything is read; a static one's context was taken when it opened the pipe.
// Wine impersonates every client at once.
TEST(ImpersonatePipeClient, BeforeAnyReadFailsForADefaultClientAndNotForAStaticOne) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine impersonates every client before anything is read";
    }
    struct Case {
        const char* name;
        DWORD client_flags;
        DWORD error;
    };
    const Case cases[] = {
        {"default flags", 0, ERROR_CANNOT_IMPERSONATE},
        {"static, identification level", SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
         ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::PipePair pair = test_support::connected_pair(0, c.client_flags);
        ASSERT_TRUE(pair.server.valid());
        ASSERT_TRUE(pair.client.valid());
        DWORD put = 0;
        ASSERT_TRUE(WriteFile(pair.client.get(), "x", 1, &put, nullptr));

        const DWORD error = impersonate_pipe_client(pair.server.get());

        if (error == ERROR_SUCCESS) {
            RevertToSelf();
        }
        EXPECT_EQ(error, c.error);
    }
}

// Windows only: an anonymous impersonation token cannot be opened, so such a caller is
// refused whatever its groups. Wine gives the server its own token.
TEST(AuthorizeClient, RefusesAnAnonymousClientAtItsToken) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine impersonates every client with the server's own token";
    }
    test_support::PipePair pair =
        test_support::connected_pair(0, SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS);
    ASSERT_TRUE(pair.server.valid());
    ASSERT_TRUE(pair.client.valid());
    ASSERT_NO_FATAL_FAILURE(read_a_byte_of_the_client(pair));

    const Admission admission = authorize_client(pair.server.get());

    ASSERT_FALSE(admission.verdict.ok());
    EXPECT_EQ(admission.verdict.error(),
              "OpenThreadToken: " + win::winapi_error_text(ERROR_CANT_OPEN_ANONYMOUS));
    EXPECT_FALSE(thread_impersonates());
}

}  // namespace
}  // namespace korvan::pipe
