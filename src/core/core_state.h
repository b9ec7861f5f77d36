#pragma once

// The record of the hosted core, kept by the Supervisor (supervisor.h) under its lock.

#include <cstdint>
#include <optional>

#include "win/handle.h"

namespace korvan::core {

// The four fields are filled together after a launch and emptied together by
// stop_core. The record owns the handles it holds: destroying it closes the core's
// process and thread handles without terminating the process, and then the job
// handle, whose kill-on-close limit ends every process still inside it.
struct CoreState {
    // Declared first so that it closes last.
    win::UniqueHandle job;
    std::optional<win::UniqueProcess> child;
    std::optional<std::uint16_t> mixed_port;
    std::optional<std::uint16_t> ctl_port;
};

}  // namespace korvan::core
