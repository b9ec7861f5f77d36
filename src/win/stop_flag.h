#pragma once

// A request to stop, shared by the thread that raises it and the thread that serves
// until it: a flag to look at between steps, and a manual-reset event to wait on
// together with other work.

#include <windows.h>

#include <atomic>
#include <memory>
#include <utility>

#include "win/handle.h"

namespace korvan::win {

class StopFlag {
  public:
    // Owns `event`, a manual-reset event that is not signalled.
    explicit StopFlag(UniqueHandle event) : event_(std::move(event)) {}

    // From now on is_set() is true. Does not signal the event.
    void set() { set_.store(true); }
    // Signals the event; it stays signalled. Called after set(): a waiter that wakes
    // on the event may return at once, and one that does not wait sees the flag.
    void signal() const { SetEvent(event_.get()); }

    bool is_set() const { return set_.load(); }
    // To wait on; signalled once signal() has been called. Owned by the flag.
    HANDLE event() const { return event_.get(); }

  private:
    std::atomic<bool> set_{false};
    UniqueHandle event_;
};

// A flag not set, with its event not signalled. Null when the event cannot be made;
// GetLastError() then holds CreateEventW's error.
inline std::shared_ptr<StopFlag> make_stop_flag() {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        return nullptr;
    }
    return std::make_shared<StopFlag>(std::move(event));
}

}  // namespace korvan::win
