// Request decoding: every acceptance rule, every fault message and its position.

#include "proto/decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvan::proto {
namespace {

// A decoded request, or its fault, as one comparable line.
std::string outcome(const Result<Request>& r) {
    if (!r.ok()) {
        return "fault: " + r.error();
    }
    struct Show {
        std::string operator()(const request::Ping&) const { return "ping"; }
        std::string operator()(const request::Status&) const { return "status"; }
        std::string operator()(const request::Stop&) const { return "stop"; }
        std::string operator()(const request::Start& s) const {
            return "start [" + s.config_yaml + "] [" + s.secret + "] " +
                   std::to_string(s.mixed_port) + " " + std::to_string(s.ctl_port);
        }
    };
    return std::visit(Show{}, r.value());
}

std::string start(const std::string& config, const std::string& secret, int mixed, int ctl) {
    return "start [" + config + "] [" + secret + "] " + std::to_string(mixed) + " " +
           std::to_string(ctl);
}

std::string fault(const std::string& message) {
    return "fault: " + message;
}

Result<Request> decode(const std::string& body) {
    return decode_request(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
}

struct Case {
    std::string body;
    std::string expected;
};

void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(outcome(decode(c.body)), c.expected) << "body: " << c.body;
    }
}

// A start request whose mixed_port member holds `value`.
std::string with_port(const std::string& value) {
    return R"({"op":"start","config_yaml":"a","secret":"","mixed_port":)" + value +
           R"(,"ctl_port":1})";
}

// A start request whose config_yaml member holds `value`.
std::string with_config(const std::string& value) {
    return R"({"op":"start","config_yaml":)" + value +
           R"(,"secret":"","mixed_port":1,"ctl_port":2})";
}

// A ping with `value` in a member that is ignored: `value` starts at column 18.
std::string ping_with(const std::string& value) {
    return R"({"op":"ping","x":)" + value + "}";
}

TEST(DecodeRequest, AcceptedRequests) {
    check({
        {R"({"op":"ping"})", "ping"},
        {R"({"op":"status"})", "status"},
        {R"({"op":"stop"})", "stop"},
        {R"({"op":"start","config_yaml":"key: value\n","secret":"","mixed_port":10800,"ctl_port":10900})",
         start("key: value\n", "", 10800, 10900)},
        {R"({"op":"ping","extra":[1,2,{"x":null}]})", "ping"},
        {R"({"extra":1,"op":"stop"})", "stop"},
        {R"({"op":"start","config_yaml":"","secret":"","mixed_port":0,"ctl_port":65535})",
         start("", "", 0, 65535)},
        {R"({"ctl_port":2,"mixed_port":1,"secret":"s","config_yaml":"c","op":"start"})",
         start("c", "s", 1, 2)},
        {R"({"op":"start","config_yaml":"c","secret":"s","mixed_port":1,"ctl_port":2,"x":[{}]})",
         start("c", "s", 1, 2)},
        {" \t\r\n{ \"op\" : \"ping\" } \r\n\t ", "ping"},
        // Other members of a ping, status or stop are ignored, whatever they hold.
        {R"({"op":"ping","mixed_port":"x","config_yaml":5,"secret":[],"ctl_port":1.5})", "ping"},
        {R"({"op":"status","config_yaml":"a","config_yaml":"b"})", "status"},
        // Keys and kinds are compared after unescaping.
        {R"({"op":"p\u0069ng"})", "ping"},
        {R"({"\u006fp":"stop"})", "stop"},
        {R"({"op":"start","config\u005fyaml":"c","secret":"s","mixed_port":1,"ctl_port":2})",
         start("c", "s", 1, 2)},
        // Array form.
        {R"(["ping"])", "ping"},
        {R"(["status"])", "status"},
        {R"([ "stop" ])", "stop"},
        {R"(["start","key: value","",10800,10900])", start("key: value", "", 10800, 10900)},
        // Numbers that read as zero are no fault in an ignored member.
        {ping_with("1e-400"), "ping"},
        {ping_with("-0.0e+5"), "ping"},
        {ping_with("123456789012345678901234567890"), "ping"},
    });
}

