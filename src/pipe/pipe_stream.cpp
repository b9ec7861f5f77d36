#include "pipe/pipe_stream.h"

#include "win/error_text.h"

namespace korvan::pipe {

namespace {

Result<std::uint32_t> moved(const win::IoOutcome& done) {
    if (done.error != ERROR_SUCCESS) {
        return Failure{win::winapi_error_text(done.error)};
    }
    return std::uint32_t{done.count};
}

}  // namespace

Result<std::uint32_t> read_some(PipeStream& stream, std::uint8_t* into, std::uint32_t count) {
    if (stream.io_event == nullptr) {
        DWORD got = 0;
        if (!ReadFile(stream.pipe, into, count, &got, nullptr)) {
            const DWORD error = GetLastError();
            return Failure{win::winapi_error_text(error)};
        }
        return std::uint32_t{got};
    }
    return moved(win::read_overlapped(stream.pipe, stream.io_event, into, count, stream.deadline));
}

Result<std::uint32_t> write_some(PipeStream& stream, const std::uint8_t* from,
                                 std::uint32_t count) {
    if (stream.io_event == nullptr) {
        DWORD put = 0;
        if (!WriteFile(stream.pipe, from, count, &put, nullptr)) {
            const DWORD error = GetLastError();
            return Failure{win::winapi_error_text(error)};
        }
        return std::uint32_t{put};
    }
    return moved(win::write_overlapped(stream.pipe, stream.io_event, from, count, stream.deadline));
}

}  // namespace korvan::pipe
