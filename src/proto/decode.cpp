#include "proto/decode.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "proto/decode_faults.h"
#include "proto/json_reader.h"

namespace korvan::proto {

namespace {

using json::Name;
using json::Number;
using json::Reader;
using json::Step;
using json::Type;
using json::Value;

enum class Kind { Ping, Status, Start, Stop };

constexpr std::array<std::pair<std::string_view, Kind>, 4> KINDS_BY_NAME = {{
    {KIND_PING, Kind::Ping},
    {KIND_STATUS, Kind::Status},
    {KIND_START, Kind::Start},
    {KIND_STOP, Kind::Stop},
}};

// What a start field's value must be: a string, or an integer from 0 to 65535.
enum class FieldKind { Text, Port };

// A field of the start request: its member name in the object form, its kind, and the
// member of request::Start it fills. In the array form the fields follow the kind in
// this order.
struct StartField {
    std::string_view name;
    FieldKind kind;
    std::string request::Start::*text = nullptr;    // a Text field's slot
    std::uint16_t request::Start::*port = nullptr;  // a Port field's slot
};

constexpr std::array<StartField, 4> START_FIELDS = {{
    {.name = KEY_CONFIG_YAML, .kind = FieldKind::Text, .text = &request::Start::config_yaml},
    {.name = KEY_SECRET, .kind = FieldKind::Text, .text = &request::Start::secret},
    {.name = KEY_MIXED_PORT, .kind = FieldKind::Port, .port = &request::Start::mixed_port},
    {.name = KEY_CTL_PORT, .kind = FieldKind::Port, .port = &request::Start::ctl_port},
}};

static_assert(
    [] {
        for (const StartField& field : START_FIELDS) {
            const bool text = field.kind == FieldKind::Text;
            if ((field.text != nullptr) != text || (field.port != nullptr) == text) {
                return false;
            }
        }
        return true;
    }(),
    "each field fills the slot of its kind");
static_assert(START_FIELDS.size() == 4, "START_TOO_SHORT and START_ELEMENTS count four");

// The start request as its fields are met, and the first fault among them.
struct StartFields {
    request::Start start;
    std::array<bool, START_FIELDS.size()> taken{};
    std::optional<std::string> fault;

    static std::optional<size_t> index_of(const Name& key) {
        for (size_t i = 0; i < START_FIELDS.size(); ++i) {
            if (key.is(START_FIELDS[i].name)) {
                return i;
            }
        }
        return std::nullopt;
    }

