#pragma once

// Bounds blocking calls that have no time-out of their own, such as FlushFileBuffers
// on a pipe: while armed, once the deadline has passed, the owning thread's pending
// synchronous I/O is cancelled with CancelSynchronousIo, and the call fails with
// ERROR_OPERATION_ABORTED.

#include <windows.h>

#include <cstdint>

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

// Owned by the thread whose calls it bounds, and used only on that thread.
struct SyncIoDeadline {
    // The owning thread, with the THREAD_TERMINATE access CancelSynchronousIo needs.
    UniqueHandle thread;
    // Declared last so that it closes first, while `thread` is still open.
    UniqueThreadpoolTimer timer;
};

// For the calling thread. Errors: "{call}: {Windows API error}".
Result<SyncIoDeadline> make_sync_io_deadline();

// From `deadline` (GetTickCount64's clock) on, and until disarmed, the owning thread's
// synchronous I/O is cancelled; the cancel is repeated every few milliseconds, so a
// call that starts just after the deadline is cancelled too.
void arm(SyncIoDeadline& bound, std::uint64_t deadline);

// After it returns, no cancel is made or in progress.
void disarm(SyncIoDeadline& bound);

}  // namespace korvan::win
