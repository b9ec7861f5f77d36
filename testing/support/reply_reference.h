#pragma once

// Test support: checks decode_response against a reading of the same answer on
// nlohmann/json, an independent RFC 8259 parser: the client's reading as it was before
// the client moved to the project's own reader. Shared by the property test and the
// fuzz target.
//
// The two must give the same response, or the same fault text, except where the
// protocol document says that a client reads an answer otherwise than nlohmann does:
// nesting deeper than the reader's limit, a byte order mark (which nlohmann skips), a
// member the answer reads given twice (nlohmann keeps the last), and -0 as a port
// (nlohmann reads the integer 0).

#include <nlohmann/json.hpp>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/quote.h"
#include "proto/decode_response.h"
#include "proto/encode.h"

namespace korvan::proto {

namespace reply_reference {

using nlohmann::json;

inline std::string quoted_head(std::string_view body) {
    std::string out = in_quotes(body.substr(0, 64));
    if (body.size() > 64) {
        out += "...";
    }
    return out;
}

inline std::string_view answer_kind(std::string_view request_op) {
    if (request_op == "ping") {
        return "pong";
    }
    if (request_op == "status") {
        return "status";
    }
    if (request_op == "stop") {
        return "stopped";
    }
    if (request_op == "start") {
        return "started";
    }
    return "";
}

inline std::string malformed(std::string text) {
    return "fault: malformed reply: " + std::move(text);
}

inline std::string field_fault(std::string_view kind, std::string_view key, const json& reply,
                               std::string_view wanted) {
    const bool missing = !reply.contains(key);
    return malformed(in_quotes(kind) + " reply: " + in_quotes(key) +
                     (missing ? " is missing" : " is not " + std::string(wanted)));
}

inline bool is_port(const json& value) {
    if (value.is_number_unsigned()) {
        return value.get<std::uint64_t>() <= 65535;
    }
    if (value.is_number_integer()) {
        const auto n = value.get<std::int64_t>();
        return n >= 0 && n <= 65535;
    }
    return false;
}

// The response as encode_response writes it, or "fault: {text}".
inline std::string read(std::string_view body, const std::string& text_for_parser,
                        std::string_view request_op) {
    const json reply = json::parse(text_for_parser, nullptr, false);
    if (reply.is_discarded()) {
        return malformed("not JSON: " + quoted_head(body));
    }
    if (!reply.is_object()) {
        return malformed("not a JSON object: " + quoted_head(body));
    }
    const auto ok = reply.find("ok");
    if (ok == reply.end() || !ok->is_string()) {
        return malformed("no \"ok\" string: " + quoted_head(body));
    }
    const std::string kind = ok->get<std::string>();
    if (kind != "pong" && kind != "status" && kind != "started" && kind != "stopped" &&
        kind != "error") {
        return malformed("unknown \"ok\" " + in_quotes(kind));
    }
    if (kind != "error" && !request_op.empty() && kind != answer_kind(request_op)) {
        return malformed(in_quotes(kind) + " does not answer " + std::string(request_op));
    }
    auto text = [&](std::string_view key, std::string& out) -> std::string {
        const auto it = reply.find(key);
        if (it == reply.end() || !it->is_string()) {
            return field_fault(kind, key, reply, "a string");
        }
        out = it->get<std::string>();
        return "";
    };
    auto port = [&](std::string_view key, std::uint16_t& out) -> std::string {
        const auto it = reply.find(key);
        if (it == reply.end() || !is_port(*it)) {
            return field_fault(kind, key, reply, "a port number");
        }
        out = static_cast<std::uint16_t>(it->get<unsigned>());
        return "";
    };
    if (kind == "error" || kind == "pong") {
        std::string first, second;
        std::string fault = text(kind == "error" ? "code" : "version", first);
        if (fault.empty()) {
            fault = text(kind == "error" ? "message" : "service_version", second);
        }
        if (!fault.empty()) {
            return fault;
        }
        return kind == "error" ? encode_response(response::Error{first, second})
                               : encode_response(response::Pong{first, second});
    }
    if (kind == "stopped") {
        return encode_response(response::Stopped{});
    }
    bool running = true;
    if (kind == "status") {
        const auto it = reply.find("running");
        if (it == reply.end() || !it->is_boolean()) {
            return field_fault(kind, "running", reply, "a boolean");
        }
        running = it->get<bool>();
    }
    if (!running) {
        for (std::string_view key : {"mixed_port", "ctl_port"}) {
            const auto it = reply.find(key);
            if (it == reply.end() || !it->is_null()) {
                return field_fault(kind, key, reply, "null while the core is not running");
            }
        }
        return encode_response(response::Status{});
    }
    std::uint16_t mixed = 0, ctl = 0;
    std::string fault = port("mixed_port", mixed);
    if (fault.empty()) {
        fault = port("ctl_port", ctl);
    }
    if (!fault.empty()) {
        return fault;
    }
    return kind == "status" ? encode_response(response::Status{true, mixed, ctl})
                            : encode_response(response::Started{mixed, ctl});
}

// Counts the members of the top-level object named `wanted`.
struct KeyCounter {
    std::string wanted;
    int depth = 0;
    int count = 0;
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(json::number_integer_t) { return true; }
    bool number_unsigned(json::number_unsigned_t) { return true; }
    bool number_float(json::number_float_t, const std::string&) { return true; }
    bool string(std::string&) { return true; }
    bool binary(json::binary_t&) { return true; }
    bool start_object(std::size_t) {
        ++depth;
        return true;
    }
    bool key(std::string& key) {
        count += depth == 1 && key == wanted ? 1 : 0;
        return true;
    }
    bool end_object() {
        --depth;
        return true;
    }
    bool start_array(std::size_t) {
        ++depth;
        return true;
    }
    bool end_array() {
        --depth;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }
};

inline int top_level_count(const std::string& text, const std::string& wanted) {
    KeyCounter counter{wanted};
    json::sax_parse(text, &counter, json::input_format_t::json, false);
    return counter.count;
}

// The quoted key named in a fault text `... "{key}" is given twice` or
// `... "{key}" is not a port number`.
inline std::string key_before(const std::string& text, std::string_view ending) {
    const size_t end = text.size() - ending.size() - 1;  // the closing quote
    const size_t start = text.rfind('"', end - 1);
    return text.substr(start + 1, end - start - 1);
}

}  // namespace reply_reference

// decode_response's reading of `body` as the request `request_op` ("" for any): the
// response as encode_response writes it, or "fault: {text}".
inline std::string our_reading(std::span<const std::uint8_t> body, std::string_view request_op) {
    const Result<Response> ours = decode_response(body, request_op);
    return ours ? encode_response(ours.value()) : "fault: " + ours.error();
}

// Empty when decode_response and the reading on nlohmann agree on `body`, or differ only
// as the protocol document says; else what differs.
inline std::string reply_disagreement(std::span<const std::uint8_t> body,
                                      std::string_view request_op) {
    using namespace reply_reference;
    const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
    // nlohmann takes a NUL byte outside a string for the end of the input; 0x01 is as
    // invalid there as NUL is, and inside a string both are control characters.
    std::string for_parser(text);
    for (char& c : for_parser) {
        c = c == '\0' ? '\x01' : c;
    }
    const std::string ours = our_reading(body, request_op);
    const std::string theirs = read(text, for_parser, request_op);
    if (ours == theirs) {
        return "";
    }
    const std::string deep = "fault: malformed reply: nested more than 127 levels deep: ";
    if (ours == deep + quoted_head(text)) {
        return "";
    }
    if (text.starts_with("\xEF\xBB\xBF") && ours == malformed("not JSON: " + quoted_head(text))) {
        return "";
    }
    constexpr std::string_view TWICE = " is given twice";
    if (ours.ends_with(TWICE) && json::accept(for_parser) &&
        top_level_count(for_parser, key_before(ours, TWICE)) > 1) {
        return "";
    }
    constexpr std::string_view NOT_A_PORT = " is not a port number";
    if (ours.ends_with(NOT_A_PORT) && json::accept(for_parser)) {
        const json reply = json::parse(for_parser);
        const auto it = reply.find(key_before(ours, NOT_A_PORT));
        if (it != reply.end() && it->is_number_integer() && !it->is_number_unsigned() &&
            it->get<std::int64_t>() == 0) {
            return "";
        }
    }
    return "ours: " + ours + "\ntheirs: " + theirs;
}

}  // namespace korvan::proto