TEST(DecodeRequest, StringsArriveUnescaped) {
    check({
        {with_config(R"("a\nb\"c\u00e9")"), start("a\nb\"c\xC3\xA9", "", 1, 2)},
        {with_config(R"("\"\\\/\b\f\n\r\t\u0041")"), start("\"\\/\b\f\n\r\tA", "", 1, 2)},
        {with_config(R"("\u00e9\u670d\ud83d\ude00")"),
         start("\xC3\xA9\xE6\x9C\x8D\xF0\x9F\x98\x80", "", 1, 2)},
        {with_config("\"\xC3\xA9\xE6\x9C\x8D\xF0\x9F\x98\x80\x7F\""),
         start("\xC3\xA9\xE6\x9C\x8D\xF0\x9F\x98\x80\x7F", "", 1, 2)},
        {with_config(R"("\u0000")"), start(std::string("\0", 1), "", 1, 2)},
        {with_config(R"("\uDBFF\uDFFF")"), start("\xF4\x8F\xBF\xBF", "", 1, 2)},
    });
}

TEST(DecodeRequest, LongConfigurationArrivesWhole) {
    std::string yaml;
    std::string escaped;
    for (int i = 0; yaml.size() < 200'000; ++i) {
        const std::string line = "name-" + std::to_string(i) + ": \"caf\xC3\xA9\" \\ path\n";
        yaml += line;
        escaped += "name-" + std::to_string(i) + ": \\\"caf\xC3\xA9\\\" \\\\ path\\n";
    }
    check({{with_config("\"" + escaped + "\""), start(yaml, "", 1, 2)}});
}

TEST(DecodeRequest, EachKindOfFaultNamesItsCauseAndPosition) {
    check({
        {R"({"op":"Ping"})", fault("unknown variant `Ping`, expected one of `ping`, `status`, "
                                   "`start`, `stop` at line 1 column 12")},
        {R"({})", fault("missing field `op` at line 1 column 2")},
        {R"({"op":5})",
         fault("invalid type: integer `5`, expected variant identifier at line 1 column 7")},
        {R"({"op":"ping","op":"ping"})", fault("duplicate field `op` at line 1 column 17")},
        {R"({"op":"ping"} x)", fault("trailing characters at line 1 column 15")},
        {R"({"op":"start","config_yaml":"a"})", fault("missing field `secret`")},
        {"{\"op\":\"start\",\n \"mixed_port\":10800",
         fault("EOF while parsing an object at line 2 column 19")},
    });
}

TEST(DecodeRequest, StartFieldOfTheWrongTypeOrRangeIsRefused) {
    check({
        {with_port("65536"), fault("invalid value: integer `65536`, expected u16")},
        {with_port("70000"), fault("invalid value: integer `70000`, expected u16")},
        {with_port("-1"), fault("invalid value: integer `-1`, expected u16")},
        {with_port(R"("10800")"), fault(R"(invalid type: string "10800", expected u16)")},
        {with_port("10800.0"), fault("invalid type: floating point `10800.0`, expected u16")},
        {with_port("1.08e4"), fault("invalid type: floating point `10800.0`, expected u16")},
        {with_port("null"), fault("invalid type: null, expected u16")},
        {with_port("true"), fault("invalid type: boolean `true`, expected u16")},
        {with_port("[10800]"), fault("invalid type: sequence, expected u16")},
        {with_port(R"({"p":1})"), fault("invalid type: map, expected u16")},
        {with_config("1"), fault("invalid type: integer `1`, expected a string")},
        {with_config("false"), fault("invalid type: boolean `false`, expected a string")},
        {with_config("null"), fault("invalid type: null, expected a string")},
        {with_config(R"(["a"])"), fault("invalid type: sequence, expected a string")},
        {with_config("{}"), fault("invalid type: map, expected a string")},
        {R"({"op":"start","config_yaml":"a","secret":7,"mixed_port":1,"ctl_port":2})",
         fault("invalid type: integer `7`, expected a string")},
        {R"({"op":"start","config_yaml":"a","config_yaml":"b","secret":"","mixed_port":1,"ctl_port":2})",
         fault("duplicate field `config_yaml`")},
        {R"({"op":"start","config_yaml":"a","secret":"","mixed_port":1,"ctl_port":2,"ctl_port":3})",
         fault("duplicate field `ctl_port`")},
        // Members are converted in order, and before missing fields are looked for.
        {R"({"op":"start","mixed_port":1.5})",
         fault("invalid type: floating point `1.5`, expected u16")},
        {R"({"op":"start","secret":5,"config_yaml":1})",
         fault("invalid type: integer `5`, expected a string")},
        {R"({"op":"start","config_yaml":"a","config_yaml":5})",
         fault("duplicate field `config_yaml`")},
        {R"({"mixed_port":99999,"op":"start"})",
         fault("invalid value: integer `99999`, expected u16")},
        {R"({"op":"start"})", fault("missing field `config_yaml`")},
        {R"({"op":"start","config_yaml":"a","secret":""})", fault("missing field `mixed_port`")},
        {R"({"op":"start","config_yaml":"a","secret":"","mixed_port":1})",
         fault("missing field `ctl_port`")},
        // Found after the text is read, so before trailing characters are looked for.
        {R"({"op":"start"} x)", fault("missing field `config_yaml`")},
    });
}

