#pragma once

// Test support: checks decode_request against nlohmann/json, an independent RFC 8259
// parser, on one body. Shared by the property test and the fuzz target.
//
// The two must agree on what is JSON: a fault of the JSON text itself (other than the
// nesting limit, which nlohmann does not have) exactly when nlohmann rejects the text;
// a decoded request, or a fault found only after the whole text was read, only when
// nlohmann accepts it. A decoded request's texts and ports must equal nlohmann's
// values of the same members.

#include <nlohmann/json.hpp>

#include <array>
#include <span>
#include <string>
#include <string_view>

#include "proto/decode.h"
#include "proto/decode_faults.h"

namespace korvan::proto {

inline bool is_syntax_message(std::string_view message) {
    for (std::string_view syntax : JSON_TEXT_FAULTS) {
        if (message == syntax) {
            return true;
        }
    }
    return false;
}

// What nlohmann makes of the members a decoded request was built from; empty when
// they agree.
inline std::string compare_members(const Request& request, const nlohmann::json& doc) {
    const bool array = doc.is_array();
    auto member = [&](const char* key, size_t index) -> const nlohmann::json* {
        if (array) {
            return index < doc.size() ? &doc[index] : nullptr;
        }
        auto it = doc.find(key);
        return it == doc.end() ? nullptr : &*it;
    };
    const nlohmann::json* op = member("op", 0);
    static constexpr std::array<std::string_view, 4> KINDS = {"ping", "status", "start", "stop"};
    if (op == nullptr || !op->is_string() || op->get<std::string>() != KINDS[request.index()]) {
        return "kind differs";
    }
    const auto* start = std::get_if<request::Start>(&request);
    if (start == nullptr) {
        return "";
    }
    const nlohmann::json* config = member("config_yaml", 1);
    const nlohmann::json* secret = member("secret", 2);
    const nlohmann::json* mixed = member("mixed_port", 3);
    const nlohmann::json* ctl = member("ctl_port", 4);
    if (config == nullptr || !config->is_string() ||
        config->get<std::string>() != start->config_yaml) {
        return "config_yaml differs";
    }
    if (secret == nullptr || !secret->is_string() || secret->get<std::string>() != start->secret) {
        return "secret differs";
    }
    if (mixed == nullptr || !mixed->is_number_unsigned() ||
        mixed->get<std::uint64_t>() != start->mixed_port) {
        return "mixed_port differs";
    }
    if (ctl == nullptr || !ctl->is_number_unsigned() ||
        ctl->get<std::uint64_t>() != start->ctl_port) {
        return "ctl_port differs";
    }
    return "";
}

// Accepts any well-formed JSON value at the start of a text, whatever follows it.
struct ValueAcceptor {
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(nlohmann::json::number_integer_t) { return true; }
    bool number_unsigned(nlohmann::json::number_unsigned_t) { return true; }
    bool number_float(nlohmann::json::number_float_t, const std::string&) { return true; }
    bool string(std::string&) { return true; }
    bool binary(nlohmann::json::binary_t&) { return true; }
    bool start_object(std::size_t) { return true; }
    bool key(std::string&) { return true; }
    bool end_object() { return true; }
    bool start_array(std::size_t) { return true; }
    bool end_array() { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }
};

// nlohmann takes a NUL byte outside a string for the end of the input; 0x01 is as
// invalid there as NUL is, and inside a string both are control characters.
inline std::string for_reference(std::span<const std::uint8_t> body) {
    std::string text(body.begin(), body.end());
    for (char& c : text) {
        c = c == '\0' ? '\x01' : c;
    }
    return text;
}

inline bool reference_accepts_a_value_first(const std::string& text) {
    ValueAcceptor acceptor;
    return nlohmann::json::sax_parse(text, &acceptor, nlohmann::json::input_format_t::json, false);
}

// Empty when decode_request and nlohmann agree on `body`, else what differs.
inline std::string reference_disagreement(std::span<const std::uint8_t> body) {
    const Result<Request> ours = decode_request(body);
    const std::string text_for_reference = for_reference(body);
    const bool theirs = nlohmann::json::accept(text_for_reference);

    if (ours.ok()) {
        if (!theirs) {
            return "decoded a body the reference rejects";
        }
        return compare_members(ours.value(), nlohmann::json::parse(text_for_reference));
    }

    const std::string& text = ours.error();
    const size_t suffix = text.rfind(AT_LINE);
    const bool placed = suffix != std::string::npos;
    const std::string message = placed ? text.substr(0, suffix) : text;

    // The reference skips a byte order mark; a request may not have one.
    if (body.size() >= 3 && body[0] == 0xEF && body[1] == 0xBB && body[2] == 0xBF) {
        return text == at_position(EXPECTED_VALUE, 1, 1) ? "" : "BOM not refused at its first byte";
    }
    if (is_syntax_message(message)) {
        if (!placed) {
            return "syntax fault without a position: " + text;
        }
        if (message == RECURSION_LIMIT) {
            return "";
        }
        return theirs ? "syntax fault in a body the reference accepts: " + text : "";
    }
    if (!placed && !reference_accepts_a_value_first(text_for_reference)) {
        // Faults without a position are found once the whole value has been read,
        // before anything after it is looked at.
        return "content fault in a body that does not start with a value: " + text;
    }
    // A fault of the request's shape with a position is found mid-text; what follows
    // it was never read, so the reference has nothing to say about it.
    return "";
}

}  // namespace korvan::proto
