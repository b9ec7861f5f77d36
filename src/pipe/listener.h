#pragma once

// The control pipe: one instance at a time, one client after another, until the
// service's stop flag is set.

#include <windows.h>

#include <atomic>
#include <string_view>

#include "common/names.h"
#include "common/result.h"
#include "core/core_state.h"
#include "pipe/exchange.h"
#include "win/handle.h"

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

// Serves clients on PIPE_NAME until `stop_flag` is set, on the calling thread. Returns
// at once, after the log line "pipe security init failed: {}", when the descriptor
// cannot be built. A failed instance creation logs "CreateNamedPipeW failed" and is
// retried after CREATE_RETRY_MS. The flag is looked at before every instance and again
// once the instance exists, before it waits for a client: a stop whose wake-up
// connection found no instance is still seen without any further client. Each client
// gets at most `exchange_budget_ms` for its exchange.
// Opens PIPE_NAME once and closes it, to end a listener's wait for a client after its
// stop flag was set. Every failure is ignored: a listener that is serving a client, or
// between instances, sees the flag without it.
void wake_listener();

void run_pipe_listener(const std::atomic<bool>& stop_flag, core::CoreState& state,
                       DWORD exchange_budget_ms = EXCHANGE_BUDGET_MS);

}  // namespace korvan::pipe
