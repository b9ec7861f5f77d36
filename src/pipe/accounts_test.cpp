// The account a client's process counts as, read from the process for real.

#include "pipe/accounts.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "win/handle.h"

namespace korvan::pipe {
namespace {

TEST(ProcessAccount, IsTheUserSidOfTheProcessTokenOrTheSharedAccount) {
    win::UniqueHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    alignas(TOKEN_USER) std::uint8_t user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size));
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    const Account own(static_cast<const char*>(sid), GetLengthSid(sid));

    EXPECT_EQ(process_account(GetCurrentProcessId()), own);
    // No process has id 0 to open, nor an id that is not a multiple of 4.
    EXPECT_EQ(process_account(0), Account{});
    EXPECT_EQ(process_account(0xFFFFFFFD), Account{});
}

}  // namespace
}  // namespace korvan::pipe