TEST(DecodeRequest, RefusedValuesAreDescribedAsWritten) {
    const std::string zeros300(300, '0');
    check({
        {with_port("18446744073709551615"),
         fault("invalid value: integer `18446744073709551615`, expected u16")},
        {with_port("18446744073709551616"),
         fault("invalid type: floating point `18446744073709552000.0`, expected u16")},
        {with_port("-9223372036854775808"),
         fault("invalid value: integer `-9223372036854775808`, expected u16")},
        {with_port("-9223372036854775809"),
         fault("invalid type: floating point `-9223372036854776000.0`, expected u16")},
        {with_port("-0"), fault("invalid type: floating point `-0.0`, expected u16")},
        {with_port("0.0"), fault("invalid type: floating point `0.0`, expected u16")},
        {with_port("0.1"), fault("invalid type: floating point `0.1`, expected u16")},
        {with_port("1.5e-7"), fault("invalid type: floating point `0.00000015`, expected u16")},
        {with_port("1e300"),
         fault("invalid type: floating point `1" + zeros300 + ".0`, expected u16")},
        {with_port("5e-324"),
         fault("invalid type: floating point `0." + std::string(323, '0') + "5`, expected u16")},
        {with_port("1.7976931348623157e308"),
         fault("invalid type: floating point `17976931348623157" + std::string(292, '0') +
               ".0`, expected u16")},
        {with_port("123.456"), fault("invalid type: floating point `123.456`, expected u16")},
        {with_port("1e-400"), fault("invalid type: floating point `0.0`, expected u16")},
        {with_port("-1e-400"), fault("invalid type: floating point `-0.0`, expected u16")},
        // Strings: the unescaped text, quoted with \" \\ \t \r \n \0 and \u{..} for the
        // other control characters.
        {with_port(R"("a\"b\\c\/d")"), fault(R"(invalid type: string "a\"b\\c/d", expected u16)")},
        {with_port(R"("\t\r\n\u0000")"), fault(R"(invalid type: string "\t\r\n\0", expected u16)")},
        {with_port(R"("\u0001\b\f\u001f\u007f\u0085")"),
         fault(R"(invalid type: string "\u{1}\u{8}\u{c}\u{1f}\u{7f}\u{85}", expected u16)")},
        {with_port("\"caf\xC3\xA9 \\u00a0\xE6\x9C\x8D\""),
         fault("invalid type: string \"caf\xC3\xA9 \xC2\xA0\xE6\x9C\x8D\", expected u16")},
        {with_port(R"("")"), fault(R"(invalid type: string "", expected u16)")},
    });
}

// The C1 control U+0085, then é and a: 5 bytes each time, so that the bytes of a long
// string lie at every offset from its beginning.
TEST(DecodeRequest, LongStringsAreDescribedWhole) {
    std::string value;
    std::string described;
    for (int i = 0; i < 10'000; ++i) {
        value +=
            "\xC2\x85\xC3\xA9"
            "a";
        described +=
            "\\u{85}\xC3\xA9"
            "a";
    }
    check({{with_port("\"" + value + "\""),
            fault("invalid type: string \"" + described + "\", expected u16")}});
}

// Described whole, the 1,048,504 bytes 0x7F of this start's mixed_port would make a
// message of 6,291,061 bytes (\u{7f} for each).
TEST(DecodeRequest, DescriptionLongerThanAFrameIsCutShort) {
    const size_t count = 1'048'504;
    const std::string body = R"({"op":"start","config_yaml":"","secret":"","mixed_port":")" +
                             std::string(count, '\x7F') + R"(","ctl_port":1})";
    ASSERT_EQ(body.size(), 1'048'576u);
    const Result<Request> decoded = decode(body);
    ASSERT_FALSE(decoded.ok());
    const std::string& message = decoded.error();

    std::string whole = "invalid type: string \"";
    for (size_t i = 0; i < count; ++i) {
        whole += "\\u{7f}";
    }
    whole += "\", expected u16";
    ASSERT_EQ(whole.size(), 6'291'061u);
    EXPECT_LT(message.size(), 2'097'152u);
    EXPECT_GT(message.size(), 1'048'576u);
    EXPECT_TRUE(message.compare(0, 1'048'576, whole, 0, 1'048'576) == 0)
        << "the first 1 MiB differs from the whole description";
    EXPECT_TRUE(message.ends_with("\", expected u16")) << message.substr(message.size() - 40);
}

