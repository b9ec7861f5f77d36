#include "ctl/exchange.h"

#include <string>

#include "proto/frame.h"
#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::ctl {

namespace {

// The pipe as a byte stream for the frame functions, each read and write bounded by
// the deadline.
struct BoundedPipe {
    HANDLE pipe;
    HANDLE event;
    const Deadline* deadline;
    // What the last failed transfer reported.
    DWORD error = ERROR_SUCCESS;
    bool timed_out = false;
    std::uint64_t moved = 0;
};

// Runs one overlapped ReadFile or WriteFile, started by `start`, to its end.
template <class Start>
Result<std::uint32_t> transfer(BoundedPipe& stream, Start start) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = stream.event;
    bool cancelled = false;
    if (!start(&overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            stream.error = error;
            return Failure{win::winapi_error_text(error)};
        }
        if (WaitForSingleObject(stream.event, remaining_ms(*stream.deadline)) != WAIT_OBJECT_0) {
            // The operation still uses `overlapped` and the buffer: it is cancelled, and
            // GetOverlappedResult below waits for it to end before they go away. It may
            // also have completed in between, and then counts.
            CancelIoEx(stream.pipe, &overlapped);
            cancelled = true;
        }
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(stream.pipe, &overlapped, &moved, TRUE)) {
        const DWORD error = GetLastError();
        stream.error = error;
        stream.timed_out = cancelled && error == ERROR_OPERATION_ABORTED;
        return Failure{win::winapi_error_text(error)};
    }
    stream.moved += moved;
    return std::uint32_t{moved};
}

Result<std::uint32_t> read_some(BoundedPipe& stream, std::uint8_t* into, std::uint32_t count) {
    return transfer(stream, [&](OVERLAPPED* overlapped) {
        return ReadFile(stream.pipe, into, count, nullptr, overlapped);
    });
}

Result<std::uint32_t> write_some(BoundedPipe& stream, const std::uint8_t* from,
                                 std::uint32_t count) {
    return transfer(stream, [&](OVERLAPPED* overlapped) {
        return WriteFile(stream.pipe, from, count, nullptr, overlapped);
    });
}

std::string within(const Deadline& deadline) {
    return " within " + std::to_string(deadline.seconds) + " s";
}

}  // namespace

Result<std::vector<std::uint8_t>> exchange(HANDLE client, std::span<const std::uint8_t> body,
                                           const Deadline& deadline) {
    win::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const DWORD event_error = GetLastError();
    if (!event) {
        return win::winapi_failure("CreateEventW", event_error);
    }
    BoundedPipe stream{client, event.get(), &deadline};

    if (Result<void> sent = proto::write_frame(stream, body); !sent) {
        if (stream.timed_out) {
            return Failure{"send request: the server took no request" + within(deadline)};
        }
        return prefixed("send request", sent.failure());
    }

    stream.moved = 0;
    Result<std::vector<std::uint8_t>> reply = proto::read_frame(stream);
    if (!reply) {
        if (stream.timed_out) {
            return Failure{"read reply: no answer" + within(deadline)};
        }
        // The server's end closing shows as a read of no bytes or as ERROR_BROKEN_PIPE.
        if (reply.error() == proto::PIPE_CLOSED || stream.error == ERROR_BROKEN_PIPE ||
            stream.error == ERROR_PIPE_NOT_CONNECTED) {
            return Failure{stream.moved == 0
                               ? "read reply: the connection closed without an answer"
                               : "read reply: the connection closed in the middle of the answer"};
        }
        return prefixed("read reply", reply.failure());
    }
    return reply;
}

}  // namespace korvan::ctl
