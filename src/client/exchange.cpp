#include "client/exchange.h"

#include <string>

#include "proto/frame.h"
#include "win/error_text.h"
#include "win/handle.h"
#include "win/overlapped_io.h"

namespace korvan::client {

namespace {

// The pipe as a byte stream for the frame functions, each read and write bounded by
// the deadline; no write begins once it has passed.
struct BoundedPipe {
    HANDLE pipe;
    HANDLE event;
    const Deadline& deadline;
    // What the last failed transfer reported.
    DWORD error = ERROR_SUCCESS;
    bool timed_out = false;
    std::uint64_t moved = 0;
    // Whether a write has been begun: its bytes may have reached the pipe even when it
    // is cancelled.
    bool began_writing = false;
};

Result<std::uint32_t> counted(BoundedPipe& stream, const win::IoOutcome& done) {
    if (done.error != ERROR_SUCCESS) {
        stream.error = done.error;
        stream.timed_out = done.timed_out;
        return Failure{win::winapi_error_text(done.error)};
    }
    stream.moved += done.count;
    return std::uint32_t{done.count};
}

Result<std::uint32_t> read_some(BoundedPipe& stream, std::uint8_t* into, std::uint32_t count) {
    return counted(stream, win::read_overlapped(stream.pipe, stream.event, into, count,
                                                stream.deadline.tick_deadline()));
}

Result<std::uint32_t> write_some(BoundedPipe& stream, const std::uint8_t* from,
                                 std::uint32_t count) {
    // A write on a pipe completes at once whenever the pipe's buffer takes the bytes,
    // whatever time is left: the deadline is looked at first.
    if (stream.deadline.passed()) {
        return counted(stream, win::IoOutcome{ERROR_OPERATION_ABORTED, 0, true});
    }
    stream.began_writing = true;
    return counted(stream, win::write_overlapped(stream.pipe, stream.event, from, count,
                                                 stream.deadline.tick_deadline()));
}

std::string within(const Deadline& deadline) {
    return " within " + deadline.span_text();
}

Failure with_error(Failure failure, DWORD error) {
    failure.system_error = error;
    return failure;
}

}  // namespace

Failure timed_out_before_sending(const Deadline& deadline) {
    return Failure{
        "send request: the timeout of " + deadline.span_text() + " passed before anything was sent",
        ERROR_TIMEOUT};
}

Result<std::vector<std::uint8_t>> exchange(HANDLE client, std::span<const std::uint8_t> body,
                                           const Deadline& deadline) {
    win::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const DWORD event_error = GetLastError();
    if (!event) {
        return win::winapi_failure("CreateEventW", event_error);
    }
    BoundedPipe stream{client, event.get(), deadline};

    if (Result<void> sent = proto::write_frame(stream, body); !sent) {
        if (stream.timed_out && !stream.began_writing) {
            return timed_out_before_sending(deadline);
        }
        if (stream.timed_out) {
            return Failure{"send request: the server took no request" + within(deadline),
                           ERROR_TIMEOUT};
        }
        return with_error(prefixed("send request", sent.failure()), stream.error);
    }

    stream.moved = 0;
    Result<std::vector<std::uint8_t>> reply = proto::read_frame(stream);
    if (!reply) {
        if (stream.timed_out) {
            return Failure{"read reply: no answer" + within(deadline), ERROR_TIMEOUT};
        }
        // The server's end closing shows as a read of no bytes or as ERROR_BROKEN_PIPE.
        if (reply.error() == proto::PIPE_CLOSED || stream.error == ERROR_BROKEN_PIPE ||
            stream.error == ERROR_PIPE_NOT_CONNECTED) {
            return Failure{stream.moved == 0
                               ? "read reply: the connection closed without an answer"
                               : "read reply: the connection closed in the middle of the answer",
                           ERROR_BROKEN_PIPE};
        }
        return with_error(prefixed("read reply", reply.failure()), stream.error);
    }
    return reply;
}

}  // namespace korvan::client
