#include "core/supervise.h"

#include <utility>

namespace korvan::core {

namespace {

// Whether the process has ended or is surely ending. Windows refuses to terminate a
// process that has already ended with ERROR_ACCESS_DENIED; a zero wait then tells an
// ended process from one that was refused and still runs, which counts as a failure:
// waiting for it without limit could hold the state lock for ever.
bool terminate(HANDLE process) {
    if (TerminateProcess(process, TERMINATED_EXIT_CODE)) {
        return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED || WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD exit_code = 0;
    return GetExitCodeProcess(process, &exit_code) != FALSE;
}

}  // namespace

void stop_core(CoreState& state) {
    if (std::optional<win::UniqueProcess> child = std::exchange(state.child, std::nullopt)) {
        const bool terminated = terminate(child->process.get());
        WaitForSingleObject(child->process.get(), terminated ? INFINITE : BOUNDED_WAIT_MS);
        child.reset();
    }
    // Last: closing the job ends anything the core started, and a core that could not
    // be terminated.
    state.job.reset();
    state.mixed_port.reset();
    state.ctl_port.reset();
}

bool core_running(const CoreState& state) {
    return state.child && WaitForSingleObject(state.child->process.get(), 0) == WAIT_TIMEOUT;
}

}  // namespace korvan::core
