#pragma once

// The control pipe: one instance at a time, one client after another, until the
// service stops.

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

// The pipe's security descriptor from PIPE_SDDL, owned by the caller (LocalFree).
// Error: "SDDL convert: {Windows API error}".
Result<win::UniqueLocal> build_pipe_security();

// Serves clients on PIPE_NAME on the calling thread until `stop` is set or its event
// is signalled. Returns at once, after the log line "pipe security init failed: {}",
// when the descriptor cannot be built. The flag is looked at before every instance;
// the wait for a client and the CREATE_RETRY_MS pause after a failed instance creation
// (logged "CreateNamedPipeW failed") both end when the event is signalled, and the
// listener then returns without any further client, whatever it saw of the flag. A
// client that has connected before the event is signalled is served, within
// `exchange_budget_ms` as every client.
void run_pipe_listener(const win::StopFlag& stop, core::Supervisor& supervisor,
                       DWORD exchange_budget_ms = EXCHANGE_BUDGET_MS);

}  // namespace korvan::pipe