TEST(DecodeRequest, KindThatIsNotAKnownNameIsRefused) {
    check({
        {R"({"op":null})",
         fault("invalid type: null, expected variant identifier at line 1 column 10")},
        {R"({"op":true})",
         fault("invalid type: boolean `true`, expected variant identifier at line 1 column 10")},
        {R"({"op":-2.50})", fault("invalid type: floating point `-2.5`, expected variant "
                                  "identifier at line 1 column 11")},
        // A container is read whole, and refused just past its end.
        {R"({"op":[1]})",
         fault("invalid type: sequence, expected variant identifier at line 1 column 9")},
        {R"({"op": {"a":1}})",
         fault("invalid type: map, expected variant identifier at line 1 column 14")},
        {R"({"op":[] })",
         fault("invalid type: sequence, expected variant identifier at line 1 column 8")},
        {"{\"op\":[\n[],\n{}]}",
         fault("invalid type: sequence, expected variant identifier at line 3 column 3")},
        // So a syntax fault inside it is found first.
        {R"({"op":[1,]})", fault("trailing comma at line 1 column 10")},
        {R"({"op":{"a"}})", fault("expected `:` at line 1 column 11")},
        {R"({"op":[1)", fault("EOF while parsing a list at line 1 column 8")},
        {R"({"op":"PING"})", fault("unknown variant `PING`, expected one of `ping`, `status`, "
                                   "`start`, `stop` at line 1 column 12")},
        {R"({"op":""})", fault("unknown variant ``, expected one of `ping`, `status`, `start`, "
                               "`stop` at line 1 column 8")},
        // The kind is quoted as sent, after unescaping, with no escapes of its own.
        {R"({"op":"a\"b\u00e9\n"})",
         fault("unknown variant `a\"b\xC3\xA9\n`, expected one of `ping`, `status`, `start`, "
               "`stop` at line 1 column 20")},
        {R"({"op":"stop","op":"stop"})", fault("duplicate field `op` at line 1 column 17")},
        // Found with the repeated key: it is placed just past the key, and nothing after
        // it is read.
        {R"({"op":"ping","op"  :1})", fault("duplicate field `op` at line 1 column 17")},
        {R"({"op":"ping","op"})", fault("duplicate field `op` at line 1 column 17")},
        {R"({"op":"ping", "op" })", fault("duplicate field `op` at line 1 column 18")},
        {R"({"op":"ping","op")", fault("duplicate field `op` at line 1 column 17")},
        {R"({"op":"ping","op" x)", fault("duplicate field `op` at line 1 column 17")},
        {R"({"op":"ping","o\u0070":)", fault("duplicate field `op` at line 1 column 22")},
        {"{\"op\":\"ping\",\n\"op\"\n:1}", fault("duplicate field `op` at line 2 column 4")},
        {R"({ })", fault("missing field `op` at line 1 column 3")},
        {R"({"mixed_port":"x"})", fault("missing field `op` at line 1 column 18")},
        {"{\n}", fault("missing field `op` at line 2 column 1")},
        // The kind is read, and refused, as soon as it is met.
        {R"({"op":"Stop","x":})", fault("unknown variant `Stop`, expected one of `ping`, `status`, "
                                        "`start`, `stop` at line 1 column 12")},
    });
}

