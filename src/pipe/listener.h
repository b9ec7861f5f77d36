#pragma once

// The control pipe: every instance of its name held by the service while it runs, the
// exchanges of all of them driven by one thread, and their requests handled one at a
// time by another (requests.h).

#include <windows.h>

#include <aclapi.h>

#include <string_view>

#include "common/names.h"
#include "common/result.h"
#include "core/supervisor.h"
#include "log/service_log.h"
#include "pipe/accounts.h"
#include "pipe/authorize.h"
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
// The pause before the name, or instances someone else took, are tried for again.
inline constexpr DWORD CREATE_RETRY_MS = 500;
// The pause before an instance that would not listen for a client tries again.
inline constexpr DWORD LISTEN_RETRY_MS = 500;
// The pause before answers that could not be taken, as memory ran out, are tried again.
inline constexpr DWORD ANSWERS_RETRY_MS = 100;
// At a stop, how long a client whose answer is written has to read it and close its
// end before its instance is disconnected all the same.
inline constexpr DWORD AFTER_ANSWER_MS = 1000;

// How long one client may take over its own part of an exchange: sending its request,
// waiting for its turn in line, and reading the answer and closing its end. Time its
// request spends queued or handled does not count.
inline constexpr DWORD EXCHANGE_BUDGET_MS = 10'000;
// How many requests of one account may be queued or handled at once. A further whole
// frame of the account waits in line, on its client's budget, until one is answered.
inline constexpr DWORD ACCOUNT_REQUESTS = 2;
// How many calls that complete at once one connection may make in one turn, before the
// other connections and the stop are looked at again.
inline constexpr int STEPS_PER_TURN = 4;

inline constexpr std::string_view SDDL_CONVERT_STEP = "SDDL convert";
inline constexpr std::string_view SECURITY_INIT_LOG_PREFIX = "pipe security init failed: ";
inline constexpr std::string_view CREATE_PIPE_FAILED_LOG = "CreateNamedPipeW failed";
inline constexpr std::string_view PIPE_NAME_HELD_LOG = "pipe name held by another process";
// "pipe security: SetSecurityInfo: {Windows API error}": the pipe's descriptor could
// not be set; tried again every CREATE_RETRY_MS.
inline constexpr std::string_view SET_SECURITY_LOG_PREFIX = "pipe security: SetSecurityInfo: ";

// Creates a pipe instance: CreateNamedPipeW, or a stand-in with its contract.
using CreatePipeInstance = HANDLE(WINAPI*)(LPCWSTR name, DWORD open_mode, DWORD pipe_mode,
                                           DWORD max_instances, DWORD out_buffer_size,
                                           DWORD in_buffer_size, DWORD default_time_out,
                                           LPSECURITY_ATTRIBUTES security);

// Sets the DACL of the pipe an instance belongs to: SetSecurityInfo, or a stand-in with
// its contract.
using SetPipeSecurity = DWORD(WINAPI*)(HANDLE handle, SE_OBJECT_TYPE type,
                                       SECURITY_INFORMATION what, PSID owner, PSID group, PACL dacl,
                                       PACL sacl);

// The pipe's security descriptor from PIPE_SDDL, owned by the caller (LocalFree).
// Error: "SDDL convert: {Windows API error}".
Result<win::UniqueLocal> build_pipe_security();

// The descriptor the pipe has while the listener makes instances: a protected DACL that
// grants everything to the calling process's user (LocalSystem, for the service) and
// nothing to anyone else, owned by the caller (LocalFree). A pipe has one descriptor,
// against which every creation of an instance is checked. Errors: "OpenProcessToken:
// {}", "GetTokenInformation: {}", "ConvertSidToStringSidW: {}", "SDDL convert: {}", each
// with the Windows API error.
Result<win::UniqueLocal> build_closed_pipe_security();

