#include "win/sync_io_deadline.h"

#include "win/error_text.h"

namespace korvan::win {

namespace {

constexpr DWORD REPEAT_MS = 5;

void CALLBACK cancel_io(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER) {
    auto& targets = *static_cast<CancelTargets*>(context);
    // Both fail with ERROR_NOT_FOUND when nothing is pending; the timer fires again.
    CancelSynchronousIo(targets.thread.get());
    // Windows does not say whether a blocking call on a handle opened for overlapped
    // I/O, such as FlushFileBuffers on the pipe, counts as the thread's synchronous
    // I/O; CancelIoEx reaches it either way.
    CancelIoEx(targets.io.load(), nullptr);
}

}  // namespace

Result<SyncIoDeadline> make_sync_io_deadline() {
    SyncIoDeadline bound;
    bound.targets = std::make_unique<CancelTargets>();
    HANDLE thread = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                         THREAD_TERMINATE, FALSE, 0)) {
        const DWORD error = GetLastError();
        return winapi_failure("DuplicateHandle", error);
    }
    bound.targets->thread.reset(thread);
    bound.timer.reset(CreateThreadpoolTimer(cancel_io, bound.targets.get(), nullptr));
    if (!bound.timer) {
        const DWORD error = GetLastError();
        return winapi_failure("CreateThreadpoolTimer", error);
    }
    return bound;
}

void arm(SyncIoDeadline& bound, std::uint64_t deadline, HANDLE io) {
    bound.targets->io.store(io);
    const std::uint64_t now = GetTickCount64();
    const std::uint64_t wait_ms = deadline > now ? deadline - now : 1;
    // A negative due time is relative, in 100 ns units.
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(wait_ms * 10'000));
    FILETIME due_time{due.LowPart, due.HighPart};
    SetThreadpoolTimer(bound.timer.get(), &due_time, REPEAT_MS, 0);
}

void disarm(SyncIoDeadline& bound) {
    SetThreadpoolTimer(bound.timer.get(), nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(bound.timer.get(), TRUE);
    bound.targets->io.store(nullptr);
}

}  // namespace korvan::win