TEST(DecodeRequest, ArrayTakesTheKindThenTheFieldsInOrder) {
    check({
        {R"([])", fault("missing field `op` at line 1 column 2")},
        {R"([ ])", fault("missing field `op` at line 1 column 3")},
        {R"([1])",
         fault("invalid type: integer `1`, expected variant identifier at line 1 column 2")},
        {R"([[1]])",
         fault("invalid type: sequence, expected variant identifier at line 1 column 4")},
        {R"([{},"ping"])",
         fault("invalid type: map, expected variant identifier at line 1 column 3")},
        {R"(["Ping"])", fault("unknown variant `Ping`, expected one of `ping`, `status`, `start`, "
                              "`stop` at line 1 column 7")},
        {R"(["ping",1])", fault("invalid length 1, expected 0 elements in sequence")},
        {R"(["stop",[1],{}])", fault("invalid length 2, expected 0 elements in sequence")},
        {R"(["start"])",
         fault("invalid length 0, expected struct variant Request::Start with 4 elements")},
        {R"(["start","a","",1])",
         fault("invalid length 3, expected struct variant Request::Start with 4 elements")},
        {R"(["start","a","",1,2,3])", fault("invalid length 5, expected 4 elements in sequence")},
        {R"(["start","a","",1,2,3,4])", fault("invalid length 6, expected 4 elements in sequence")},
        {R"(["start",1,"",1])", fault("invalid type: integer `1`, expected a string")},
        {R"(["start","a","",1,-2,3])", fault("invalid value: integer `-2`, expected u16")},
        {R"(["ping",1)", fault("EOF while parsing a list at line 1 column 9")},
    });
}

TEST(DecodeRequest, BodyThatIsNotAnObjectOrArrayIsRefused) {
    check({
        {"null",
         fault("invalid type: null, expected internally tagged enum Request at line 1 column 4")},
        {"true", fault("invalid type: boolean `true`, expected internally tagged enum Request at "
                       "line 1 column 4")},
        {"false", fault("invalid type: boolean `false`, expected internally tagged enum Request at "
                        "line 1 column 5")},
        {"5", fault("invalid type: integer `5`, expected internally tagged enum Request at line 1 "
                    "column 1")},
        {" -5 ", fault("invalid type: integer `-5`, expected internally tagged enum Request at "
                       "line 1 column 3")},
        {"1.5", fault("invalid type: floating point `1.5`, expected internally tagged enum Request "
                      "at line 1 column 3")},
        {R"("ping")",
         fault(
             R"(invalid type: string "ping", expected internally tagged enum Request at line 1 column 6)")},
        {"", fault("EOF while parsing a value at line 1 column 0")},
        {" \t\r\n ", fault("EOF while parsing a value at line 2 column 1")},
        {"\xEF\xBB\xBF{\"op\":\"ping\"}", fault("expected value at line 1 column 1")},
        {"x", fault("expected value at line 1 column 1")},
        {"}", fault("expected value at line 1 column 1")},
    });
}

