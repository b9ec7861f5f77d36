#pragma once

// The core supervisor: the one record of the hosted core, and the lock that guards it.
// The control pipe's requests and the service's stop handling reach the core only
// through it.

#include <atomic>
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

// At the system's shutdown: how long the stop waits for the record's lock, and for the
// core it ends once it has the lock.
inline constexpr DWORD SHUTDOWN_LOCK_WAIT_MS = 1000;
inline constexpr DWORD SHUTDOWN_CORE_WAIT_MS = 500;

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

    // The service's stop at the system's shutdown, within the system's budget: from now
    // on no start launches a core; every process in the recorded core's job is ended at
    // once (TerminateJobObject), also while a request holds the record's lock (a start
    // waiting for its old core, say); then, if the lock is had within
    // SHUTDOWN_LOCK_WAIT_MS, the recorded core is ended as shut_down ends it, waiting for
    // it at most SHUTDOWN_CORE_WAIT_MS. Without the lock in time the record stays as it
    // is: the request that holds it sees the stop, and the job's kill-on-close ends
    // whatever the record still holds when the process exits.
    void shut_down_for_system_shutdown();

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
    // With lock_ held: stop_core on the record, waiting for the core at most `wait_ms`.
    void end_recorded(DWORD wait_ms);

    // Taken before lock_ when both are held.
    std::mutex requests_;
    std::timed_mutex lock_;
    CoreState record_;
    // Set under lock_, but by the system's shutdown also without it; starts read it
    // under lock_.
    std::atomic<bool> stopping_ = false;
    // A second handle on the recorded core's job, allowed to terminate it alone, for the
    // system's shutdown, which may not have lock_. Set and closed under lock_ and
    // job_lock_, together with the record's job; used under job_lock_ alone.
    std::mutex job_lock_;
    win::UniqueHandle job_terminator_;
    // Under lock_: terminated cores that had not ended when their stop returned.
    std::vector<win::UniqueHandle> outlived_;
    // Used by starts alone, under requests_.
    InstallFiles install_;
    Launch launch_;
};

}  // namespace korvan::core
