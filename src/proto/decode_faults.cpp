#include "proto/decode_faults.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "common/quote.h"
#include "proto/frame.h"

namespace korvan::proto {

namespace {

// The shortest decimal digits that read back as the same double, written out in
// positional form (never an exponent); a whole value keeps ".0".
std::string positional(double value) {
    char scientific[64];
    const auto written = std::to_chars(scientific, scientific + sizeof scientific, value,
                                       std::chars_format::scientific);
    const std::string_view text(scientific, static_cast<size_t>(written.ptr - scientific));
    const size_t e = text.find('e');
    std::string_view mantissa = text.substr(0, e);
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    exponent);

    std::string out;
    if (!mantissa.empty() && mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') {
            digits += c;
        }
    }
    if (exponent >= 0) {
        const auto whole = static_cast<size_t>(exponent) + 1;
        if (digits.size() <= whole) {
            out += digits;
            out.append(whole - digits.size(), '0');
            out += ".0";
        } else {
            out.append(digits, 0, whole).append(".").append(digits, whole);
        }
    } else {
        out += "0.";
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out += digits;
    }
    return out;
}

// The text is quoted a slice at a time, so that quoting stops soon after the quotation
// passes MAX_FRAME_LEN bytes (what is sent of it, see encode_response_within, is
// shorter). A slice never ends before a continuation byte, so none splits a character,
// nor a C1 control (C2 80 to C2 9F), which append_quoted writes as one escape.
void append_quoted_within_frame(std::string& out, std::string_view text) {
    constexpr size_t SLICE = 4096;
    const size_t from = out.size();
    out += '"';
    std::string quoted;
    size_t begin = 0;
    while (begin < text.size() && out.size() - from <= MAX_FRAME_LEN) {
        size_t end = std::min(begin + SLICE, text.size());
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            ++end;
        }
        quoted.clear();
        append_quoted(quoted, text.substr(begin, end - begin));
        out.append(quoted, 1, quoted.size() - 2);
        begin = end;
    }
    out += '"';
}

}  // namespace

std::string invalid_type(std::string_view described, std::string_view expected) {
    std::string text = "invalid type: ";
    text.append(described).append(", expected ").append(expected);
    return text;
}

std::string invalid_value(std::string_view described, std::string_view expected) {
    std::string text = "invalid value: ";
    text.append(described).append(", expected ").append(expected);
    return text;
}

std::string field_fault(std::string_view what, std::string_view field) {
    std::string text(what);
    text.append(" `").append(field).append("`");
    return text;
}

std::string invalid_length(size_t length, std::string_view expected) {
    return "invalid length " + std::to_string(length) + ", expected " + std::string(expected);
}

std::string unknown_kind(std::string_view kind) {
    std::string text = "unknown variant `";
    text.append(kind).append("`, expected one of ").append(KINDS);
    return text;
}

std::string at_position(std::string_view message, size_t line, size_t column) {
    std::string text(message);
    text.append(AT_LINE).append(std::to_string(line)).append(AT_COLUMN);
    text.append(std::to_string(column));
    return text;
}

std::string described_integer(std::uint64_t value) {
    return "integer `" + std::to_string(value) + "`";
}

std::string described_integer(std::int64_t value) {
    return "integer `" + std::to_string(value) + "`";
}

std::string described_float(double value) {
    return "floating point `" + positional(value) + "`";
}

std::string described_string(std::string_view text) {
    std::string described = "string ";
    append_quoted_within_frame(described, text);
    return described;
}

}  // namespace korvan::proto