TEST(DecodeRequest, MalformedJsonIsRefusedAtTheFirstBadByte) {
    check({
        {"{", fault("EOF while parsing an object at line 1 column 1")},
        {R"({"op")", fault("EOF while parsing an object at line 1 column 5")},
        {R"({"op":)", fault("EOF while parsing a value at line 1 column 6")},
        {R"({"op":"ping")", fault("EOF while parsing an object at line 1 column 12")},
        {R"({"op":"ping",)", fault("EOF while parsing a value at line 1 column 13")},
        {R"({"op" "ping"})", fault("expected `:` at line 1 column 7")},
        {R"({"op":"ping" "x":1})", fault("expected `,` or `}` at line 1 column 14")},
        {R"({"op":"ping",})", fault("trailing comma at line 1 column 14")},
        {R"({"op":"ping",1:2})", fault("key must be a string at line 1 column 14")},
        {R"({1:2})", fault("key must be a string at line 1 column 2")},
        {R"({,})", fault("key must be a string at line 1 column 2")},
        {"[", fault("EOF while parsing a list at line 1 column 1")},
        {R"(["ping")", fault("EOF while parsing a list at line 1 column 7")},
        {R"(["ping",)", fault("EOF while parsing a value at line 1 column 8")},
        {R"(["ping",])", fault("trailing comma at line 1 column 9")},
        {R"(["ping" 1])", fault("expected `,` or `]` at line 1 column 9")},
        {R"([,])", fault("expected value at line 1 column 2")},
        {R"({"op":"ping"}})", fault("trailing characters at line 1 column 14")},
        {R"({"op":"ping"} {})", fault("trailing characters at line 1 column 15")},
        // Inside an ignored member, whose value starts at column 18.
        {ping_with("nul"), fault("expected ident at line 1 column 21")},
        {ping_with("nulll"), fault("expected `,` or `}` at line 1 column 22")},
        {ping_with("tru"), fault("expected ident at line 1 column 21")},
        {ping_with("fals"), fault("expected ident at line 1 column 22")},
        {R"({"op":"ping","x":nul)", fault("EOF while parsing a value at line 1 column 20")},
        {ping_with("+1"), fault("expected value at line 1 column 18")},
        {ping_with(".5"), fault("expected value at line 1 column 18")},
        {ping_with("01"), fault("invalid number at line 1 column 19")},
        {ping_with("-01"), fault("invalid number at line 1 column 20")},
        {ping_with("-"), fault("invalid number at line 1 column 19")},
        {ping_with("-x"), fault("invalid number at line 1 column 19")},
        {R"({"op":"ping","x":-)", fault("invalid number at line 1 column 18")},
        {ping_with("1."), fault("invalid number at line 1 column 20")},
        {ping_with("1.e5"), fault("invalid number at line 1 column 20")},
        {R"({"op":"ping","x":1.)", fault("EOF while parsing a value at line 1 column 19")},
        {ping_with("1e"), fault("invalid number at line 1 column 20")},
        {ping_with("1e+"), fault("invalid number at line 1 column 21")},
        {R"({"op":"ping","x":1e)", fault("EOF while parsing a value at line 1 column 19")},
        {ping_with("1e400"), fault("number out of range at line 1 column 22")},
        {ping_with("-1e400"), fault("number out of range at line 1 column 23")},
        {ping_with("1" + std::string(400, '0')), fault("number out of range at line 1 column 418")},
        {ping_with("1e99999999999999999999"), fault("number out of range at line 1 column 39")},
        {ping_with(R"("a\qb")"), fault("invalid escape at line 1 column 21")},
        {ping_with(R"("\u12G4")"), fault("invalid escape at line 1 column 23")},
        {ping_with(R"("\U0041")"), fault("invalid escape at line 1 column 20")},
        {ping_with("\"a\x01\""), fault("control character (\\u0000-\\u001F) found while parsing a "
                                       "string at line 1 column 20")},
        {ping_with("\"a\n\""), fault("control character (\\u0000-\\u001F) found while parsing a "
                                     "string at line 2 column 0")},
        {ping_with("\"\xFF\""), fault("invalid unicode code point at line 1 column 20")},
        {ping_with("\"\xC3\xA9\xC3\""), fault("invalid unicode code point at line 1 column 22")},
        {ping_with("\"\xED\xA0\x80\""), fault("invalid unicode code point at line 1 column 22")},
        {ping_with("\"\xC0\xAF\""), fault("invalid unicode code point at line 1 column 21")},
        {ping_with("\"\xF4\x90\x80\x80\""),
         fault("invalid unicode code point at line 1 column 23")},
        {ping_with("\"\xC3\\n\""), fault("invalid unicode code point at line 1 column 22")},
        // A fault inside the text is found before bytes that are not UTF-8.
        {ping_with("\"\xFF\\q\""), fault("invalid escape at line 1 column 21")},
        {"{\"op\":\"ping\",\"x\":\"\xFF", fault("EOF while parsing a string at line 1 column 19")},
        {ping_with(R"("\uDC00")"),
         fault("lone leading surrogate in hex escape at line 1 column 24")},
        {ping_with(R"("\uD800\u0041")"),
         fault("lone leading surrogate in hex escape at line 1 column 30")},
        {ping_with(R"("\uD800\uD800")"),
         fault("lone leading surrogate in hex escape at line 1 column 30")},
        {ping_with(R"("\uD800x")"), fault("unexpected end of hex escape at line 1 column 25")},
        {ping_with(R"("\uD800\n")"), fault("unexpected end of hex escape at line 1 column 26")},
        {R"({"op":"ping","x":"abc)", fault("EOF while parsing a string at line 1 column 21")},
        {R"({"op":"ping","x":"\)", fault("EOF while parsing a string at line 1 column 19")},
        {R"({"op":"ping","x":"\u12)", fault("EOF while parsing a string at line 1 column 22")},
        {R"({"op":"ping","x":"\uD800)", fault("EOF while parsing a string at line 1 column 24")},
        {R"({"op":"ping","x":"\uD800\)", fault("EOF while parsing a string at line 1 column 25")},
        {R"({"op":"ping","x":[1,{"a":[}]]})", fault("expected value at line 1 column 27")},
        {R"({"op":"ping","x":[1,{"a" 2}]})", fault("expected `:` at line 1 column 26")},
    });
}

