#pragma once

// Who a client of the pipe is, and how many instances one account may hold while the
// pipe runs short of listening instances.
//
// The account is the user of the client's process's token. A session is no account
// (one user can hold several, and every service shares session 0), and neither is the
// impersonation token the caller check sees, which the client chooses.

#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvan::pipe {

// The user SID's bytes. Empty for a process that cannot be opened or read: all such
// processes count as one shared account.
using Account = std::string;

// The account of the process `process_id` (GetNamedPipeClientProcessId): OpenProcess
// with PROCESS_QUERY_LIMITED_INFORMATION, OpenProcessToken with TOKEN_QUERY, TokenUser.
// Empty when any step fails. The accounts of the last 32 processes read are
// remembered, each with a handle kept open on its process so that its id cannot pass
// to another process meanwhile: a client that connects again costs no more system
// calls.
Account process_account(DWORD process_id);

// The account of the client connected to `pipe` (borrowed): process_account of its
// process id.
Account connection_account(HANDLE pipe);

// How the listener finds a connection's account: connection_account, or a stand-in.
using ConnectionAccount = Account (*)(HANDLE pipe);

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
