#pragma once

// The control pipe as a byte stream for the frame functions: synchronous ReadFile
// and WriteFile on a connected pipe handle, without OVERLAPPED.

#include <windows.h>

#include <cstdint>

#include "common/result.h"

namespace korvan::pipe {

// Borrows the handle; the listener owns it.
struct PipeStream {
    HANDLE pipe;
};

// Failures carry the system error in the Windows API form.
Result<std::uint32_t> read_some(PipeStream& stream, std::uint8_t* into, std::uint32_t count);
Result<std::uint32_t> write_some(PipeStream& stream, const std::uint8_t* from, std::uint32_t count);

}  // namespace korvan::pipe
