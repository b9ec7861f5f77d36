#include "pipe/pipe_stream.h"

#include "win/error_text.h"

namespace korvan::pipe {

Result<std::uint32_t> read_some(PipeStream& stream, std::uint8_t* into, std::uint32_t count) {
    DWORD got = 0;
    if (!ReadFile(stream.pipe, into, count, &got, nullptr)) {
        const DWORD error = GetLastError();
        return Failure{win::winapi_error_text(error)};
    }
    return std::uint32_t{got};
}

Result<std::uint32_t> write_some(PipeStream& stream, const std::uint8_t* from,
                                 std::uint32_t count) {
    DWORD put = 0;
    if (!WriteFile(stream.pipe, from, count, &put, nullptr)) {
        const DWORD error = GetLastError();
        return Failure{win::winapi_error_text(error)};
    }
    return std::uint32_t{put};
}

}  // namespace korvan::pipe
