#pragma once

// Who a client of the pipe is, and how many instances one account may hold while the
// pipe runs short of listening instances.
//
// The account is the user of the token the caller check takes from the client by
// impersonating it (ImpersonateNamedPipeClient, OpenThreadToken): the identity Windows
// gives the connection, which no process id, handle passed on or token DACL changes. A
// client chooses the level of impersonation it allows, not the user: a process without
// SeImpersonatePrivilege that impersonates another user's token gets identification
// level at most, and cannot open the pipe with it. A session is no account (one user
// can hold several, and every service shares session 0).

#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvan::pipe {

// The user SID's bytes. Empty while a connection's caller has not been checked yet: a
// client that opened the pipe with the platform's defaults cannot be impersonated
// before the service has read some of what it wrote. All connections not yet
// identified count as one account.
using Account = std::string;

// The user of `token` (TOKEN_QUERY): TokenUser. Empty when it cannot be read.
Account token_account(HANDLE token);

// The account of the admitted caller of `pipe`, whose token is `token`, both borrowed:
// token_account of the token.
Account caller_account(HANDLE pipe, HANDLE token);

// How the listener finds an admitted caller's account: caller_account, or a stand-in.
using CallerAccount = Account (*)(HANDLE pipe, HANDLE token);

// How many instances one account may hold, in any phase of their exchanges, once the
// pipe runs short of listening instances.
inline constexpr std::uint32_t ACCOUNT_INSTANCES = 4;
// The pipe runs short when fewer instances than this are listening for a client.
inline constexpr std::uint32_t SHORT_OF_INSTANCES = 8;
// While the pipe runs short, a connection over its account's limit ends unless it
// finishes the phase it is in within this from the phase's start.
inline constexpr std::uint64_t OVER_LIMIT_GRACE_MS = 250;

// One connected instance, as the limit sees it.
struct HeldInstance {
    std::string_view account;
    // When it connected, in the listener's count: an account's earlier connections are
    // the ones within its limit.
    std::uint64_t order = 0;
    // Whether it waits on its client or on its turn in line (sending its request,
    // waiting in line, taking its answer), which a limit may end; a request queued or
    // being handled is never ended.
    bool waits_on_client = true;
    // When its current phase began, on GetTickCount64's clock.
    std::uint64_t phase_since = 0;
};

// What the limit decides at one moment.
struct LimitVerdict {
    // How many of the instances it marked to end.
    size_t ended = 0;
    // The earliest time a grace that is running out now ends; UINT64_MAX for none.
    std::uint64_t next_end = UINT64_MAX;
};

// While fewer than SHORT_OF_INSTANCES instances listen, each connection of an account
// beyond its ACCOUNT_INSTANCES earliest, and waiting on its client, is marked in `end`
// (by the index of `held`) once OVER_LIMIT_GRACE_MS have passed since its phase began.
// Nothing that has started is ever given more: a grace runs from its phase's start,
// however often the pipe stops and starts running short. `end` has held.size()
// entries, each set or left as it is.
LimitVerdict limit_accounts(std::span<const HeldInstance> held, size_t listening, std::uint64_t now,
                            std::span<bool> end);

}  // namespace korvan::pipe
