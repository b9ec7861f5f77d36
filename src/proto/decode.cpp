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

// The start request's fields as they are met, and the first fault among them.
struct StartFields {
    static constexpr std::array<std::string_view, 4> NAMES = {"config_yaml", "secret", "mixed_port",
                                                              "ctl_port"};
    std::array<bool, 4> taken{};
    std::string texts[2];
    std::uint16_t ports[2] = {0, 0};
    std::optional<std::string> fault;

    static std::optional<size_t> index_of(const Name& key) {
        for (size_t i = 0; i < NAMES.size(); ++i) {
            if (key.is(NAMES[i])) {
                return i;
            }
        }
        return std::nullopt;
    }

    // Reads the value of field `index` and converts it as the field requires.
    bool read(Reader& r, size_t index) {
        Value v;
        if (!r.value(v, index < 2 ? &texts[index] : nullptr)) {
            return false;
        }
        taken[index] = true;
        if (index < 2) {
            if (v.type != Type::String) {
                fault = invalid_type(r.describe(v), EXPECTED_TEXT);
            }
            return true;
        }
        if (v.type == Type::Number && v.number.kind == Number::Kind::Unsigned &&
            v.number.unsigned_value <= 0xFFFF) {
            ports[index - 2] = static_cast<std::uint16_t>(v.number.unsigned_value);
        } else if (v.type == Type::Number && v.number.kind != Number::Kind::Float) {
            fault = invalid_value(r.describe(v), EXPECTED_PORT);
        } else {
            fault = invalid_type(r.describe(v), EXPECTED_PORT);
        }
        return true;
    }

    request::Start take() {
        return request::Start{std::move(texts[0]), std::move(texts[1]), ports[0], ports[1]};
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
    static constexpr std::array<std::pair<std::string_view, Kind>, 4> KINDS_BY_NAME = {
        {{"ping", Kind::Ping},
         {"status", Kind::Status},
         {"start", Kind::Start},
         {"stop", Kind::Stop}}};
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
        if (key.is("op")) {
            if (kind) {
                // Found with the key: nothing after it is read.
                r.fail_here(field_fault(DUPLICATE_FIELD, "op"));
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
            fields.fault = field_fault(DUPLICATE_FIELD, StartFields::NAMES[*field]);
        }
        Value ignored;
        if (!r.value(ignored, nullptr)) {
            return std::nullopt;
        }
    }
    r.leave();
    if (!kind) {
        r.fail_here(field_fault(MISSING_FIELD, "op"));
        return std::nullopt;
    }
    if (*kind != Kind::Start) {
        return unit_request(*kind);
    }
    if (fields.fault) {
        r.fail_unplaced(*fields.fault);
        return std::nullopt;
    }
    for (size_t i = 0; i < fields.taken.size(); ++i) {
        if (!fields.taken[i]) {
            r.fail_unplaced(field_fault(MISSING_FIELD, StartFields::NAMES[i]));
            return std::nullopt;
        }
    }
    return fields.take();
}

// The array form, at '[': the kind, then for a start its four fields in order.
std::optional<Request> read_array(Reader& r) {
    r.enter();
    bool first = true;
    Step step = r.next_element(first);
    if (step == Step::Failed) {
        return std::nullopt;
    }
    if (step == Step::End) {
        r.leave();
        r.fail_here(field_fault(MISSING_FIELD, "op"));
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
        if (kind == Kind::Start && index < fields.taken.size() && !fields.fault) {
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
    if (count < 4) {
        r.fail_unplaced(invalid_length(count, START_TOO_SHORT));
        return std::nullopt;
    }
    if (count > 4) {
        r.fail_unplaced(invalid_length(count, START_ELEMENTS));
        return std::nullopt;
    }
    return fields.take();
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
