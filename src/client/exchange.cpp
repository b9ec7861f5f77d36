#include "client/exchange.h"

#include <string>

#include "proto/frame.h"
#include "win/error_text.h"
#include "win/handle.h"
#include "win/pipe_stream.h"

namespace korvan::client {

namespace {

std::string within(const win::Deadline& deadline) {
    return " within " + deadline.span_text();
}

}  // namespace

Failure timed_out_before_sending(const win::Deadline& deadline) {
    return Failure{
        "send request: the timeout of " + deadline.span_text() + " passed before anything was sent",
        ERROR_TIMEOUT};
}

Result<std::vector<std::uint8_t>> exchange(HANDLE client, std::span<const std::uint8_t> body,
                                           const win::Deadline& deadline) {
    win::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const DWORD event_error = GetLastError();
    if (!event) {
        return win::winapi_failure("CreateEventW", event_error);
    }
    win::BoundedPipe stream{client, event.get(), deadline};

    if (Result<void> sent = proto::write_frame(stream, body); !sent) {
        if (stream.timed_out && !stream.began_writing) {
            return timed_out_before_sending(deadline);
        }
        if (stream.timed_out) {
            return Failure{"send request: the server took no request" + within(deadline),
                           ERROR_TIMEOUT};
        }
        return prefixed("send request", sent.failure());
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
        return prefixed("read reply", reply.failure());
    }
    return reply;
}

}  // namespace korvan::client
