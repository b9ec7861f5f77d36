#include "pipe/exchange.h"

#include <string>
#include <vector>

#include "log/service_log.h"
#include "pipe/authorize.h"
#include "proto/decode.h"
#include "pipe/dispatch.h"
#include "proto/encode.h"
#include "proto/frame.h"
#include "pipe/pipe_stream.h"
#include "win/overlapped_io.h"

namespace korvan::pipe {

namespace {

// DisconnectNamedPipe discards whatever the client has not read yet, so the listener
// may disconnect only once the response has been read. FlushFileBuffers on a pipe
// returns exactly then (or when the client has gone); it has no time-out of its own
// and blocks even on an overlapped handle, so the deadline cancels it.
void await_delivery(const ClientLink& link, std::uint64_t deadline) {
    if (link.delivery_bound == nullptr) {
        return;
    }
    win::arm(*link.delivery_bound, deadline, link.pipe);
    FlushFileBuffers(link.pipe);
    win::disarm(*link.delivery_bound);
}

proto::Response respond_to(std::vector<std::uint8_t>& body, core::Supervisor& supervisor) {
    Result<proto::Request> request = proto::decode_request(body);
    if (!request) {
        return proto::response::Error{std::string(proto::BAD_REQUEST),
                                      std::string(PARSE_PREFIX) + request.error()};
    }
    return handle_request(request.value(), supervisor);
}

}  // namespace

void serve_client(const ClientLink& link, core::Supervisor& supervisor, AdmissionDecision decide) {
    const Result<void> admitted = authorize_client(link.pipe, decide);
    if (!admitted) {
        log::write_log(std::string(REJECT_LOG_PREFIX) + admitted.error());
        return;
    }
    PipeStream stream{link.pipe, link.io_event, link.deadline};
    Result<std::vector<std::uint8_t>> body = proto::read_frame(stream);
    if (!body) {
        log::write_log(std::string(READ_FRAME_LOG_PREFIX) + body.error());
        return;
    }
    // The client is not waited on while its request is handled, so that time does
    // not count against it.
    const std::uint64_t handling_from = GetTickCount64();
    const proto::Response response = respond_to(body.value(), supervisor);
    // The request, a start's secret included, is not kept past its answer.
    body.value() = {};
    if (stream.deadline != win::NO_DEADLINE) {
        stream.deadline += GetTickCount64() - handling_from;
    }
    if (proto::write_response(stream, response)) {
        await_delivery(link, stream.deadline);
    }
}

}  // namespace korvan::pipe
