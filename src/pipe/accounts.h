#pragma once

// Who a client of the pipe is, for the limit on the instances one account may hold: the
// user of its process's token. A session is no account (one user can hold several, and
// every service shares session 0), and neither is the impersonation token the caller
// check sees, which the client chooses.

#include <windows.h>

#include <string>

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

// A client's process id to its account: process_account, or a stand-in.
using ClientAccount = Account (*)(DWORD process_id);

}  // namespace korvan::pipe
