#pragma once

// A pipe as a byte stream for the frame functions (proto/frame.h), every read and write
// bounded by one deadline: the client's side of the control pipe, and the tests' and
// stand-ins' servers. The service drives its own instances (pipe/listener.h).

#include <windows.h>

#include <cstdint>

#include "common/result.h"
#include "win/deadline.h"

namespace korvan::win {

// Borrows both handles and the deadline. `pipe` is opened for overlapped I/O (on one
// that is not, each call waits for its end, whatever the deadline); `event` is a
// manual-reset event. Each read and write waits for its completion until the deadline
// and is cancelled then; no write begins once the deadline has passed. A failure carries
// its system error (ERROR_OPERATION_ABORTED for a call the deadline cancelled or kept
// from beginning) in the Windows API form, and the stream keeps what it was.
struct BoundedPipe {
    HANDLE pipe;
    HANDLE event;
    const Deadline& deadline;
    // The last failed call's error, and whether the deadline ended it.
    DWORD error = ERROR_SUCCESS;
    bool timed_out = false;
    // Bytes moved by the calls that succeeded.
    std::uint64_t moved = 0;
    // Whether a write has begun: its bytes may have reached the pipe even when it was
    // cancelled.
    bool began_writing = false;
};

Result<std::uint32_t> read_some(BoundedPipe& stream, std::uint8_t* into, std::uint32_t count);
Result<std::uint32_t> write_some(BoundedPipe& stream, const std::uint8_t* from,
                                 std::uint32_t count);

}  // namespace korvan::win
