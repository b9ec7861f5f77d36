#include "core/supervise.h"

#include <utility>

namespace korvan::core {

win::UniqueHandle stop_core(CoreState& state, DWORD wait_ms) {
    win::UniqueHandle outlived;
    if (std::optional<win::UniqueProcess> child = std::exchange(state.child, std::nullopt)) {
        if (!end_unrecorded(child->process.get(), wait_ms)) {
            outlived = std::move(child->process);
        }
        child.reset();
    }
    // Last: closing the job ends anything the core started, and a core that could not
    // be terminated or outlived the wait.
    state.job.reset();
    state.mixed_port.reset();
    state.ctl_port.reset();
    return outlived;
}

bool end_unrecorded(HANDLE process, DWORD wait_ms) {
    TerminateProcess(process, TERMINATED_EXIT_CODE);
    return WaitForSingleObject(process, wait_ms) == WAIT_OBJECT_0;
}

bool core_running(const CoreState& state) {
    return state.child && WaitForSingleObject(state.child->process.get(), 0) == WAIT_TIMEOUT;
}

}  // namespace korvan::core
