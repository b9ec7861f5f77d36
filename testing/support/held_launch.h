#pragma once

// A launch of the core that stops at its file work until the test lets it go on, for
// the supervisor's launch seam, and a thread that runs one piece of work.

#include <windows.h>

#include <atomic>
#include <string_view>
#include <thread>

#include "core/launch.h"
#include "win/handle.h"

namespace korvan::test_support {

// What the held launch shares with the test. The launch is a plain function, so it
// reaches this through a global: one HeldLaunch at a time.
struct HeldLaunch {
    HeldLaunch();
    // Lets a held launch go on, and any later one through at once.
    ~HeldLaunch();
    HeldLaunch(const HeldLaunch&) = delete;
    HeldLaunch& operator=(const HeldLaunch&) = delete;

    // Signalled once a launch has begun.
    win::UniqueHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // Set by the test to let the launch go on.
    win::UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // A second handle on the core the launch created, to look at it afterwards.
    win::UniqueHandle process;
    std::atomic<int> calls{0};
};

// A core::Supervisor::Launch: signals `entered`, waits for `release`, then runs
// start_core_suspended and keeps a handle on the core it created.
Result<core::LaunchedCore> launch_when_released(core::InstallFiles& install,
                                                std::string_view config_yaml);

// Runs `work` on a thread of its own, joined at the end of the scope.
class Background {
  public:
    template <class Work>
    explicit Background(Work work)
        : thread_([this, work] {
              work();
              SetEvent(done_.get());
          }) {}
    ~Background() { thread_.join(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Whether the work has returned within `timeout_ms`.
    bool done_within(DWORD timeout_ms) const {
        return WaitForSingleObject(done_.get(), timeout_ms) == WAIT_OBJECT_0;
    }

  private:
    win::UniqueHandle done_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread thread_;
};

}  // namespace korvan::test_support
