#pragma once

// The core supervisor: the one record of the hosted core, and the lock that guards it.
// The control pipe's requests and the service's stop handling reach the core only
// through it.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "core/core_state.h"
#include "core/launch.h"

namespace korvan::core {

// The text of a start refused once the service's stop has begun.
inline constexpr std::string_view SERVICE_STOPPING = "service is stopping";

// What a status request reports: whether the recorded core runs, and its ports when it
// does (absent otherwise, also for a core that has exited but is still recorded).
struct CoreStatus {
    bool running = false;
    std::optional<std::uint16_t> mixed_port;
    std::optional<std::uint16_t> ctl_port;
};

// Shared by the service thread and the control handler. The record has a lock of its
// own, held only for short, bounded work on the record (the old core's end included,
// at most BOUNDED_WAIT_MS); a start's file work runs outside it, so the service's stop
// never waits on files that other accounts can open. Start and stop requests are also
// serialized among themselves. None of the operations holds a lock when it returns.
// Destroying the supervisor closes what the record still holds (see CoreState).
class Supervisor {
  public:
    // Everything of a launch up to a core that is in its job and not yet running, with
    // the install folder's files the supervisor holds.
    using Launch = Result<LaunchedCore> (*)(InstallFiles& install, std::string_view config_yaml);

    // `install` is the install folder's files as held at the service's start
    // (open_install_files), or an empty record for the first start to fill. The
    // supervisor owns it for its life, and each start holds what is still missing.
    // `launch` is start_core_suspended unless a test stands in for it.
    explicit Supervisor(InstallFiles install = {}, Launch launch = start_core_suspended);

    // Ends any recorded core (stop_core), running or exited, then launches a new one
    // and records it with the two ports. A failed launch leaves the record empty and
    // yields its text. Once shut_down has begun, nothing is launched and nothing is
    // resumed: the answer is "service is stopping", and a core created by then is ended
    // before it has run.
    Result<void> start(std::string_view config_yaml, std::uint16_t mixed_port,
                       std::uint16_t ctl_port);

    // Ends the recorded core, if any, and empties the record (stop_core).
    void stop();

    // Whether the recorded core runs, without waiting for it (core_running).
    CoreStatus status();

    // The service's stop: from now on no start launches a core, and the recorded core
    // is ended. It waits for the record's lock, never for a start's file work, and for
    // the core at most BOUNDED_WAIT_MS.
    void shut_down();

    // Closes the install folder's two files, so that an installer can replace them
    // once the service has stopped. Waits for a start under way to end; the next start
    // would hold them again.
    void release_install_files();

    // Waits at most `bound_ms` for every core that a stop terminated and that had not
    // ended within its own wait (stop_core). Whether none of them still runs.
    bool await_outlived_cores(DWORD bound_ms);

  private:
    friend struct SupervisorProbe;

    // With lock_ held.
    void keep_outlived(win::UniqueHandle core);

    // Taken before lock_ when both are held.
    std::mutex requests_;
    std::mutex lock_;
    CoreState record_;
    bool stopping_ = false;
    // Under lock_: terminated cores that had not ended when their stop returned.
    std::vector<win::UniqueHandle> outlived_;
    // Used by starts alone, under requests_.
    InstallFiles install_;
    Launch launch_;
};

}  // namespace korvan::core
