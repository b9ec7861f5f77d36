#include "common/utf8.h"

namespace korvan {

size_t utf8_sequence_length(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    const auto byte = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    // The bounds of the second byte rule out overlong forms, surrogates and code points
    // above U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

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

}  // namespace korvan
