#pragma once

// The control pipe: one client after another, until the service stops, under a name
// that the service holds from its first instance on.

#include <windows.h>

#include <string_view>

#include "common/names.h"
#include "common/result.h"
#include "core/supervisor.h"
#include "pipe/exchange.h"
#include "win/handle.h"
#include "win/stop_flag.h"

namespace korvan::pipe {

inline constexpr const wchar_t* PIPE_NAME = names::PIPE_NAME;
// Read and write for LocalSystem, Administrators and interactive users; nobody else
// can open the pipe.
inline constexpr wchar_t PIPE_SDDL[] = L"D:(A;;GRGW;;;SY)(A;;GRGW;;;BA)(A;;GRGW;;;IU)";
inline constexpr DWORD PIPE_MAX_INSTANCES = 4;
inline constexpr DWORD PIPE_BUFFER_SIZE = 65536;
// The pause after a failed instance creation.
inline constexpr DWORD CREATE_RETRY_MS = 500;

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

// Serves clients on PIPE_NAME on the calling thread, one at a time, until `stop` is set
// or its event is signalled. Returns at once, after the log line "pipe security init
// failed: {}", when the descriptor cannot be built.
//
// While it holds no instance of its own, the listener creates one with
// FILE_FLAG_FIRST_PIPE_INSTANCE, so that it never serves under a name that someone else
// created (and whose security and limits the first instance fixed). From then on it
// creates each next instance before it disconnects and closes the one it has served, so
// that the name never goes free while it runs: at most two of its instances exist at
// once. A creation that fails is logged, "pipe name held by another process" when the
// name has an instance that is not the listener's and "CreateNamedPipeW failed"
// otherwise; the listener then closes what it holds and pauses for CREATE_RETRY_MS
// before it tries again with a first instance.
//
// The flag is looked at before every client; the wait for a client and the pause both
// end when the event is signalled, and the listener then closes its instances and
// returns without any further client, whatever it saw of the flag. A client that has
// connected before the event is signalled is served. Each client's exchange is given
// `exchange_budget_ms` from when the listener turns to it.
//
// `create` stands in for CreateNamedPipeW in tests.
void run_pipe_listener(const win::StopFlag& stop, core::Supervisor& supervisor,
                       DWORD exchange_budget_ms = EXCHANGE_BUDGET_MS,
                       CreatePipeInstance create = CreateNamedPipeW);

}  // namespace korvan::pipe
