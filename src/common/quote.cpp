#include "common/quote.h"

#include <cstdint>

namespace korvan {

namespace {

void append_unicode_escape(std::string& out, std::uint32_t code_point) {
    static constexpr char HEX[] = "0123456789abcdef";
    out += "\\u{";
    if (code_point >= 0x10) {
        out += HEX[code_point >> 4];
    }
    out += HEX[code_point & 0xF];
    out += '}';
}

void append_escaped(std::string& out, std::string_view text, bool escape_quoting) {
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (escape_quoting && (byte == '"' || byte == '\\')) {
            out += '\\';
            out += static_cast<char>(byte);
            continue;
        }
        switch (byte) {
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        if (byte < 0x20 || byte == 0x7F) {
            append_unicode_escape(out, byte);
        } else if (byte == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080-U+009F, the C1 controls, are C2 80 to C2 9F in UTF-8.
            append_unicode_escape(out, static_cast<unsigned char>(text[i + 1]));
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '"';
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
    append_escaped(out, text, true);
}

std::string in_quotes(std::string_view text) {
    std::string out;
    append_quoted(out, text);
    return out;
}

std::string in_quotes_as_typed(std::string_view text) {
    std::string out;
    append_escaped(out, text, false);
    return out;
}

std::string one_line(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace korvan
