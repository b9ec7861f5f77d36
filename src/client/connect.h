#pragma once

// Opening the client end of the control pipe within a deadline.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "win/handle.h"

namespace korvan::client {

// One bound for the whole exchange, from the first attempt to open the pipe to the
// last byte of the reply: the deadline on GetTickCount64's clock (win/overlapped_io.h),
// and the milliseconds it was set from, which the error texts name.
struct Deadline {
    std::uint64_t end_tick = 0;
    std::uint64_t ms = 0;
};

Deadline deadline_in_ms(std::uint64_t ms);

// How the error texts name the deadline's span: "10 s" for whole seconds, else
// "1500 ms".
std::string span_text(const Deadline& deadline);

// Opens the client end of the pipe `name` (UTF-8, \\.\pipe\...) for reading and
// writing with overlapped I/O. The server may identify the caller but not act as it.
// While every instance is busy it waits with WaitNamedPipeW; while the pipe does not
// exist (the service starting, or a server between two instances) it tries again
// shortly; both until the deadline. The caller owns the handle.
// Errors, each after "connect {name}: ", with their system error:
//   "the pipe does not exist (is the service running?)", ERROR_FILE_NOT_FOUND
//   "every instance of the pipe stayed busy for {span}", ERROR_PIPE_BUSY, also when it
//   was missing at the end after having been busy
//   "CreateFileW: {system error}"
Result<win::UniqueHandle> open_pipe(std::string_view name, const Deadline& deadline);

}  // namespace korvan::client
