#pragma once

// The core supervisor: the one record of the hosted core, and the lock that guards it.
// The control pipe's requests and the service's stop handling reach the core only
// through it.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/result.h"
#include "core/core_state.h"

namespace korvan::core {

// What a status request reports: whether the recorded core runs, and its ports when it
// does (absent otherwise, also for a core that has exited but is still recorded).
struct CoreStatus {
    bool running = false;
    std::optional<std::uint16_t> mixed_port;
    std::optional<std::uint16_t> ctl_port;
};

// Shared by the service thread and the control handler. Each operation holds the lock
// for its whole work on the record, and none holds it when it returns. Destroying the
// supervisor closes what the record still holds (see CoreState).
class Supervisor {
  public:
    // Ends any recorded core (stop_core), running or exited, then launches a new one
    // (start_core) and records it with the two ports. A failed launch leaves the record
    // empty and yields start_core's text. The lock is held throughout, the old core's
    // end and the whole launch included.
    Result<void> start(std::string_view config_yaml, std::uint16_t mixed_port,
                       std::uint16_t ctl_port);

    // Ends the recorded core, if any, and empties the record (stop_core).
    void stop();

    // Whether the recorded core runs, without waiting for it (core_running).
    CoreStatus status();

  private:
    friend struct SupervisorProbe;

    std::mutex lock_;
    CoreState record_;
};

}  // namespace korvan::core
