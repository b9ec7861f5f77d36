#include "client/request_body.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "common/utf8.h"
#include "proto/frame.h"

namespace korvan::client {

namespace {

using ordered_json = nlohmann::ordered_json;

Failure not_utf8(std::string_view field, std::string_view text, size_t offset) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(text[offset]));
    return Failure{std::string(field) + ": not UTF-8 text: invalid byte 0x" + hex + " at offset " +
                   std::to_string(offset)};
}

struct Build {
    Result<ordered_json> operator()(const proto::request::Ping&) const {
        return ordered_json{{"op", "ping"}};
    }
    Result<ordered_json> operator()(const proto::request::Status&) const {
        return ordered_json{{"op", "status"}};
    }
    Result<ordered_json> operator()(const proto::request::Stop&) const {
        return ordered_json{{"op", "stop"}};
    }
    Result<ordered_json> operator()(const proto::request::Start& start) const {
        for (const auto& [field, text] :
             {std::pair{"config_yaml", &start.config_yaml}, std::pair{"secret", &start.secret}}) {
            if (std::optional<size_t> bad = first_invalid_utf8(*text)) {
                return not_utf8(field, *text, *bad);
            }
        }
        ordered_json body;
        body["op"] = "start";
        body["config_yaml"] = start.config_yaml;
        body["secret"] = start.secret;
        body["mixed_port"] = start.mixed_port;
        body["ctl_port"] = start.ctl_port;
        return body;
    }
};

}  // namespace

std::optional<size_t> first_invalid_utf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const size_t length = utf8_sequence_length(text.substr(i));
        if (length == 0) {
            return i;
        }
        i += length;
    }
    return std::nullopt;
}

Result<std::string> request_body(const proto::Request& request) {
    Result<ordered_json> body = std::visit(Build{}, request);
    if (!body) {
        return body.failure();
    }
    return body->dump();
}

Result<std::string> start_request(const proto::request::Start& start) {
    Result<std::string> body = request_body(start);
    if (!body) {
        return prefixed("start", body.failure());
    }
    if (body->size() > proto::MAX_FRAME_LEN) {
        return Failure{"start: the request would be " + std::to_string(body->size()) +
                       " bytes, more than the " + std::to_string(proto::MAX_FRAME_LEN) +
                       " a frame carries"};
    }
    return body;
}

}  // namespace korvan::client
