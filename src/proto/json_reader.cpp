#include "proto/json_reader.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "proto/decode_faults.h"
#include "proto/json_scan.h"

namespace korvan::proto::json {

namespace {

// Where the unescaped bytes of a string go (Name is the third). `copy_plain` takes the
// bytes from `p` up to the first that is not plain (see json_scan.h) and returns where
// it stopped. A sink is told first an upper bound of the text's length.
struct DiscardSink {
    void start(size_t) {}
    const std::uint8_t* copy_plain(const std::uint8_t* p, const std::uint8_t* end,
                                   bool& non_ascii) {
        return scan::plain_run(p, end, non_ascii);
    }
    void append(const std::uint8_t*, size_t) {}
    void push(char) {}
    void finish() {}
};

// Writes straight into the text, sized once for the whole string.
struct TextSink {
    std::string& out;
    char* cursor = nullptr;

    void start(size_t bound) {
        out.resize(bound + scan::COPY_SLACK);
        cursor = out.data();
    }
    const std::uint8_t* copy_plain(const std::uint8_t* p, const std::uint8_t* end,
                                   bool& non_ascii) {
        return scan::copy_plain_run(p, end, cursor, non_ascii);
    }
    void append(const std::uint8_t* from, size_t n) {
        std::memcpy(cursor, from, n);
        cursor += n;
    }
    void push(char c) { *cursor++ = c; }
    void finish() {
        out.resize(static_cast<size_t>(cursor - out.data()));
        // The bound was the rest of the body; give back what a short text left over.
        if (out.capacity() > 2 * out.size() + 64) {
            out.shrink_to_fit();
        }
    }
};

// The byte each one-letter escape stands for; 0 where the letter is no escape.
constexpr std::array<char, 256> SIMPLE_ESCAPES = [] {
    std::array<char, 256> table{};
    table['"'] = '"';
    table['\\'] = '\\';
    table['/'] = '/';
    table['b'] = '\b';
    table['f'] = '\f';
    table['n'] = '\n';
    table['r'] = '\r';
    table['t'] = '\t';
    return table;
}();

int hex_digit(std::uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

template <class Sink>
void push_code_point(Sink& sink, std::uint32_t cp) {
    if (cp < 0x80) {
        sink.push(static_cast<char>(cp));
    } else if (cp < 0x800) {
        sink.push(static_cast<char>(0xC0 | (cp >> 6)));
        sink.push(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        sink.push(static_cast<char>(0xE0 | (cp >> 12)));
        sink.push(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        sink.push(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        sink.push(static_cast<char>(0xF0 | (cp >> 18)));
        sink.push(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        sink.push(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        sink.push(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// The power of ten of the leading digit of the well-formed number [p, end), saturated;
// only its sign matters.
long long decimal_magnitude(const char* p, const char* end) {
    constexpr long long LIMIT = 1'000'000'000;
    if (*p == '-') {
        ++p;
    }
    long long lead = -1;  // digits of the whole part, less one, leading zeros aside
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (lead >= 0 || *p != '0') {
            lead = lead < LIMIT ? lead + 1 : lead;
        }
    }
    if (lead < 0 && p < end && *p == '.') {
        // 0.000ddd: the leading digit stands after the zeros.
        for (++p; p < end && *p == '0'; ++p) {
            lead = lead > -LIMIT ? lead - 1 : lead;
        }
    }
    while (p < end && *p != 'e' && *p != 'E') {
        ++p;
    }
    long long exponent = 0;
    if (p < end) {
        ++p;
        const bool negative = *p == '-';
        if (*p == '+' || *p == '-') {
            ++p;
        }
        for (; p < end; ++p) {
            exponent = exponent < LIMIT ? exponent * 10 + (*p - '0') : exponent;
        }
        exponent = negative ? -exponent : exponent;
    }
    return lead + exponent;
}

}  // namespace

const std::uint8_t* Name::copy_plain(const std::uint8_t* p, const std::uint8_t* end,
                                     bool& non_ascii) {
    const std::uint8_t* stop = scan::plain_run(p, end, non_ascii);
    append(p, static_cast<size_t>(stop - p));
    return stop;
}

void Name::append(const std::uint8_t* from, size_t n) {
    if (too_long || n > bytes.size() - size) {
        too_long = true;
        return;
    }
    std::memcpy(bytes.data() + size, from, n);
    size += n;
}

void Name::push(char c) {
    const auto byte = static_cast<std::uint8_t>(c);
    append(&byte, 1);
}

// ---- faults

std::string Reader::message() const {
    if (!at_) {
        return message_;
    }
    size_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < *at_; ++i) {
        if (begin_[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return at_position(message_, line, *at_ - line_start);
}

bool Reader::fail(std::string message, std::optional<size_t> at) {
    if (!failed_) {
        failed_ = true;
        message_ = std::move(message);
        at_ = at;
    }
    return false;
}

Step Reader::refuse_next(std::string_view message) {
    fail_next(std::string(message));
    return Step::Failed;
}

// ---- strings

// After the opening quote; reads through the closing quote.
template <class Sink>
bool Reader::string(Sink& sink) {
    // The unescaped text is never longer than what is left of the body.
    sink.start(static_cast<size_t>(end_ - p_));
    bool malformed = false;
    for (;;) {
        const std::uint8_t* run = p_;
        bool non_ascii = false;
        p_ = sink.copy_plain(p_, end_, non_ascii);
        malformed = malformed || (non_ascii && !scan::valid_utf8(run, p_));
        if (p_ == end_) {
            return fail_here(std::string(EOF_STRING));
        }
        const std::uint8_t c = *p_;
        ++p_;
        if (c == '"') {
            sink.finish();
            // Like the other faults inside the text, only the first is reported, and
            // bytes that are not UTF-8 are only known to be the first at the end.
            return malformed ? fail_here(std::string(INVALID_CODE_POINT)) : true;
        }
        if (c != '\\') {
            return fail_here(std::string(CONTROL_CHARACTER));
        }
        if (!escape(sink)) {
            return false;
        }
    }
}

// After the backslash.
template <class Sink>
bool Reader::escape(Sink& sink) {
    if (p_ == end_) {
        return fail_here(std::string(EOF_STRING));
    }
    const std::uint8_t c = *p_++;
    if (c == 'u') {
        return unicode_escape(sink);
    }
    const char unescaped = SIMPLE_ESCAPES[c];
    if (unescaped == 0) {
        return fail_here(std::string(INVALID_ESCAPE));
    }
    sink.push(unescaped);
    return true;
}

// The four digits after "\u", read in order: the first byte that is not a hex digit is
// the fault, and a body that ends before it ends inside the string.
bool Reader::hex4(std::uint32_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
        if (p_ == end_) {
            return fail_here(std::string(EOF_STRING));
        }
        const int digit = hex_digit(*p_++);
        if (digit < 0) {
            return fail_here(std::string(INVALID_ESCAPE));
        }
        unit = (unit << 4) | static_cast<std::uint32_t>(digit);
    }
    return true;
}

template <class Sink>
bool Reader::unicode_escape(Sink& sink) {
    std::uint32_t unit = 0;
    if (!hex4(unit)) {
        return false;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return fail_here(std::string(LONE_LEADING_SURROGATE));
    }
    if (unit < 0xD800 || unit > 0xDBFF) {
        push_code_point(sink, unit);
        return true;
    }
    // A leading surrogate: "\u" and a trailing one must follow at once.
    for (char expected : {'\\', 'u'}) {
        if (p_ == end_) {
            return fail_here(std::string(EOF_STRING));
        }
        if (*p_++ != expected) {
            return fail_here(std::string(UNEXPECTED_END_OF_HEX_ESCAPE));
        }
    }
    std::uint32_t trailing = 0;
    if (!hex4(trailing)) {
        return false;
    }
    if (trailing < 0xDC00 || trailing > 0xDFFF) {
        return fail_here(std::string(LONE_LEADING_SURROGATE));
    }
    push_code_point(sink, 0x10000 + ((unit - 0xD800) << 10) + (trailing - 0xDC00));
    return true;
}

// ---- numbers

// At '-' or a digit.
bool Reader::number(Number& n) {
    const std::uint8_t* start = p_;
    const bool negative = *p_ == '-';
    if (negative) {
        ++p_;
    }
    bool integral = true;
    bool overflow = false;
    std::uint64_t magnitude = 0;
    if (p_ == end_) {
        return fail_here(std::string(INVALID_NUMBER));
    }
    const std::uint8_t first = *p_++;
    if (first == '0') {
        if (digit_next()) {
            return fail_next(std::string(INVALID_NUMBER));
        }
    } else if (first >= '1' && first <= '9') {
        magnitude = first - '0';
        while (digit_next()) {
            const std::uint64_t digit = *p_++ - '0';
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
                overflow = true;
            } else if (!overflow) {
                magnitude = magnitude * 10 + digit;
            }
        }
    } else {
        return fail_here(std::string(INVALID_NUMBER));
    }
    if (p_ < end_ && *p_ == '.') {
        integral = false;
        ++p_;
        if (!digit_next()) {
            return fail_next(std::string(p_ == end_ ? EOF_VALUE : INVALID_NUMBER));
        }
        while (digit_next()) {
            ++p_;
        }
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
        integral = false;
        ++p_;
        if (p_ < end_ && (*p_ == '+' || *p_ == '-')) {
            ++p_;
        }
        if (p_ == end_) {
            return fail_here(std::string(EOF_VALUE));
        }
        if (!digit_next()) {
            ++p_;
            return fail_here(std::string(INVALID_NUMBER));
        }
        while (digit_next()) {
            ++p_;
        }
    }
    if (integral && !overflow) {
        if (!negative) {
            n.kind = Number::Kind::Unsigned;
            n.unsigned_value = magnitude;
            return true;
        }
        // -0 and magnitudes beyond the 64-bit range are floating point.
        if (magnitude != 0 && magnitude <= std::uint64_t{1} << 63) {
            n.kind = Number::Kind::Negative;
            n.negative_value = static_cast<std::int64_t>(0 - magnitude);
            return true;
        }
    }
    n.kind = Number::Kind::Float;
    return to_double(start, n.float_value);
}

// The text [start, p_) is a well-formed JSON number.
bool Reader::to_double(const std::uint8_t* start, double& value) {
    const char* first = reinterpret_cast<const char*>(start);
    const char* last = reinterpret_cast<const char*>(p_);
    const auto parsed = std::from_chars(first, last, value);
    if (parsed.ec == std::errc{}) {
        return true;
    }
    // Out of range either way: too large is a fault, too small reads as zero.
    if (decimal_magnitude(first, last) > 0) {
        return fail_here(std::string(NUMBER_OUT_OF_RANGE));
    }
    value = *first == '-' ? -0.0 : 0.0;
    return true;
}

// ---- structure

bool Reader::enter() {
    if (--remaining_depth_ == 0) {
        return fail_next(std::string(RECURSION_LIMIT));
    }
    ++p_;
    return true;
}

void Reader::leave() {
    ++remaining_depth_;
    ++p_;
}

Step Reader::next_element(bool& first) {
    int c = peek();
    if (c == ']') {
        return Step::End;
    }
    if (c == ',' && !first) {
        ++p_;
        c = peek();
        if (c == ']') {
            return refuse_next(TRAILING_COMMA);
        }
        if (c < 0) {
            return refuse_next(EOF_VALUE);
        }
        return Step::Item;
    }
    if (c < 0) {
        return refuse_next(EOF_LIST);
    }
    if (!first) {
        return refuse_next(EXPECTED_COMMA_OR_BRACKET);
    }
    first = false;
    return Step::Item;
}

Step Reader::next_key(bool& first) {
    int c = peek();
    if (c == '}') {
        return Step::End;
    }
    if (c == ',' && !first) {
        ++p_;
        c = peek();
    } else if (c < 0) {
        return refuse_next(EOF_OBJECT);
    } else if (first) {
        first = false;
    } else {
        return refuse_next(EXPECTED_COMMA_OR_BRACE);
    }
    if (c == '"') {
        return Step::Item;
    }
    if (c == '}') {
        return refuse_next(TRAILING_COMMA);
    }
    if (c < 0) {
        return refuse_next(EOF_VALUE);
    }
    return refuse_next(KEY_MUST_BE_STRING);
}

bool Reader::colon() {
    const int c = peek();
    if (c == ':') {
        ++p_;
        return true;
    }
    return fail_next(std::string(c < 0 ? EOF_OBJECT : EXPECTED_COLON));
}

// At '[' or '{': reads the whole nest with an explicit stack.
bool Reader::skip_container() {
    std::array<bool, MAX_DEPTH> is_array{};
    int top = 0;
    bool first = true;
    bool opening = true;  // at the '[' or '{' of a container still to enter
    for (;;) {
        if (opening) {
            const bool array = *p_ == '[';
            if (!enter()) {
                return false;
            }
            is_array[static_cast<size_t>(top++)] = array;
            first = true;
            opening = false;
        }
        const bool array = is_array[static_cast<size_t>(top - 1)];
        const Step step = array ? next_element(first) : next_key(first);
        if (step == Step::Failed) {
            return false;
        }
        if (step == Step::End) {
            leave();
            first = false;
            if (--top == 0) {
                return true;
            }
            continue;
        }
        if (!array) {
            ++p_;
            DiscardSink key;
            if (!string(key) || !colon()) {
                return false;
            }
        }
        const int c = peek();
        if (c == '[' || c == '{') {
            opening = true;
            continue;
        }
        Value ignored;
        if (!scalar(ignored, nullptr)) {
            return false;
        }
    }
}

// ---- values

bool Reader::value(Value& v, std::string* text) {
    const int c = peek();
    if (c == '[' || c == '{') {
        v.type = c == '[' ? Type::Sequence : Type::Map;
        return skip_container();
    }
    return scalar(v, text);
}

bool Reader::scalar(Value& v, std::string* text) {
    const int c = peek();
    switch (c) {
        case -1:
            return fail_next(std::string(EOF_VALUE));
        case 'n':
            v.type = Type::Null;
            return ident("null");
        case 't':
            v.type = Type::True;
            return ident("true");
        case 'f':
            v.type = Type::False;
            return ident("false");
        case '"':
            v.type = Type::String;
            ++p_;
            v.string_body = p_;
            if (text != nullptr) {
                TextSink sink{*text};
                return string(sink);
            } else {
                DiscardSink sink;
                return string(sink);
            }
        default:
            if (c == '-' || (c >= '0' && c <= '9')) {
                v.type = Type::Number;
                return number(v.number);
            }
            return fail_next(std::string(EXPECTED_VALUE));
    }
}

// At the first letter of `word`.
bool Reader::ident(std::string_view word) {
    ++p_;
    for (size_t i = 1; i < word.size(); ++i) {
        if (p_ == end_) {
            return fail_here(std::string(EOF_VALUE));
        }
        if (*p_++ != word[i]) {
            return fail_here(std::string(EXPECTED_IDENT));
        }
    }
    return true;
}

bool Reader::name(Name& name) {
    return string(name);
}

std::string Reader::text_at(const std::uint8_t* string_body) const {
    Reader again(*this);
    again.p_ = string_body;
    std::string text;
    TextSink sink{text};
    again.string(sink);
    return text;
}

std::string Reader::describe(const Value& v) const {
    switch (v.type) {
        case Type::Null:
            return std::string(DESCRIBED_NULL);
        case Type::True:
            return std::string(DESCRIBED_TRUE);
        case Type::False:
            return std::string(DESCRIBED_FALSE);
        case Type::Sequence:
            return std::string(DESCRIBED_SEQUENCE);
        case Type::Map:
            return std::string(DESCRIBED_MAP);
        case Type::String:
            return described_string(text_at(v.string_body));
        case Type::Number:
            break;
    }
    switch (v.number.kind) {
        case Number::Kind::Unsigned:
            return described_integer(v.number.unsigned_value);
        case Number::Kind::Negative:
            return described_integer(v.number.negative_value);
        case Number::Kind::Float:
            break;
    }
    return described_float(v.number.float_value);
}

}  // namespace korvan::proto::json
