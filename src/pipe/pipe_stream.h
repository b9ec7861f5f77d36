#pragma once

// The control pipe as a byte stream for the frame functions.
//
// Without an I/O event the stream makes plain synchronous ReadFile and WriteFile
// calls. With one, the handle must have been opened for overlapped I/O: each call
// then waits for its completion only until `deadline`, cancels the call when it
// passes, and fails with ERROR_OPERATION_ABORTED in the Windows API form.

#include <windows.h>

#include <cstdint>

#include "common/result.h"

namespace korvan::pipe {

// A deadline on GetTickCount64's clock; NO_DEADLINE waits without limit.
inline constexpr std::uint64_t NO_DEADLINE = UINT64_MAX;

// Milliseconds left until `deadline`: 0 once it has passed, INFINITE for NO_DEADLINE.
DWORD remaining_ms(std::uint64_t deadline);

// Borrows both handles; the listener owns them.
struct PipeStream {
    HANDLE pipe;
    // A manual-reset event for overlapped calls, or null for synchronous ones.
    HANDLE io_event = nullptr;
    std::uint64_t deadline = NO_DEADLINE;
};

// Failures carry the system error in the Windows API form.
Result<std::uint32_t> read_some(PipeStream& stream, std::uint8_t* into, std::uint32_t count);
Result<std::uint32_t> write_some(PipeStream& stream, const std::uint8_t* from, std::uint32_t count);

// Waits for an overlapped call on `pipe` that has returned ERROR_IO_PENDING, until
// `deadline`; a call still pending then is cancelled. Returns the count it moved, or
// the error it ended with (ERROR_OPERATION_ABORTED when cancelled).
struct Completion {
    DWORD error = ERROR_SUCCESS;
    DWORD count = 0;
};
Completion complete_overlapped(HANDLE pipe, OVERLAPPED& overlapped, std::uint64_t deadline);

}  // namespace korvan::pipe
