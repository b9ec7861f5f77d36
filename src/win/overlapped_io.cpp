#include "win/overlapped_io.h"

namespace korvan::win {

namespace {

// Waits for a call on `handle` that has been started with `overlapped`, until
// `deadline`.
IoOutcome complete(HANDLE handle, OVERLAPPED& overlapped, std::uint64_t deadline) {
    bool cancelled = false;
    // A call that has already completed is not waited for: under Wine every wait is a
    // round trip to the server, and most reads and writes on a pipe complete at once.
    if (!HasOverlappedIoCompleted(&overlapped) &&
        WaitForSingleObject(overlapped.hEvent, remaining_ms(deadline)) != WAIT_OBJECT_0) {
        // The call may complete between the wait and the cancel; either way the
        // blocking GetOverlappedResult below returns once it has ended, and the
        // OVERLAPPED and the buffer stay in use until then.
        CancelIoEx(handle, &overlapped);
        cancelled = true;
    }
    DWORD count = 0;
    if (!GetOverlappedResult(handle, &overlapped, &count, TRUE)) {
        const DWORD error = GetLastError();
        return IoOutcome{error, count, cancelled && error == ERROR_OPERATION_ABORTED};
    }
    return IoOutcome{ERROR_SUCCESS, count, false};
}

// Runs one call started by `start`, which returns what ReadFile or WriteFile does.
template <class Start>
IoOutcome bounded_call(HANDLE handle, HANDLE event, std::uint64_t deadline, Start start) {
    OVERLAPPED overlapped{};
    // ReadFile and WriteFile reset the event themselves when they begin.
    overlapped.hEvent = event;
    if (!start(&overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return IoOutcome{error, 0, false};
        }
    }
    // Also for a call that completed at once: only GetOverlappedResult gives its
    // count on an overlapped handle.
    return complete(handle, overlapped, deadline);
}

}  // namespace

DWORD remaining_ms(std::uint64_t deadline) {
    if (deadline == NO_DEADLINE) {
        return INFINITE;
    }
    const std::uint64_t now = GetTickCount64();
    if (now >= deadline) {
        return 0;
    }
    const std::uint64_t left = deadline - now;
    return left < INFINITE ? static_cast<DWORD>(left) : INFINITE - 1;
}

IoOutcome read_overlapped(HANDLE handle, HANDLE event, void* into, DWORD count,
                          std::uint64_t deadline) {
    return bounded_call(handle, event, deadline, [&](OVERLAPPED* overlapped) {
        return ReadFile(handle, into, count, nullptr, overlapped);
    });
}

IoOutcome write_overlapped(HANDLE handle, HANDLE event, const void* from, DWORD count,
                           std::uint64_t deadline) {
    return bounded_call(handle, event, deadline, [&](OVERLAPPED* overlapped) {
        return WriteFile(handle, from, count, nullptr, overlapped);
    });
}

}  // namespace korvan::win
