#pragma once

// Reads and writes on a handle opened for overlapped I/O, each bounded by a deadline:
// a time on GetTickCount64's clock.

#include <windows.h>

#include <cstdint>

namespace korvan::win {

// A deadline that never passes.
inline constexpr std::uint64_t NO_DEADLINE = UINT64_MAX;

// Milliseconds left until `deadline`: 0 once it has passed, INFINITE for NO_DEADLINE.
DWORD remaining_ms(std::uint64_t deadline);

// How one overlapped call ended.
struct IoOutcome {
    // ERROR_SUCCESS, or the error the call failed or ended with, as GetLastError()
    // gave it.
    DWORD error = ERROR_SUCCESS;
    // The bytes it moved.
    DWORD count = 0;
    // Cancelled because the deadline passed first; `error` is then
    // ERROR_OPERATION_ABORTED. A call that completed between the wait and the cancel
    // counts as completed.
    bool timed_out = false;
};

// One ReadFile or WriteFile of up to `count` bytes on `handle`, with `event` (a
// manual-reset event) in its OVERLAPPED. It is waited for until `deadline`; still
// pending then, it is cancelled, and waited for until it has ended, so that the buffer
// is no longer in use when these return. Both handles are borrowed.
IoOutcome read_overlapped(HANDLE handle, HANDLE event, void* into, DWORD count,
                          std::uint64_t deadline);
IoOutcome write_overlapped(HANDLE handle, HANDLE event, const void* from, DWORD count,
                           std::uint64_t deadline);

}  // namespace korvan::win
