#include "client/requests.h"

#include <utility>

#include "proto/encode.h"
#include "proto/frame.h"

namespace korvan::client {

namespace {

// The request sent to `target` and its reply read as an answer of T.
template <class T>
Reply<T> asked(const Target& target, std::string_view body) {
    Result<std::string> reply = transact(target, body);
    if (!reply) {
        return Reply<T>{Status::NoAnswer, reply.failure(), std::nullopt, std::nullopt};
    }
    return read_reply<T>(std::move(reply.value()));
}

// The body of a request without fields, which always encodes.
std::string unit_body(const proto::Request& request) {
    return proto::encode_request(request).value();
}

}  // namespace

Reply<proto::response::Pong> ping(const Target& target) {
    return asked<proto::response::Pong>(target, unit_body(proto::request::Ping{}));
}

Reply<proto::response::Status> core_status(const Target& target) {
    return asked<proto::response::Status>(target, unit_body(proto::request::Status{}));
}

Reply<proto::response::Stopped> stop_core(const Target& target) {
    return asked<proto::response::Stopped>(target, unit_body(proto::request::Stop{}));
}

Result<StartRequest> start_request(proto::request::Start start) {
    Result<std::string> body = proto::encode_request(std::move(start));
    if (!body) {
        return body.failure();
    }
    return StartRequest{std::move(body.value())};
}

Reply<proto::response::Started> start_core(const Target& target, const StartRequest& request) {
    return asked<proto::response::Started>(target, request.body);
}

bool fits_one_frame(size_t size) {
    return size != 0 && size <= proto::MAX_FRAME_LEN;
}

std::string one_frame_rule() {
    return "a frame carries 1 to " + std::to_string(proto::MAX_FRAME_LEN);
}

Reply<Answer> send(const Target& target, std::string_view body) {
    return asked<Answer>(target, body);
}

}  // namespace korvan::client
