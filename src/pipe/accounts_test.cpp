// The account a caller counts as, read from a real token, and the limit on the
// instances one account may hold.

#include "pipe/accounts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "win/handle.h"

namespace korvan::pipe {
namespace {

TEST(TokenAccount, IsTheUserSidOfTheTokenOrNotYetIdentified) {
    win::UniqueHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    alignas(TOKEN_USER) std::uint8_t user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size));
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    const Account own(static_cast<const char*>(sid), GetLengthSid(sid));

    EXPECT_EQ(token_account(token.get()), own);
    EXPECT_EQ(caller_account(nullptr, token.get()), own);
    // A handle that is no token.
    const win::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(token_account(event.get()), Account{});
}

// An instance in a table row: its account, its connection's order, whether it waits on
// its client (false: its request is queued or handled), and its phase's start.
struct Row {
    const char* account;
    std::uint64_t order;
    bool waits_on_client;
    std::uint64_t phase_since;
};

struct LimitCase {
    const char* name;
    std::vector<Row> held;
    size_t listening;
    std::uint64_t now;
    // The orders of the instances ended.
    std::vector<std::uint64_t> ended;
    std::uint64_t next_end;
};

// Four of one account waiting on their clients since `since`, connected 1 to 4.
std::vector<Row> four_of(const char* account, bool waiting = true, std::uint64_t since = 0) {
    return {{account, 1, waiting, since},
            {account, 2, waiting, since},
            {account, 3, waiting, since},
            {account, 4, waiting, since}};
}

std::vector<Row> plus(std::vector<Row> rows, const std::vector<Row>& more) {
    rows.insert(rows.end(), more.begin(), more.end());
    return rows;
}

TEST(LimitAccounts, EndsAnAccountsNewestConnectionsOnceTheGraceOfTheirPhaseHasPassed) {
    // ACCOUNT_INSTANCES is 4, SHORT_OF_INSTANCES 8 and OVER_LIMIT_GRACE_MS 250.
    const LimitCase cases[] = {
        {"no limit while 8 listen",
         plus(four_of("a"), {{"a", 5, true, 0}, {"a", 6, true, 0}}),
         8,
         1000,
         {},
         UINT64_MAX},
        {"the two newest, once short",
         plus(four_of("a"), {{"a", 5, true, 0}, {"a", 6, true, 0}}),
         7,
         250,
         {5, 6},
         UINT64_MAX},
        {"within their grace",
         plus(four_of("a"), {{"a", 5, true, 0}, {"a", 6, true, 100}}),
         0,
         249,
         {},
         250},
        {"each grace runs from its own phase's start",
         plus(four_of("a"), {{"a", 5, true, 100}, {"a", 6, true, 0}}),
         0,
         300,
         {6},
         350},
        {"a phase that began long before the pipe ran short has no grace left",
         plus(four_of("a"), {{"a", 5, true, 0}}),
         7,
         10'000,
         {5},
         UINT64_MAX},
        {"newest by order, wherever it stands",
         {{"a", 9, true, 0},
          {"a", 2, true, 0},
          {"a", 7, true, 0},
          {"a", 3, true, 0},
          {"a", 1, true, 0}},
         0,
         300,
         {9},
         UINT64_MAX},
        {"queued and handled requests count, and are never ended",
         plus(four_of("a", false), {{"a", 5, false, 0}, {"a", 6, true, 0}}),
         0,
         300,
         {6},
         UINT64_MAX},
        {"the earliest four are kept whatever they wait on",
         plus(four_of("a", true, 0), {{"a", 5, false, 0}}),
         0,
         300,
         {},
         UINT64_MAX},
        {"accounts are counted apart", plus(four_of("a"), four_of("b")), 0, 300, {}, UINT64_MAX},
        {"the shared account of unreadable processes is one account",
         plus(four_of(""), {{"", 5, true, 0}, {"b", 6, true, 0}}),
         0,
         300,
         {5},
         UINT64_MAX},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<HeldInstance> held;
        for (const Row& row : c.held) {
            held.push_back(
                HeldInstance{row.account, row.order, row.waits_on_client, row.phase_since});
        }
        bool marks[64] = {};
        const LimitVerdict verdict =
            limit_accounts(held, c.listening, c.now, std::span<bool>(marks, held.size()));
        std::vector<std::uint64_t> ended;
        for (size_t i = 0; i < held.size(); ++i) {
            if (marks[i]) {
                ended.push_back(held[i].order);
            }
        }
        EXPECT_EQ(ended, c.ended);
        EXPECT_EQ(verdict.ended, c.ended.size());
        EXPECT_EQ(verdict.next_end, c.next_end);
    }
}

TEST(LimitAccounts, LeavesMarksItDoesNotSet) {
    const std::vector<HeldInstance> held = {{"a", 1, true, 0}, {"a", 2, true, 0}};
    bool marks[2] = {true, false};
    limit_accounts(held, 0, 1000, marks);
    EXPECT_TRUE(marks[0]);
    EXPECT_FALSE(marks[1]);
}

}  // namespace
}  // namespace korvan::pipe
