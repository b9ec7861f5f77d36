#include "pipe/exchange.h"

#include <optional>
#include <string>
#include <utility>
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

proto::Response respond_to(std::vector<std::uint8_t>& body, core::Supervisor& supervisor,
                           HANDLE caller) {
    Result<proto::Request> request = proto::decode_request(body);
    if (!request) {
        return proto::response::Error{std::string(proto::BAD_REQUEST),
                                      std::string(PARSE_PREFIX) + request.error()};
    }
    return handle_request(request.value(), supervisor, caller);
}

// What the caller check read of the request before it decided.
struct ReadAhead {
    std::optional<std::uint32_t> length;
    std::optional<std::vector<std::uint8_t>> body;
};

// A client that opened the pipe without SECURITY_SQOS_PRESENT (CreateFileW's default,
// .NET's NamedPipeClientStream by default) has dynamic context tracking: its context
// reaches the pipe only with the data it writes, and ImpersonateNamedPipeClient fails
// with ERROR_CANNOT_IMPERSONATE until some of that data has been read. Windows does not
// say whether reading part of one write installs its context, so the prefix comes
// first and the whole body only if that was not enough. Wine impersonates before any
// read, for every client.
Admission admit_caller(const ClientLink& link, PipeStream& stream, ReadAhead& ahead,
                       AdmissionDecision decide, Impersonation impersonate) {
    Admission admission = authorize_client(link.pipe, decide, impersonate);
    if (admission.impersonation_error != ERROR_CANNOT_IMPERSONATE) {
        return admission;
    }
    Result<std::uint32_t> length = proto::read_frame_length(stream);
    if (!length) {
        return admission;
    }
    ahead.length = length.value();
    admission = authorize_client(link.pipe, decide, impersonate);
    if (admission.impersonation_error != ERROR_CANNOT_IMPERSONATE) {
        return admission;
    }
    Result<std::vector<std::uint8_t>> body = proto::read_frame_body(stream, length.value());
    if (!body) {
        return admission;
    }
    ahead.body = std::move(body.value());
    return authorize_client(link.pipe, decide, impersonate);
}

// The request frame's body, reading only what the caller check has not read.
Result<std::vector<std::uint8_t>> read_request(PipeStream& stream, ReadAhead& ahead) {
    if (ahead.body) {
        return std::move(*ahead.body);
    }
    if (ahead.length) {
        return proto::read_frame_body(stream, *ahead.length);
    }
    return proto::read_frame(stream);
}

}  // namespace

void serve_client(const ClientLink& link, core::Supervisor& supervisor, AdmissionDecision decide,
                  Impersonation impersonate) {
    PipeStream stream{link.pipe, link.io_event, link.deadline};
    ReadAhead ahead;
    const Admission admitted = admit_caller(link, stream, ahead, decide, impersonate);
    if (!admitted.verdict) {
        log::write_log(std::string(REJECT_LOG_PREFIX) + admitted.verdict.error());
        return;
    }
    Result<std::vector<std::uint8_t>> body = read_request(stream, ahead);
    if (!body) {
        log::write_log(std::string(READ_FRAME_LOG_PREFIX) + body.error());
        return;
    }
    // The client is not waited on while its request is handled, so that time does
    // not count against it.
    const std::uint64_t handling_from = GetTickCount64();
    const proto::Response response = respond_to(body.value(), supervisor, admitted.token.get());
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
