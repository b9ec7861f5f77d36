#pragma once

// Ending the recorded core and telling whether it still runs.

#include <windows.h>

#include "core/core_state.h"

namespace korvan::core {

// The exit code a terminated core is given.
inline constexpr UINT TERMINATED_EXIT_CODE = 1;

// How long to wait for a core after its termination, whether the termination succeeded
// or failed. The wait runs with the supervisor's lock held and in the service's stop,
// so it must end even when the process never does.
inline constexpr DWORD BOUNDED_WAIT_MS = 5000;

// Ends the recorded core and empties the record: terminates the process and waits for
// it at most `wait_ms`, closes its thread handle, then closes the job (which ends
// whatever else runs inside it, the core too if it outlived the wait) and clears both
// ports. The caller holds the supervisor's lock. Never fails; a termination that fails
// is dropped. Termination is asynchronous: a core that had not ended within the wait
// still runs, or has its image mapped, and its process handle is returned so that the
// caller can wait for its end; otherwise no handle.
win::UniqueHandle stop_core(CoreState& state, DWORD wait_ms = BOUNDED_WAIT_MS);

// Ends a started core that will not be recorded, which no later stop could reach:
// terminates it and waits for it at most `wait_ms`. Whether it ended within the wait.
// Failures are dropped.
bool end_unrecorded(HANDLE process, DWORD wait_ms = BOUNDED_WAIT_MS);

// Whether the recorded core is still running; never waits. False for an empty record
// and on any failure. The caller holds the supervisor's lock.
bool core_running(const CoreState& state);

}  // namespace korvan::core
