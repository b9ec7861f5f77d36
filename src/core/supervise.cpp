#include "core/supervise.h"

#include <utility>

namespace korvan::core {

void stop_core(CoreState& state) {
    if (std::optional<win::UniqueProcess> child = std::exchange(state.child, std::nullopt)) {
        TerminateProcess(child->process.get(), TERMINATED_EXIT_CODE);
        WaitForSingleObject(child->process.get(), BOUNDED_WAIT_MS);
        child.reset();
    }
    // Last: closing the job ends anything the core started, and a core that could not
    // be terminated or outlived the wait.
    state.job.reset();
    state.mixed_port.reset();
    state.ctl_port.reset();
}

void end_unrecorded(HANDLE process) {
    TerminateProcess(process, TERMINATED_EXIT_CODE);
    WaitForSingleObject(process, BOUNDED_WAIT_MS);
}

bool core_running(const CoreState& state) {
    return state.child && WaitForSingleObject(state.child->process.get(), 0) == WAIT_TIMEOUT;
}

}  // namespace korvan::core
