#include "proto/decode_response.h"

#include <array>
#include <optional>
#include <string>

#include "common/quote.h"
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

// How much of a body that is no answer the messages quote.
constexpr size_t QUOTED_HEAD = 64;

// Every member that an answer of some kind reads.
constexpr std::array<std::string_view, 8> READ_MEMBERS = {
    KEY_OK,       KEY_VERSION, KEY_SERVICE_VERSION, KEY_RUNNING, KEY_MIXED_PORT,
    KEY_CTL_PORT, KEY_CODE,    KEY_MESSAGE,
};

struct Member {
    bool seen = false;
    bool twice = false;
    Value value;
    // A string's unescaped text.
    std::string text;
};

// The first value of each of READ_MEMBERS, and whether it came again.
struct Members {
    std::array<Member, READ_MEMBERS.size()> slots;

    Member* find(const Name& key) {
        for (size_t i = 0; i < READ_MEMBERS.size(); ++i) {
            if (key.is(READ_MEMBERS[i])) {
                return &slots[i];
            }
        }
        return nullptr;
    }
    const Member& operator[](std::string_view key) const {
        for (size_t i = 0; i < READ_MEMBERS.size(); ++i) {
            if (READ_MEMBERS[i] == key) {
                return slots[i];
            }
        }
        return slots[0];
    }
};

enum class Shape { NotJson, TooDeep, NotObject, Object };

Shape fault_shape(const Reader& r) {
    return r.message().starts_with(RECURSION_LIMIT) ? Shape::TooDeep : Shape::NotJson;
}

// Reads the whole body: the members of READ_MEMBERS are kept, every other member is
// read and dropped.
Shape read_body(Reader& r, Members& members) {
    if (r.peek() != '{') {
        Value ignored;
        if (!r.value(ignored, nullptr)) {
            return fault_shape(r);
        }
        return r.peek() < 0 ? Shape::NotObject : Shape::NotJson;
    }
    r.enter();
    bool first = true;
    for (;;) {
        const Step step = r.next_key(first);
        if (step == Step::Failed) {
            return fault_shape(r);
        }
        if (step == Step::End) {
            break;
        }
        r.advance();
        Name key;
        if (!r.name(key) || !r.colon()) {
            return fault_shape(r);
        }
        Member* member = members.find(key);
        bool read = false;
        if (member != nullptr && !member->seen) {
            member->seen = true;
            read = r.value(member->value, &member->text);
        } else {
            if (member != nullptr) {
                member->twice = true;
            }
            Value ignored;
            read = r.value(ignored, nullptr);
        }
        if (!read) {
            return fault_shape(r);
        }
    }
    r.leave();
    return r.peek() < 0 ? Shape::Object : Shape::NotJson;
}

Failure malformed(std::string text) {
    return Failure{std::string(MALFORMED_REPLY) + std::move(text)};
}

std::string quoted_head(std::string_view body) {
    std::string out = in_quotes(body.substr(0, QUOTED_HEAD));
    if (body.size() > QUOTED_HEAD) {
        out += "...";
    }
    return out;
}

std::string_view answer_kind(std::string_view request_op) {
    if (request_op == KIND_PING) {
        return KIND_PONG;
    }
    if (request_op == KIND_STATUS) {
        return KIND_STATUS;
    }
    if (request_op == KIND_START) {
        return KIND_STARTED;
    }
    if (request_op == KIND_STOP) {
        return KIND_STOPPED;
    }
    return "";
}

// The members of one answer of `kind`: each read member is checked as it is taken.
class Answer {
  public:
    Answer(std::string_view kind, const Members& members) : kind_(kind), members_(members) {}

    // The member `key` when it came once, else the fault: missing, or given twice.
    Result<const Member*> once(std::string_view key) const {
        const Member& member = members_[key];
        if (!member.seen) {
            return fault(key, "is missing");
        }
        if (member.twice) {
            return fault(key, "is given twice");
        }
        return &member;
    }

    Result<std::string> text(std::string_view key) const {
        Result<const Member*> member = once(key);
        if (!member) {
            return member.failure();
        }
        if (member.value()->value.type != Type::String) {
            return fault(key, "is not a string");
        }
        return member.value()->text;
    }

    Result<std::uint16_t> port(std::string_view key) const {
        Result<const Member*> member = once(key);
        if (!member) {
            return member.failure();
        }
        const Value& value = member.value()->value;
        if (value.type != Type::Number || value.number.kind != Number::Kind::Unsigned ||
            value.number.unsigned_value > 0xFFFF) {
            return fault(key, "is not a port number");
        }
        return static_cast<std::uint16_t>(value.number.unsigned_value);
    }

