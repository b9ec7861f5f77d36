#include "client/reply.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/quote.h"
#include "proto/decode_response.h"

namespace korvan::client {

namespace {

// The "op" of the request that a T answers; empty for Answer, which takes every kind.
template <class T>
constexpr std::string_view REQUEST_OP = "";
template <>
constexpr std::string_view REQUEST_OP<proto::response::Pong> = proto::KIND_PING;
template <>
constexpr std::string_view REQUEST_OP<proto::response::Status> = proto::KIND_STATUS;
template <>
constexpr std::string_view REQUEST_OP<proto::response::Started> = proto::KIND_START;
template <>
constexpr std::string_view REQUEST_OP<proto::response::Stopped> = proto::KIND_STOP;

// A decoded response as a reply of T. Given T's op, decode_response yields only T's
// kind or "error"; any kind for Answer.
template <class T>
struct Sorted {
    std::string& body;

    Reply<T> operator()(proto::response::Error& error) const {
        Failure failure{"error " + one_line(error.code) + ": " + one_line(error.message)};
        return Reply<T>{Status::AnswerError, std::move(failure), std::move(error), std::move(body)};
    }
    template <class Kind>
    Reply<T> operator()(Kind& answer) const {
        if constexpr (std::is_constructible_v<T, Kind&&>) {
            return Reply<T>{Status::Ok, T(std::move(answer)), std::nullopt, std::move(body)};
        } else {
            // Another kind than T's op admits, as std::get would report it.
            throw std::bad_variant_access();
        }
    }
};

}  // namespace

template <class T>
Reply<T> read_reply(std::string body) {
    Result<proto::Response> response =
        proto::decode_response(std::span<const std::uint8_t>(
                                   reinterpret_cast<const std::uint8_t*>(body.data()), body.size()),
                               REQUEST_OP<T>);
    if (!response) {
        return Reply<T>{Status::NoAnswer, response.failure(), std::nullopt, std::move(body)};
    }
    return std::visit(Sorted<T>{body}, response.value());
}

template Reply<proto::response::Pong> read_reply(std::string body);
template Reply<proto::response::Status> read_reply(std::string body);
template Reply<proto::response::Started> read_reply(std::string body);
template Reply<proto::response::Stopped> read_reply(std::string body);
template Reply<Answer> read_reply(std::string body);

}  // namespace korvan::client
