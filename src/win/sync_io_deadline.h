#pragma once

// Bounds blocking calls that have no time-out of their own, such as FlushFileBuffers
// on a pipe: while armed, once the deadline has passed, the owning thread's pending
// synchronous I/O is cancelled with CancelSynchronousIo and every I/O on the armed
// handle with CancelIoEx, and the call fails with ERROR_OPERATION_ABORTED.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/result.h"
#include "win/handle.h"

namespace korvan::win {

struct ThreadpoolTimerTraits {
    using Raw = PTP_TIMER;
    static Raw empty() { return nullptr; }
    static bool valid(Raw t) { return t != nullptr; }
    // No callback runs, or is still running, once the timer is closed.
    static void close(Raw t) {
        SetThreadpoolTimer(t, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(t, TRUE);
        CloseThreadpoolTimer(t);
    }
};
using UniqueThreadpoolTimer = Unique<ThreadpoolTimerTraits>;

// What the timer cancels. It stays at one address for the timer's life, however the
// SyncIoDeadline that owns it is moved.
struct CancelTargets {
    // The owning thread, with the THREAD_TERMINATE access CancelSynchronousIo needs.
    UniqueHandle thread;
    // The handle of the armed call; borrowed, and only used while armed.
    std::atomic<HANDLE> io{nullptr};
};

// Owned by the thread whose calls it bounds, and used only on that thread.
struct SyncIoDeadline {
    std::unique_ptr<CancelTargets> targets;
    // Declared last so that it closes first, while `targets` still exists.
    UniqueThreadpoolTimer timer;
};

// For the calling thread. Errors: "{call}: {Windows API error}".
Result<SyncIoDeadline> make_sync_io_deadline();

// From `deadline` (GetTickCount64's clock) on, and until disarmed, the owning thread's
// synchronous I/O and every I/O on `io`, from any thread, are cancelled; the cancel is
// repeated every few milliseconds, so a call that starts just after the deadline is
// cancelled too. `io` must stay open until disarm has returned.
void arm(SyncIoDeadline& bound, std::uint64_t deadline, HANDLE io);

// After it returns, no cancel is made or in progress.
void disarm(SyncIoDeadline& bound);

}  // namespace korvan::win
