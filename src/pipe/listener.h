#pragma once

// The control pipe: every instance of its name held by the service while it runs, the
// exchanges of all of them driven by one thread, and their requests handled one at a
// time by another (requests.h).

#include <windows.h>

#include <string_view>

#include "common/names.h"
#include "common/result.h"
#include "core/supervisor.h"
#include "pipe/accounts.h"
#include "pipe/control_policy.h"
#include "win/handle.h"
#include "win/stop_flag.h"

namespace korvan::pipe {

inline constexpr const wchar_t* PIPE_NAME = names::PIPE_NAME;
// Read and write for LocalSystem, Administrators and interactive users; nobody else
// can open the pipe.
inline constexpr wchar_t PIPE_SDDL[] = L"D:(A;;GRGW;;;SY)(A;;GRGW;;;BA)(A;;GRGW;;;IU)";
// Every instance the name may have; the service creates and holds them all.
inline constexpr DWORD PIPE_INSTANCES = 32;
inline constexpr DWORD PIPE_BUFFER_SIZE = 65536;
// What WaitNamedPipe(NMPWAIT_USE_DEFAULT_WAIT) waits for an instance: longer than a
// start takes.
inline constexpr DWORD PIPE_DEFAULT_WAIT_MS = 5000;
// The pause before a failed instance creation is tried again.
inline constexpr DWORD CREATE_RETRY_MS = 500;

// How long one client may take over its own part of an exchange: sending its request,
// and reading the answer and closing its end. Time its request waits to be handled, or
// is handled, does not count.
inline constexpr DWORD EXCHANGE_BUDGET_MS = 10'000;
// How many instances one account may hold, in any phase of their exchanges, once the
// pipe runs short of listening instances.
inline constexpr DWORD ACCOUNT_INSTANCES = 4;
// The pipe runs short when fewer instances than this are listening for a client.
inline constexpr DWORD SHORT_OF_INSTANCES = 8;
// While the pipe runs short, an account's connection beyond its ACCOUNT_INSTANCES (the
// later ones it made) ends unless it finishes its current phase, sending its request or
// taking its answer, within this.
inline constexpr DWORD OVER_LIMIT_GRACE_MS = 250;

inline constexpr std::string_view SDDL_CONVERT_STEP = "SDDL convert";
inline constexpr std::string_view SECURITY_INIT_LOG_PREFIX = "pipe security init failed: ";
inline constexpr std::string_view CREATE_PIPE_FAILED_LOG = "CreateNamedPipeW failed";
inline constexpr std::string_view PIPE_NAME_HELD_LOG = "pipe name held by another process";

// Creates a pipe instance: CreateNamedPipeW, or a stand-in with its contract.
using CreatePipeInstance = HANDLE(WINAPI*)(LPCWSTR name, DWORD open_mode, DWORD pipe_mode,
                                           DWORD max_instances, DWORD out_buffer_size,
                                           DWORD in_buffer_size, DWORD default_time_out,
                                           LPSECURITY_ATTRIBUTES security);

// The pipe's security descriptor from PIPE_SDDL, owned by the caller (LocalFree).
// Error: "SDDL convert: {Windows API error}".
Result<win::UniqueLocal> build_pipe_security();

// What the listener is made of. Every member but the bound is a system call, or where
// something is read, that a test may stand in for.
struct ListenerParts {
    DWORD exchange_budget_ms = EXCHANGE_BUDGET_MS;
    CreatePipeInstance create = CreateNamedPipeW;
    ClientAccount account = process_account;
    PolicySource policy = {};
};

// Serves clients on PIPE_NAME until `stop` is set or its event is signalled. Returns at
// once, after the log line "pipe security init failed: {}", when the descriptor cannot
// be built.
//
// The first instance is created with FILE_FLAG_FIRST_PIPE_INSTANCE, so that the service
// never serves under a name that someone else created (whose security and limits the
// first instance fixed); while that fails, the listener logs "pipe name held by another
// process" (the name has an instance that is not the listener's) or "CreateNamedPipeW
// failed", and tries again every CREATE_RETRY_MS. Then it creates the other instances
// at once, up to PIPE_INSTANCES, and keeps every one of them until it returns: after an
// exchange it disconnects the instance and listens on it again. No other process can
// then create an instance, and the name is never free. An instance that someone else
// took in the moment between the first creation and the last costs the listener that
// instance: it serves with those it has, logs "CreateNamedPipeW failed" once, and tries
// again for the rest every CREATE_RETRY_MS.
//
// Each connected client has its own exchange (exchange.h); none waits on another. Each
// has EXCHANGE_BUDGET_MS for its own part; a read or write still pending at its end is
// cancelled, and so is one of a connection over its account's limit (ACCOUNT_INSTANCES,
// the account being parts.account's answer for the client's process id) whose grace has
// passed while the pipe runs short. A client that has read its answer is disconnected
// when it closes its end. Requests are handled one at a time, in the order their frames
// completed, on a thread of their own.
//
// The flag is looked at before the first instance is created; the stop event ends
// every wait at once: for a client, on a read or a write, for delivery, and a pause. The
// listener then lets the request in hand finish and writes its answer when its instance
// takes it at once, handles no other request, and closes every instance without
// disconnecting it, so that a client can still read an answer written to it.
void run_pipe_listener(const win::StopFlag& stop, core::Supervisor& supervisor,
                       const ListenerParts& parts = {});

}  // namespace korvan::pipe
