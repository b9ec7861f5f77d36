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
#include "win/overlapped_io.h"

namespace korvan::pipe {

// Borrows both handles; the listener owns them.
struct PipeStream {
    HANDLE pipe;
    // A manual-reset event for overlapped calls, or null for synchronous ones.
    HANDLE io_event = nullptr;
    // On GetTickCount64's clock (win/overlapped_io.h).
    std::uint64_t deadline = win::NO_DEADLINE;
};

// Failures carry the system error in the Windows API form.
Result<std::uint32_t> read_some(PipeStream& stream, std::uint8_t* into, std::uint32_t count);
Result<std::uint32_t> write_some(PipeStream& stream, const std::uint8_t* from, std::uint32_t count);

}  // namespace korvan::pipe