    Result<bool> boolean(std::string_view key) const {
        Result<const Member*> member = once(key);
        if (!member) {
            return member.failure();
        }
        const Type type = member.value()->value.type;
        if (type != Type::True && type != Type::False) {
            return fault(key, "is not a boolean");
        }
        return type == Type::True;
    }

    Result<void> null(std::string_view key, std::string_view why) const {
        Result<const Member*> member = once(key);
        if (!member) {
            return member.failure();
        }
        if (member.value()->value.type != Type::Null) {
            return fault(key, "is not null " + std::string(why));
        }
        return {};
    }

  private:
    Failure fault(std::string_view key, std::string_view what) const {
        return malformed(in_quotes(kind_) + " reply: " + in_quotes(key) + " " + std::string(what));
    }

    std::string_view kind_;
    const Members& members_;
};

Result<response::Started> ports(const Answer& answer) {
    Result<std::uint16_t> mixed = answer.port(KEY_MIXED_PORT);
    if (!mixed) {
        return mixed.failure();
    }
    Result<std::uint16_t> ctl = answer.port(KEY_CTL_PORT);
    if (!ctl) {
        return ctl.failure();
    }
    return response::Started{mixed.value(), ctl.value()};
}

Result<Response> status(const Answer& answer) {
    Result<bool> running = answer.boolean(KEY_RUNNING);
    if (!running) {
        return running.failure();
    }
    if (running.value()) {
        Result<response::Started> on = ports(answer);
        if (!on) {
            return on.failure();
        }
        return Response{response::Status{true, on->mixed_port, on->ctl_port}};
    }
    for (std::string_view key : {KEY_MIXED_PORT, KEY_CTL_PORT}) {
        if (Result<void> off = answer.null(key, "while the core is not running"); !off) {
            return off.failure();
        }
    }
    return Response{response::Status{}};
}

// The answer of `kind`, one of the known kinds.
Result<Response> answer_of(std::string_view kind, const Members& members) {
    const Answer answer(kind, members);
    if (kind == KIND_ERROR) {
        Result<std::string> code = answer.text(KEY_CODE);
        if (!code) {
            return code.failure();
        }
        Result<std::string> message = answer.text(KEY_MESSAGE);
        if (!message) {
            return message.failure();
        }
        return Response{response::Error{std::move(code.value()), std::move(message.value())}};
    }
    if (kind == KIND_PONG) {
        Result<std::string> version = answer.text(KEY_VERSION);
        if (!version) {
            return version.failure();
        }
        Result<std::string> service = answer.text(KEY_SERVICE_VERSION);
        if (!service) {
            return service.failure();
        }
        return Response{response::Pong{std::move(version.value()), std::move(service.value())}};
    }
    if (kind == KIND_STATUS) {
        return status(answer);
    }
    if (kind == KIND_STARTED) {
        Result<response::Started> started = ports(answer);
        if (!started) {
            return started.failure();
        }
        return Response{started.value()};
    }
    return Response{response::Stopped{}};
}

}  // namespace

Result<Response> decode_response(std::span<const std::uint8_t> body, std::string_view request_op) {
    const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
    Reader r(body);
    Members members;
    switch (read_body(r, members)) {
        case Shape::NotJson:
            return malformed("not JSON: " + quoted_head(text));
        case Shape::TooDeep:
            return malformed("nested more than " + std::to_string(json::MAX_DEPTH - 1) +
                             " levels deep: " + quoted_head(text));
        case Shape::NotObject:
            return malformed("not a JSON object: " + quoted_head(text));
        case Shape::Object:
            break;
    }
    const Member& ok = members[KEY_OK];
    if (ok.seen && ok.twice) {
        return malformed(in_quotes(KEY_OK) + " is given twice");
    }
    if (!ok.seen || ok.value.type != Type::String) {
        return malformed("no " + in_quotes(KEY_OK) + " string: " + quoted_head(text));
    }
    const std::string& kind = ok.text;
    if (kind != KIND_PONG && kind != KIND_STATUS && kind != KIND_STARTED && kind != KIND_STOPPED &&
        kind != KIND_ERROR) {
        return malformed("unknown " + in_quotes(KEY_OK) + " " + in_quotes(kind));
    }
    if (kind != KIND_ERROR && !request_op.empty() && kind != answer_kind(request_op)) {
        return malformed(in_quotes(kind) + " does not answer " + std::string(request_op));
    }
    return answer_of(kind, members);
}

}  // namespace korvan::proto
