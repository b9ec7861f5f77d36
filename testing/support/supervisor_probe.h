#pragma once

// What a test may see of the core supervisor beyond its operations: the lock, to hold
// it as another request would, and the record, to look at or to fill.

#include <mutex>
#include <vector>

#include "core/supervisor.h"

namespace korvan::core {

struct SupervisorProbe {
    static std::timed_mutex& lock(Supervisor& supervisor) { return supervisor.lock_; }
    static CoreState& record(Supervisor& supervisor) { return supervisor.record_; }
    // Terminated cores not yet seen to end; under the lock.
    static std::vector<win::UniqueHandle>& outlived(Supervisor& supervisor) {
        return supervisor.outlived_;
    }
};

}  // namespace korvan::core
