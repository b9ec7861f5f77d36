#include "pipe/pipe_stream.h"

#include "win/error_text.h"

namespace korvan::pipe {

namespace {

// One overlapped ReadFile or WriteFile, started by `start` and bounded by the
// stream's deadline.
template <class Start>
Completion overlapped_call(PipeStream& stream, Start start) {
    OVERLAPPED overlapped{};
    // ReadFile and WriteFile reset the event themselves when they begin.
    overlapped.hEvent = stream.io_event;
    if (!start(&overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return Completion{error, 0};
        }
    }
    // Also for a call that completed at once: only GetOverlappedResult gives its
    // count on an overlapped handle.
    return complete_overlapped(stream.pipe, overlapped, stream.deadline);
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

Completion complete_overlapped(HANDLE pipe, OVERLAPPED& overlapped, std::uint64_t deadline) {
    // A call that has already completed is not waited for: under Wine every wait is a
    // round trip to the server, and most reads and writes on the pipe complete at once.
    if (!HasOverlappedIoCompleted(&overlapped) &&
        WaitForSingleObject(overlapped.hEvent, remaining_ms(deadline)) != WAIT_OBJECT_0) {
        // The call may complete between the wait and the cancel; either way the
        // blocking GetOverlappedResult below returns once it has ended, and the
        // OVERLAPPED stays in use until then.
        CancelIoEx(pipe, &overlapped);
    }
    DWORD count = 0;
    if (!GetOverlappedResult(pipe, &overlapped, &count, TRUE)) {
        const DWORD error = GetLastError();
        return Completion{error, count};
    }
    return Completion{ERROR_SUCCESS, count};
}

Result<std::uint32_t> read_some(PipeStream& stream, std::uint8_t* into, std::uint32_t count) {
    if (stream.io_event == nullptr) {
        DWORD got = 0;
        if (!ReadFile(stream.pipe, into, count, &got, nullptr)) {
            const DWORD error = GetLastError();
            return Failure{win::winapi_error_text(error)};
        }
        return std::uint32_t{got};
    }
    const Completion done = overlapped_call(stream, [&](OVERLAPPED* overlapped) {
        return ReadFile(stream.pipe, into, count, nullptr, overlapped);
    });
    if (done.error != ERROR_SUCCESS) {
        return Failure{win::winapi_error_text(done.error)};
    }
    return std::uint32_t{done.count};
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
    const Completion done = overlapped_call(stream, [&](OVERLAPPED* overlapped) {
        return WriteFile(stream.pipe, from, count, nullptr, overlapped);
    });
    if (done.error != ERROR_SUCCESS) {
        return Failure{win::winapi_error_text(done.error)};
    }
    return std::uint32_t{done.count};
}

}  // namespace korvan::pipe