// A \u escape's four bytes are read in order: the first that is not a hex digit is
// the fault, placed just past it, and a body that ends before one is met ends inside
// the string.
TEST(DecodeRequest, UnicodeEscapeIsRefusedAtItsFirstNonHexDigit) {
    check({
        // Upper and lower case digits alike.
        {R"({"op":"p\u0069\u006E\u0067"})", "ping"},
        {R"({"op":"\u0070\u0069\u006e\u0067"})", "ping"},
        // In the kind, whose \u starts at column 8: the bad byte in each of the four places.
        {R"({"op":"\uG234"})", fault("invalid escape at line 1 column 10")},
        {R"({"op":"\u1G34"})", fault("invalid escape at line 1 column 11")},
        {R"({"op":"\u12G4"})", fault("invalid escape at line 1 column 12")},
        {R"({"op":"\u123G"})", fault("invalid escape at line 1 column 13")},
        // The first bad byte counts, not a later one.
        {R"({"op":"\u1GGG"})", fault("invalid escape at line 1 column 11")},
        // Any byte that is no hex digit: a blank, a sign, the closing quote, a backslash.
        {R"({"op":"\u 123"})", fault("invalid escape at line 1 column 10")},
        {R"({"op":"\u+123"})", fault("invalid escape at line 1 column 10")},
        {R"({"op":"\u12"})", fault("invalid escape at line 1 column 12")},
        {R"({"op":"\u\u0070"})", fault("invalid escape at line 1 column 10")},
        {"{\"op\":\"\\u0\xC3\xA9"
         "0\"}",
         fault("invalid escape at line 1 column 11")},
        // In a key.
        {R"({"\uG070":"ping"})", fault("invalid escape at line 1 column 5")},
        {R"({"o\u00x0":"ping"})", fault("invalid escape at line 1 column 8")},
        // In a start field and in an ignored member.
        {with_config(R"("\u00eZ")"), fault("invalid escape at line 1 column 35")},
        {ping_with(R"("a\u004g")"), fault("invalid escape at line 1 column 25")},
        // In the array form's kind, and after a line feed.
        {R"(["\uG"])", fault("invalid escape at line 1 column 5")},
        {"{\"op\":\n\"\\u0G00\"}", fault("invalid escape at line 2 column 5")},
        // In the second escape of a surrogate pair, whose \u starts at column 14.
        {R"({"op":"\uD83D\uG000"})", fault("invalid escape at line 1 column 16")},
        {R"({"op":"\uD83D\uDx00"})", fault("invalid escape at line 1 column 17")},
        {R"({"op":"\uD83D\uDEx0"})", fault("invalid escape at line 1 column 18")},
        {R"({"op":"\uD83D\uDE0G"})", fault("invalid escape at line 1 column 19")},
        // The body ends before a bad byte: the string is cut short, placed at the end.
        {R"({"op":"\u)", fault("EOF while parsing a string at line 1 column 9")},
        {R"({"op":"\u1)", fault("EOF while parsing a string at line 1 column 10")},
        {R"({"op":"\u123)", fault("EOF while parsing a string at line 1 column 12")},
        {R"({"op":"\uD83D\uDE0)", fault("EOF while parsing a string at line 1 column 18")},
        // A bad byte met before the end is the fault, however short the rest.
        {R"({"op":"\uG)", fault("invalid escape at line 1 column 10")},
        {R"({"op":"\u1G)", fault("invalid escape at line 1 column 11")},
        {R"({"op":"\u12G)", fault("invalid escape at line 1 column 12")},
        {R"({"op":"\uD83D\uDEG)", fault("invalid escape at line 1 column 18")},
    });
}

