#pragma once

// The JSON reader under decode_request: one forward pass over a body's bytes (RFC
// 8259), driven by the caller a step at a time. It builds no tree: the caller says,
// value by value, which string's text to keep, and learns of every other value only its
// type, its number, or where its string starts. Arrays and objects the caller does not
// walk itself are read to their end with an explicit stack; nesting costs no native
// recursion.
//
// Faults: every read function returns false (or Step::Failed) once a fault has been
// recorded, and the first fault is the only one kept. Its message (decode_faults.h)
// carries the position where it was found, or none when the caller found it after the
// text was read.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace korvan::proto::json {

// The request's own object or array is the first level; a container that would be the
// 128th is refused.
inline constexpr int MAX_DEPTH = 128;

struct Number {
    enum class Kind { Unsigned, Negative, Float };
    Kind kind = Kind::Unsigned;
    std::uint64_t unsigned_value = 0;
    std::int64_t negative_value = 0;
    double float_value = 0;
};

enum class Type { Null, True, False, Number, String, Sequence, Map };

// What the caller learns of a value once it has been read.
struct Value {
    Type type = Type::Null;
    Number number;
    const std::uint8_t* string_body = nullptr;  // first byte after the opening quote
};

// Where a walk through an array or object stands before its next element or member.
enum class Step { Item, End, Failed };

// A short string's text (a key, a kind), kept without allocating; a longer one is
// known only to match no name. The methods other than `is` are the reader's.
struct Name {
    std::array<char, 16> bytes{};
    size_t size = 0;
    bool too_long = false;

    bool is(std::string_view name) const {
        return !too_long && std::string_view(bytes.data(), size) == name;
    }

    void start(size_t) {}
    const std::uint8_t* copy_plain(const std::uint8_t* p, const std::uint8_t* end, bool& non_ascii);
    void append(const std::uint8_t* from, size_t n);
    void push(char c);
    void finish() {}
};

// Reads `body`, which must outlive it.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> body)
        : begin_(body.data()), p_(body.data()), end_(body.data() + body.size()) {}

    // ---- faults

    // The first fault's message, with " at line L column C" when it has a position.
    std::string message() const;

    // Records a fault found at the last byte read: its position is just past it.
    bool fail_here(std::string message) { return fail(std::move(message), offset()); }
    // Records a fault found at the next byte, which has not been read: just past it, or
    // the end.
    bool fail_next(std::string message) {
        return fail(std::move(message), p_ < end_ ? offset() + 1 : offset());
    }
    // Records a fault found after the text was read: no position.
    bool fail_unplaced(std::string message) { return fail(std::move(message), std::nullopt); }

    // ---- bytes

    // Skips blanks; the next byte, or -1 at the end.
    int peek() {
        while (p_ < end_) {
            const std::uint8_t c = *p_;
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
                return c;
            }
            ++p_;
        }
        return -1;
    }
    void advance() { ++p_; }
    const std::uint8_t* position() const { return p_; }

    // ---- structure

    // Enters an array or object at the current '[' or '{'; refuses the level past
    // MAX_DEPTH.
    bool enter();
    // Leaves it at the current ']' or '}'.
    void leave();

    // Before the next element of an array: Item (at its first byte) or End (at ']').
    // `first` is true before the first element and is cleared by the call.
    Step next_element(bool& first);
    // Before the next member of an object: Item (at the key's opening quote) or End
    // (at '}'). `first` as for next_element.
    Step next_key(bool& first);
    // Reads the ':' after a key.
    bool colon();

    // ---- values

    // Reads any value. A string's unescaped text goes to `text` when it is given;
    // arrays and objects are read to their end without keeping anything.
    bool value(Value& v, std::string* text);
    // Reads a value that is not an array or object; any other byte is a fault.
    bool scalar(Value& v, std::string* text);
    // After a string's opening quote: reads through the closing quote into `name`.
    bool name(Name& name);

    // The unescaped text of a string already read without fault, from the first byte
    // after its opening quote.
    std::string text_at(const std::uint8_t* string_body) const;
    // The value as a fault message names it ("integer `5`", "string \"a\"", ...).
    std::string describe(const Value& v) const;

  private:
    size_t offset() const { return static_cast<size_t>(p_ - begin_); }
    bool fail(std::string message, std::optional<size_t> at);
    Step refuse_next(std::string_view message);

    bool ident(std::string_view word);
    template <class Sink>
    bool string(Sink& sink);
    template <class Sink>
    bool escape(Sink& sink);
    bool hex4(std::uint32_t& unit);
    template <class Sink>
    bool unicode_escape(Sink& sink);
    bool digit_next() const { return p_ < end_ && *p_ >= '0' && *p_ <= '9'; }
    bool number(Number& n);
    bool to_double(const std::uint8_t* start, double& value);
    bool skip_container();

    const std::uint8_t* begin_;
    const std::uint8_t* p_;
    const std::uint8_t* end_;
    int remaining_depth_ = MAX_DEPTH;
    bool failed_ = false;
    std::string message_;
    std::optional<size_t> at_;
};

}  // namespace korvan::proto::json