// What the listener is made of. Every member but the bound is a system call, or where
// something is read or written, that a test may stand in for.
struct ListenerParts {
    DWORD exchange_budget_ms = EXCHANGE_BUDGET_MS;
    CreatePipeInstance create = CreateNamedPipeW;
    SetPipeSecurity set_security = SetSecurityInfo;
    CallerAccount account = caller_account;
    // How the caller check impersonates a client.
    Impersonation impersonate = impersonate_pipe_client;
    PolicySource policy = {};
    // DisconnectNamedPipe.
    BOOL(WINAPI* disconnect)(HANDLE pipe) = DisconnectNamedPipe;
    // The listener's own log lines.
    void (*log)(std::string_view line) = log::write_log;
    // Told, as the listener lets its instances go, how many of their calls were still
    // pending then; none, whatever ended the listener.
    void (*released)(size_t pending_calls) = nullptr;
};

// Serves clients on PIPE_NAME until `stop` is set or its event is signalled. Returns at
// once, after the log line "pipe security init failed: {}", when the descriptor cannot
// be built.
//
// Every instance is made under build_closed_pipe_security's descriptor, so that no one
// else can make one meanwhile; only once the round of creations is over does the pipe
// get PIPE_SDDL's DACL, which clients see. Before a later round the descriptor is
// closed again. A client that opens the pipe in between is refused
// (ERROR_ACCESS_DENIED).
//
// The first instance is created with FILE_FLAG_FIRST_PIPE_INSTANCE, so that the service
// never serves under a name that someone else created (whose security and limits the
// first instance fixed); while that fails, the listener logs "pipe name held by another
// process" (the name has an instance that is not the listener's) or "CreateNamedPipeW
// failed", and tries again every CREATE_RETRY_MS. Then it creates the other instances
// at once, up to PIPE_INSTANCES, and keeps every one of them until it returns: after an
// exchange it disconnects the instance and listens on it again. No other process can
// then create an instance, and the name is never free. An instance that someone else
// took (a process of the listener's own user, since no one else may) costs the listener
// that instance: it serves with those it has, logs "CreateNamedPipeW failed" once, and
// tries again for the rest every CREATE_RETRY_MS.
//
// Each connected client has its own exchange (exchange.h), driven by one thread through
// a completion port. A connection makes at most STEPS_PER_TURN calls that complete at
// once in one turn; its next one waits behind every other connection's, so that none
// can keep the others, the deadlines or the stop waiting. Each client has
// EXCHANGE_BUDGET_MS for its own part; a read or write still pending at its end is
// cancelled, and a frame still waiting in line is dropped unanswered.
//
// A ping (answer_at_once) is answered on that thread. Other requests are handled one at
// a time on a thread of their own (requests.h), the accounts taking turns; an account
// has at most ACCOUNT_REQUESTS queued or handled, and its further frames wait in line in
// the order they came. A connection's account is parts.account's answer for its caller
// once the caller check has admitted it; until then it counts with every other
// connection not yet identified.
// While fewer than SHORT_OF_INSTANCES instances listen, a connection beyond its
// account's first ACCOUNT_INSTANCES that waits on its client or in line ends once
// OVER_LIMIT_GRACE_MS have passed since its phase began (accounts.h). A client that has
// read its answer is disconnected when it closes its end.
//
// The flag is looked at before the first instance is created; the stop event ends
// every wait at once: for a client to send, for a write, and a pause. The listener then
// lets the request in hand finish and writes its answer when its instance takes it at
// once, and handles no other request. A client whose answer is written has
// AFTER_ANSWER_MS to read it and close its end. Then every instance is disconnected
// (which discards an answer still unread) and closed, so that no client keeps the name
// from the next start. Whatever ends it, no instance, buffer or OVERLAPPED goes while a
// call on it is pending.
void run_pipe_listener(const win::StopFlag& stop, core::Supervisor& supervisor,
                       const ListenerParts& parts = {});

}  // namespace korvan::pipe