TEST(DecodeRequest, SyntaxFaultOutranksAMissingKindWhichOutranksFieldFaults) {
    check({
        // A syntax fault anywhere is found before a missing "op".
        {R"({"x":1,"y":})", fault("expected value at line 1 column 12")},
        // A missing "op" is found before any fault of the start fields.
        {R"({"mixed_port":"x","secret":1})", fault("missing field `op` at line 1 column 29")},
        // A syntax fault after the fields is found before their faults.
        {R"({"op":"start","mixed_port":-1,"x":tru})", fault("expected ident at line 1 column 38")},
    });
}

TEST(DecodeRequest, PositionsCountBytes) {
    check({
        // é is two bytes: the column is one more than the characters before the fault.
        {"{\"x\":\"\xC3\xA9\",\"op\":\"Ping\"}",
         fault("unknown variant `Ping`, expected one of `ping`, `status`, `start`, `stop` at line "
               "1 column 21")},
        {"{\"x\":\"\xF0\x9F\x98\x80\",\n\n  \"op\":\"Ping\"}",
         fault("unknown variant `Ping`, expected one of `ping`, `status`, `start`, `stop` at line "
               "3 column 13")},
        {"[\n\"ping\",\n1\n]", fault("invalid length 1, expected 0 elements in sequence")},
        {"{\r\n\"op\":\r\n7}",
         fault("invalid type: integer `7`, expected variant identifier at line 3 column 1")},
    });
}

// `levels` containers in all, the request's own object first.
std::string nested_ping(int levels, bool objects) {
    std::string body = R"({"op":"ping","x":)";
    for (int i = 1; i < levels; ++i) {
        body += objects ? "{\"a\":" : "[";
    }
    body += "0";
    for (int i = 1; i < levels; ++i) {
        body += objects ? "}" : "]";
    }
    return body + "}";
}

TEST(DecodeRequest, ContainerNestedPast127IsRefusedAtItsOpeningByte) {
    // The 128th container is refused at its opening byte.
    const size_t arrays_at = 17 + 126 + 1;
    const size_t objects_at = 17 + 126 * 5 + 1;
    check({
        {nested_ping(127, false), "ping"},
        {nested_ping(127, true), "ping"},
        {nested_ping(128, false),
         fault("recursion limit exceeded at line 1 column " + std::to_string(arrays_at))},
        {nested_ping(128, true),
         fault("recursion limit exceeded at line 1 column " + std::to_string(objects_at))},
        {nested_ping(100000, false),
         fault("recursion limit exceeded at line 1 column " + std::to_string(arrays_at))},
        {"[\"ping\"," + std::string(127, '[') + std::string(127, ']') + "]",
         fault("recursion limit exceeded at line 1 column 135")},
        {"[\"ping\"," + std::string(126, '[') + std::string(126, ']') + "]",
         fault("invalid length 1, expected 0 elements in sequence")},
        // A kind that is an array is read whole, under the same limit.
        {R"({"op":)" + std::string(127, '[') + std::string(127, ']') + "}",
         fault("recursion limit exceeded at line 1 column 133")},
        {R"({"op":)" + std::string(126, '[') + std::string(126, ']') + "}",
         fault("invalid type: sequence, expected variant identifier at line 1 column 258")},
    });
}

}  // namespace
}  // namespace korvan::proto