    // Reads the value of field `index` and converts it as the field's kind requires.
    bool read(Reader& r, size_t index) {
        const StartField& field = START_FIELDS[index];
        const bool text = field.kind == FieldKind::Text;
        Value v;
        if (!r.value(v, text ? &(start.*field.text) : nullptr)) {
            return false;
        }
        taken[index] = true;
        if (text) {
            if (v.type != Type::String) {
                fault = invalid_type(r.describe(v), EXPECTED_TEXT);
            }
            return true;
        }
        if (v.type == Type::Number && v.number.kind == Number::Kind::Unsigned &&
            v.number.unsigned_value <= 0xFFFF) {
            start.*field.port = static_cast<std::uint16_t>(v.number.unsigned_value);
        } else if (v.type == Type::Number && v.number.kind != Number::Kind::Float) {
            fault = invalid_value(r.describe(v), EXPECTED_PORT);
        } else {
            fault = invalid_type(r.describe(v), EXPECTED_PORT);
        }
        return true;
    }
};

// The kind: a string naming one of the four, at the current value. A value of any
// other type, an array or object included, is read whole before it is refused.
bool read_kind(Reader& r, Kind& kind) {
    if (r.peek() != '"') {
        Value v;
        if (!r.value(v, nullptr)) {
            return false;
        }
        return r.fail_here(invalid_type(r.describe(v), EXPECTED_KIND));
    }
    r.advance();
    const std::uint8_t* body = r.position();
    Name name;
    if (!r.name(name)) {
        return false;
    }
    for (const auto& [word, k] : KINDS_BY_NAME) {
        if (name.is(word)) {
            kind = k;
            return true;
        }
    }
    return r.fail_here(unknown_kind(r.text_at(body)));
}

Request unit_request(Kind kind) {
    switch (kind) {
        case Kind::Ping:
            return request::Ping{};
        case Kind::Status:
            return request::Status{};
        case Kind::Stop:
            return request::Stop{};
        case Kind::Start:
            break;
    }
    return request::Start{};
}

// The object form, at '{'.
std::optional<Request> read_object(Reader& r) {
    r.enter();
    bool first = true;
    std::optional<Kind> kind;
    StartFields fields;
    for (;;) {
        const Step step = r.next_key(first);
        if (step == Step::Failed) {
            return std::nullopt;
        }
        if (step == Step::End) {
            break;
        }
        r.advance();
        Name key;
        if (!r.name(key)) {
            return std::nullopt;
        }
        if (key.is(KEY_OP)) {
            if (kind) {
                // Found with the key: nothing after it is read.
                r.fail_here(field_fault(DUPLICATE_FIELD, KEY_OP));
                return std::nullopt;
            }
            Kind k{};
            if (!r.colon() || !read_kind(r, k)) {
                return std::nullopt;
            }
            kind = k;
            continue;
        }
        if (!r.colon()) {
            return std::nullopt;
        }
        const std::optional<size_t> field = StartFields::index_of(key);
        if (field && !fields.fault) {
            if (!fields.taken[*field]) {
                if (!fields.read(r, *field)) {
                    return std::nullopt;
                }
                continue;
            }
            fields.fault = field_fault(DUPLICATE_FIELD, START_FIELDS[*field].name);
        }
        Value ignored;
        if (!r.value(ignored, nullptr)) {
            return std::nullopt;
        }
    }
    r.leave();
    if (!kind) {
        r.fail_here(field_fault(MISSING_FIELD, KEY_OP));
        return std::nullopt;
    }
    if (*kind != Kind::Start) {
        return unit_request(*kind);
    }
    if (fields.fault) {
        r.fail_unplaced(*fields.fault);
        return std::nullopt;
    }
    for (size_t i = 0; i < START_FIELDS.size(); ++i) {
        if (!fields.taken[i]) {
            r.fail_unplaced(field_fault(MISSING_FIELD, START_FIELDS[i].name));
            return std::nullopt;
        }
    }
    return std::move(fields.start);
}

// The array form, at '[': the kind, then for a start its fields in order.
std::optional<Request> read_array(Reader& r) {
    r.enter();
    bool first = true;
    Step step = r.next_element(first);
    if (step == Step::Failed) {
        return std::nullopt;
    }
    if (step == Step::End) {
        r.leave();
        r.fail_here(field_fault(MISSING_FIELD, KEY_OP));
        return std::nullopt;
    }
    Kind kind{};
    if (!read_kind(r, kind)) {
        return std::nullopt;
    }
    StartFields fields;
    size_t count = 0;
    while ((step = r.next_element(first)) == Step::Item) {
        const size_t index = count++;
        if (kind == Kind::Start && index < START_FIELDS.size() && !fields.fault) {
            if (!fields.read(r, index)) {
                return std::nullopt;
            }
            continue;
        }
        Value ignored;
        if (!r.value(ignored, nullptr)) {
            return std::nullopt;
        }
    }
    if (step == Step::Failed) {
        return std::nullopt;
    }
    r.leave();
    if (kind != Kind::Start) {
        if (count > 0) {
            r.fail_unplaced(invalid_length(count, NO_ELEMENTS));
            return std::nullopt;
        }
        return unit_request(kind);
    }
    if (fields.fault) {
        r.fail_unplaced(*fields.fault);
        return std::nullopt;
    }
    if (count < START_FIELDS.size()) {
        r.fail_unplaced(invalid_length(count, START_TOO_SHORT));
        return std::nullopt;
    }
    if (count > START_FIELDS.size()) {
        r.fail_unplaced(invalid_length(count, START_ELEMENTS));
        return std::nullopt;
    }
    return std::move(fields.start);
}

}  // namespace

Result<Request> decode_request(std::span<const std::uint8_t> body) {
    Reader r(body);
    std::optional<Request> request;
    const int c = r.peek();
    if (c == '{') {
        request = read_object(r);
    } else if (c == '[') {
        request = read_array(r);
    } else {
        Value v;
        if (r.scalar(v, nullptr)) {
            r.fail_here(invalid_type(r.describe(v), EXPECTED_REQUEST));
        }
    }
    if (request && r.peek() >= 0) {
        r.fail_next(std::string(TRAILING_CHARACTERS));
        request.reset();
    }
    if (!request) {
        return Failure{r.message()};
    }
    return std::move(*request);
}

}  // namespace korvan::proto
