#pragma once

// The texts of decode_request's faults, in one place: the named constants, and the
// functions that compose a message from them. Every text here is part of what a client
// receives, and tests compare them byte for byte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvan::proto {

// ---- Faults of the JSON text itself, found while it is read

inline constexpr std::string_view EOF_VALUE = "EOF while parsing a value";
inline constexpr std::string_view EOF_LIST = "EOF while parsing a list";
inline constexpr std::string_view EOF_OBJECT = "EOF while parsing an object";
inline constexpr std::string_view EOF_STRING = "EOF while parsing a string";
inline constexpr std::string_view EXPECTED_VALUE = "expected value";
inline constexpr std::string_view EXPECTED_IDENT = "expected ident";
inline constexpr std::string_view EXPECTED_COLON = "expected `:`";
inline constexpr std::string_view EXPECTED_COMMA_OR_BRACKET = "expected `,` or `]`";
inline constexpr std::string_view EXPECTED_COMMA_OR_BRACE = "expected `,` or `}`";
inline constexpr std::string_view KEY_MUST_BE_STRING = "key must be a string";
inline constexpr std::string_view TRAILING_COMMA = "trailing comma";
inline constexpr std::string_view TRAILING_CHARACTERS = "trailing characters";
inline constexpr std::string_view INVALID_NUMBER = "invalid number";
inline constexpr std::string_view NUMBER_OUT_OF_RANGE = "number out of range";
inline constexpr std::string_view INVALID_ESCAPE = "invalid escape";
inline constexpr std::string_view CONTROL_CHARACTER =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view INVALID_CODE_POINT = "invalid unicode code point";
inline constexpr std::string_view LONE_LEADING_SURROGATE = "lone leading surrogate in hex escape";
inline constexpr std::string_view UNEXPECTED_END_OF_HEX_ESCAPE = "unexpected end of hex escape";
// The one fault of the text that is not a fault of JSON: nesting past the decoder's limit.
inline constexpr std::string_view RECURSION_LIMIT = "recursion limit exceeded";

// Every fault of the JSON text above; a message that is none of these is a fault of
// the request's shape.
inline constexpr std::array<std::string_view, 20> JSON_TEXT_FAULTS = {
    EOF_VALUE,
    EOF_LIST,
    EOF_OBJECT,
    EOF_STRING,
    EXPECTED_VALUE,
    EXPECTED_IDENT,
    EXPECTED_COLON,
    EXPECTED_COMMA_OR_BRACKET,
    EXPECTED_COMMA_OR_BRACE,
    KEY_MUST_BE_STRING,
    TRAILING_COMMA,
    TRAILING_CHARACTERS,
    INVALID_NUMBER,
    NUMBER_OUT_OF_RANGE,
    INVALID_ESCAPE,
    CONTROL_CHARACTER,
    INVALID_CODE_POINT,
    LONE_LEADING_SURROGATE,
    UNEXPECTED_END_OF_HEX_ESCAPE,
    RECURSION_LIMIT,
};

// ---- Faults of the request's shape: the parts of the messages composed below

inline constexpr std::string_view EXPECTED_REQUEST = "internally tagged enum Request";
inline constexpr std::string_view EXPECTED_KIND = "variant identifier";
inline constexpr std::string_view EXPECTED_TEXT = "a string";
inline constexpr std::string_view EXPECTED_PORT = "u16";
inline constexpr std::string_view KINDS = "`ping`, `status`, `start`, `stop`";
inline constexpr std::string_view START_TOO_SHORT = "struct variant Request::Start with 4 elements";
inline constexpr std::string_view NO_ELEMENTS = "0 elements in sequence";
inline constexpr std::string_view START_ELEMENTS = "4 elements in sequence";
inline constexpr std::string_view DUPLICATE_FIELD = "duplicate field";
inline constexpr std::string_view MISSING_FIELD = "missing field";

// "invalid type: {described}, expected {expected}"
std::string invalid_type(std::string_view described, std::string_view expected);
// "invalid value: {described}, expected {expected}"
std::string invalid_value(std::string_view described, std::string_view expected);
// "{what} `{field}`", with `what` DUPLICATE_FIELD or MISSING_FIELD.
std::string field_fault(std::string_view what, std::string_view field);
// "invalid length {length}, expected {expected}"
std::string invalid_length(size_t length, std::string_view expected);
// "unknown variant `{kind}`, expected one of {KINDS}"; `kind` is the unescaped text.
std::string unknown_kind(std::string_view kind);

// The suffix of a fault found at a place in the text: " at line {line} column {column}",
// where the column counts bytes from the line's start.
inline constexpr std::string_view AT_LINE = " at line ";
inline constexpr std::string_view AT_COLUMN = " column ";
std::string at_position(std::string_view message, size_t line, size_t column);

// ---- A value as a message names it ("invalid type: {described}, ...")

inline constexpr std::string_view DESCRIBED_NULL = "null";
inline constexpr std::string_view DESCRIBED_TRUE = "boolean `true`";
inline constexpr std::string_view DESCRIBED_FALSE = "boolean `false`";
inline constexpr std::string_view DESCRIBED_SEQUENCE = "sequence";
inline constexpr std::string_view DESCRIBED_MAP = "map";
// "integer `{value}`"
std::string described_integer(std::uint64_t value);
std::string described_integer(std::int64_t value);
// "floating point `{value}`": the shortest digits that read back as the same double,
// written positionally (never with an exponent); a whole value keeps ".0".
std::string described_float(double value);
// "string {text quoted}", quoted as append_quoted does, but only up to a little past
// MAX_FRAME_LEN bytes of quotation: a message that long is never sent whole.
std::string described_string(std::string_view text);

}  // namespace korvan::proto
