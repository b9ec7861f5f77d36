#pragma once

// The service's record of its hosted core.

#include <cstdint>
#include <mutex>
#include <optional>

#include "win/handle.h"

namespace korvan::core {

// Shared through std::shared_ptr by the service thread and the control handler.
// `lock` guards the four fields: every read and change happens with it held. The
// fields are filled together after a launch and emptied together by stop_core.
//
// The record owns the handles it holds. Destroying it closes the core's process and
// thread handles without terminating the process, and then the job handle; the job's
// kill-on-close limit ends every process still inside it.
struct CoreState {
    std::mutex lock;
    // Declared first so that it closes last.
    win::UniqueHandle job;
    std::optional<win::UniqueProcess> child;
    std::optional<std::uint16_t> mixed_port;
    std::optional<std::uint16_t> ctl_port;
};

}  // namespace korvan::core
