#include "proto/encode.h"

#include <array>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "common/utf8.h"

namespace korvan::proto {

namespace {

// The bytes put_string writes for each byte of a text.
constexpr std::array<std::uint8_t, 256> ESCAPED_SIZES = [] {
    std::array<std::uint8_t, 256> sizes{};
    for (size_t byte = 0; byte < sizes.size(); ++byte) {
        sizes[byte] = byte < 0x20 ? 6 : 1;
    }
    for (const unsigned char byte : {'"', '\\', '\b', '\t', '\n', '\f', '\r'}) {
        sizes[byte] = 2;
    }
    return sizes;
}();

size_t escaped_size(std::string_view text) {
    size_t size = 0;
    for (const char c : text) {
        size += ESCAPED_SIZES[static_cast<unsigned char>(c)];
    }
    return size;
}

// The length of the well-formed UTF-8 sequence that begins `text`, or 1 when none does:
// such a byte is a unit of its own.
size_t utf8_unit(std::string_view text) {
    const size_t length = utf8_sequence_length(text);
    return length == 0 ? 1 : length;
}

// The length of the longest beginning of `text`, in whole units (see utf8_unit), that
// encodes within `budget` bytes.
size_t fitting_length(std::string_view text, size_t budget) {
    size_t kept = 0;
    while (kept < text.size()) {
        const size_t unit = utf8_unit(text.substr(kept));
        const size_t cost =
            unit == 1 ? ESCAPED_SIZES[static_cast<unsigned char>(text[kept])] : unit;
        if (cost > budget) {
            break;
        }
        budget -= cost;
        kept += unit;
    }
    return kept;
}

void put_string(std::string& out, std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    out += '"';
    size_t clean_from = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            continue;
        }
        out.append(text, clean_from, i - clean_from);
        clean_from = i + 1;
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += "\\u00";
                out += HEX[byte >> 4];
                out += HEX[byte & 0xF];
        }
    }
    out.append(text, clean_from, text.size() - clean_from);
    out += '"';
}

void put_port(std::string& out, std::optional<std::uint16_t> port) {
    if (port) {
        out += std::to_string(*port);
    } else {
        out += "null";
    }
}

// `{"{tag}":"{kind}"`, the start of every message: "ok" for an answer, "op" for a
// request.
void put_kind(std::string& out, std::string_view tag, std::string_view kind) {
    out += '{';
    put_string(out, tag);
    out += ':';
    put_string(out, kind);
}

void put_key(std::string& out, std::string_view key) {
    out += ',';
    put_string(out, key);
    out += ':';
}

void put_fields(std::string& out, const response::Pong& pong) {
    put_kind(out, KEY_OK, KIND_PONG);
    put_key(out, KEY_VERSION);
    put_string(out, pong.version);
    put_key(out, KEY_SERVICE_VERSION);
    put_string(out, pong.service_version);
}

void put_fields(std::string& out, const response::Status& status) {
    put_kind(out, KEY_OK, KIND_STATUS);
    put_key(out, KEY_RUNNING);
    out += status.running ? "true" : "false";
    put_key(out, KEY_MIXED_PORT);
    put_port(out, status.mixed_port);
    put_key(out, KEY_CTL_PORT);
    put_port(out, status.ctl_port);
}

void put_fields(std::string& out, const response::Started& started) {
    put_kind(out, KEY_OK, KIND_STARTED);
    put_key(out, KEY_MIXED_PORT);
    put_port(out, started.mixed_port);
    put_key(out, KEY_CTL_PORT);
    put_port(out, started.ctl_port);
}

void put_fields(std::string& out, const response::Stopped&) {
    put_kind(out, KEY_OK, KIND_STOPPED);
}

void put_fields(std::string& out, const response::Error& error) {
    put_kind(out, KEY_OK, KIND_ERROR);
    put_key(out, KEY_CODE);
    put_string(out, error.code);
    put_key(out, KEY_MESSAGE);
    put_string(out, error.message);
}

void put_request(std::string& out, const request::Ping&) {
    put_kind(out, KEY_OP, KIND_PING);
}

void put_request(std::string& out, const request::Status&) {
    put_kind(out, KEY_OP, KIND_STATUS);
}

void put_request(std::string& out, const request::Stop&) {
    put_kind(out, KEY_OP, KIND_STOP);
}

void put_request(std::string& out, const request::Start& start) {
    put_kind(out, KEY_OP, KIND_START);
    put_key(out, KEY_CONFIG_YAML);
    put_string(out, start.config_yaml);
    put_key(out, KEY_SECRET);
    put_string(out, start.secret);
    put_key(out, KEY_MIXED_PORT);
    put_port(out, start.mixed_port);
    put_key(out, KEY_CTL_PORT);
    put_port(out, start.ctl_port);
}

}  // namespace

std::string not_utf8_fault(std::string_view field, std::uint8_t byte, size_t offset) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    return std::string(field) + ": not UTF-8 text: invalid byte 0x" + HEX[byte >> 4] +
           HEX[byte & 0xF] + " at offset " + std::to_string(offset);
}

std::string request_too_large_fault(size_t size) {
    return "the request would be " + std::to_string(size) + " bytes, more than the " +
           std::to_string(MAX_FRAME_LEN) + " a frame carries";
}

Result<std::string> encode_request(const Request& request) {
    if (const auto* start = std::get_if<request::Start>(&request)) {
        for (const auto& [field, text] : {std::pair{KEY_CONFIG_YAML, &start->config_yaml},
                                          std::pair{KEY_SECRET, &start->secret}}) {
            if (const std::optional<size_t> bad = first_invalid_utf8(*text)) {
                return Failure{
                    not_utf8_fault(field, static_cast<std::uint8_t>((*text)[*bad]), *bad)};
            }
        }
    }
    std::string out;
    std::visit([&out](const auto& kind) { put_request(out, kind); }, request);
    out += '}';
    if (out.size() > MAX_FRAME_LEN) {
        return Failure{request_too_large_fault(out.size())};
    }
    return out;
}

std::string encode_response(const Response& response) {
    std::string out;
    out.reserve(128);
    std::visit([&out](const auto& kind) { put_fields(out, kind); }, response);
    out += '}';
    return out;
}

std::string encode_response_within(const Response& response, size_t limit) {
    const auto* error = std::get_if<response::Error>(&response);
    if (error == nullptr) {
        return encode_response(response);
    }
    const size_t envelope = encode_response(response::Error{error->code, {}}).size();
    if (envelope + escaped_size(error->message) <= limit || envelope + CUT_MARK.size() > limit) {
        return encode_response(response);
    }
    std::string message(error->message, 0,
                        fitting_length(error->message, limit - envelope - CUT_MARK.size()));
    message += CUT_MARK;
    return encode_response(response::Error{error->code, std::move(message)});
}

Result<std::vector<std::uint8_t>> response_frame(const Response& response) {
    const std::string text = encode_response_within(response, MAX_FRAME_LEN);
    return frame_bytes(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace korvan::proto
