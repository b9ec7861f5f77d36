// docs/PROTOCOL.md against the protocol's code: every example request decodes, with
// the real decoder, to what the document says, and every example answer and frame is
// byte for byte what the encoder and the frame writer produce; a client's decoder reads
// every example answer back. Built natively;
// KORVAN_SOURCE_DIR is the checkout.
//
// The document marks its examples with the info strings of fenced blocks:
//   ```json request    a request body; the next block is "text decoded" (the request it
//                      decodes to: the kind, then a start's fields as "name: JSON value")
//                      or "json answer" (the bad_request answer it gets)
//   ```json answer     an answer body
//   ```text frame      the bytes of one frame in hexadecimal; a "text refused" block
//                      after it holds the error that reading it ends with
// The texts of the service's code outside this library (the "parse: " prefix, the
// policy's and the launch's messages) live in headers that include <windows.h>, so this
// test reads their constants from the headers' text.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/names.h"
#include "proto/decode.h"
#include "proto/decode_response.h"
#include "proto/encode.h"
#include "proto/frame.h"
#include "proto/message.h"

namespace korvan::proto {
namespace {

using nlohmann::ordered_json;
using Bytes = std::vector<std::uint8_t>;

const std::string SOURCE_DIR = KORVAN_SOURCE_DIR;

std::string read_text(const std::string& relative) {
    std::ifstream in(SOURCE_DIR + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The value of `inline constexpr std::string_view NAME = "...";` in a header of the
// checkout, with its C escapes (\\ and \") undone; empty when the header has none.
std::string header_text(const std::string& header, const std::string& name) {
    const std::string text = read_text(header);
    const std::regex constant(name + R"(\s*=\s*"((?:[^"\\]|\\.)*)\")");
    std::smatch found;
    if (!std::regex_search(text, found, constant)) {
        ADD_FAILURE() << header << " has no string constant " << name;
        return {};
    }
    std::string value;
    const std::string quoted = found[1].str();
    for (size_t i = 0; i < quoted.size(); ++i) {
        value += quoted[i] == '\\' && i + 1 < quoted.size() ? quoted[++i] : quoted[i];
    }
    return value;
}

struct Block {
    std::string info;
    std::string text;  // the lines, joined by line feeds, without the last one
    size_t line = 0;   // of the opening fence, counted from 1
};

// The fenced blocks of a Markdown text, as CommonMark reads backtick fences: three or
// more backticks, an info string without backticks; the fence's indentation is removed
// from the lines inside.
std::vector<Block> fenced_blocks(const std::string& markdown) {
    std::vector<std::string> lines;
    std::istringstream in(markdown);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::vector<Block> blocks;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& open = lines[i];
        const size_t indent = open.find_first_not_of(' ');
        if (indent == std::string::npos || indent > 3) {
            continue;
        }
        const size_t ticks = open.find_first_not_of('`', indent);
        const size_t fence = (ticks == std::string::npos ? open.size() : ticks) - indent;
        if (fence < 3) {
            continue;
        }
        std::string info = open.substr(indent + fence);
        if (info.find('`') != std::string::npos) {
            continue;
        }
        info.erase(0, info.find_first_not_of(' '));
        info.erase(info.find_last_not_of(' ') + 1);
        Block block{info, {}, i + 1};
        bool first = true;
        for (++i; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            const size_t start = line.find_first_not_of(' ');
            if (start != std::string::npos && start <= 3 &&
                line.find_first_not_of('`', start) == std::string::npos &&
                line.size() - start >= fence) {
                break;
            }
            if (!first) {
                block.text += '\n';
            }
            first = false;
            size_t strip = 0;
            while (strip < indent && strip < line.size() && line[strip] == ' ') {
                ++strip;
            }
            block.text += line.substr(strip);
        }
        blocks.push_back(std::move(block));
    }
    return blocks;
}

Bytes bytes_of(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string text_of(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A port as the document writes it: an integer from 0 to 65535.
std::uint16_t port_of(const ordered_json& value, std::string_view name) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFF) {
        ADD_FAILURE() << name << " is not a port: " << value.dump();
        return 0;
    }
    return static_cast<std::uint16_t>(value.get<std::uint64_t>());
}

std::optional<std::uint16_t> optional_port(const ordered_json& value, std::string_view name) {
    if (value.is_null()) {
        return std::nullopt;
    }
    return port_of(value, name);
}

std::string string_of(const ordered_json& answer, const char* name) {
    if (!answer.contains(name) || !answer[name].is_string()) {
        ADD_FAILURE() << name << " is not a string in " << answer.dump();
        return {};
    }
    return answer[name].get<std::string>();
}

// The Response an example answer stands for, read from its JSON with the kinds'
// members; the encoder then has to give back the example's very bytes.
std::optional<Response> response_of(const std::string& text) {
    const ordered_json answer = ordered_json::parse(text, nullptr, false);
    if (answer.is_discarded() || !answer.is_object() || !answer.contains("ok") ||
        !answer["ok"].is_string()) {
        ADD_FAILURE() << "not an answer: " << text;
        return std::nullopt;
    }
    const std::string kind = answer["ok"].get<std::string>();
    if (kind == "pong") {
        return response::Pong{string_of(answer, "version"), string_of(answer, "service_version")};
    }
    if (kind == "status") {
        if (!answer.contains("running") || !answer["running"].is_boolean()) {
            ADD_FAILURE() << "running is not a boolean: " << text;
            return std::nullopt;
        }
        return response::Status{
            answer["running"].get<bool>(),
            optional_port(answer.value("mixed_port", ordered_json()), "mixed_port"),
            optional_port(answer.value("ctl_port", ordered_json()), "ctl_port")};
    }
    if (kind == "started") {
        return response::Started{port_of(answer.value("mixed_port", ordered_json()), "mixed_port"),
                                 port_of(answer.value("ctl_port", ordered_json()), "ctl_port")};
    }
    if (kind == "stopped") {
        return response::Stopped{};
    }
    if (kind == "error") {
        return response::Error{string_of(answer, "code"), string_of(answer, "message")};
    }
    ADD_FAILURE() << "no answer kind " << kind;
    return std::nullopt;
}

// The texts a start_failed message is made of: whole texts, and the steps that a
// colon and the step's own error follow.
struct StartFailureTexts {
    std::set<std::string> whole;
    std::vector<std::string> step_prefixes;
};

StartFailureTexts start_failure_texts() {
    StartFailureTexts texts;
    texts.whole = {header_text("src/workdir/program_data.h", "PROGRAM_DATA_NOT_SET"),
                   header_text("src/core/install_files.h", "EXE_HAS_NO_PARENT"),
                   header_text("src/core/supervisor.h", "SERVICE_STOPPING")};
    texts.step_prefixes = {header_text("src/core/launch.h", "CORE_NOT_FOUND_AT")};
    for (const auto& [header, name] :
         {std::pair{"src/workdir/provision.h", "CREATE_WORK_DIR_STEP"},
          std::pair{"src/workdir/provision.h", "WRITE_CONFIG_STEP"},
          std::pair{"src/core/launch.h", "WINTUN_SOURCE_MISSING_STEP"},
          std::pair{"src/workdir/provision.h", "PROVISION_WINTUN_STEP"},
          std::pair{"src/core/install_files.h", "CURRENT_EXE_STEP"},
          std::pair{"src/core/launch.h", "SPAWN_CORE_STEP"},
          std::pair{"src/core/launch.h", "ATTACH_JOB_STEP"}}) {
        texts.step_prefixes.push_back(header_text(header, name) + ": ");
    }
    return texts;
}

bool is_start_failure(const std::string& message) {
    static const StartFailureTexts texts = start_failure_texts();
    if (texts.whole.contains(message)) {
        return true;
    }
    return std::any_of(texts.step_prefixes.begin(), texts.step_prefixes.end(),
                       [&](const std::string& prefix) {
                           return message.size() > prefix.size() && message.starts_with(prefix);
                       });
}

// The four refusals of the machine's policy, as control_policy.h composes them.
bool is_policy_refusal(const std::string& message) {
    const std::string header = "src/pipe/control_policy.h";
    const std::string prefix = header_text(header, "POLICY_PREFIX");
    if (!message.starts_with(prefix)) {
        return false;
    }
    const std::string rest = message.substr(prefix.size());
    const std::string members = header_text(header, "MEMBERS_ONLY");
    const std::string members_end = header_text(header, "MEMBERS_ONLY_END");
    const std::string not_a_sid = header_text(header, "NOT_A_SID");
    const std::string not_a_string = header_text(header, "NOT_A_STRING");
    const auto between = [&](const std::string& head, const std::string& tail,
                             const std::string& pattern) {
        return rest.size() > head.size() + tail.size() && rest.starts_with(head) &&
               rest.ends_with(tail) &&
               std::regex_match(rest.substr(head.size(), rest.size() - head.size() - tail.size()),
                                std::regex(pattern));
    };
    return rest == header_text(header, "POLICY_BEING_APPLIED") ||
           between(members, members_end, "[Ss]-1-[0-9-]+") ||
           between(not_a_sid + "\"", "\"", "[^\"]+") || between(not_a_string, ")", "[0-9]+");
}

// What an example answer's meaning must be, beyond its bytes: pong's versions are the
// service's, an error's code is one of the three and its message one the service
// composes. A bad_request answer is checked with the request it answers instead.
void check_meaning(const Response& response) {
    if (const auto* pong = std::get_if<response::Pong>(&response)) {
        EXPECT_EQ(pong->version, PROTOCOL_VERSION);
        EXPECT_EQ(pong->service_version, SERVICE_VERSION);
    }
    if (const auto* error = std::get_if<response::Error>(&response)) {
        if (error->code == START_FAILED) {
            EXPECT_TRUE(is_start_failure(error->message)) << error->message;
        } else if (error->code == FORBIDDEN) {
            EXPECT_TRUE(is_policy_refusal(error->message)) << error->message;
        } else if (error->code == BAD_REQUEST) {
            ADD_FAILURE() << "a bad_request answer follows the request it answers";
        } else {
            ADD_FAILURE() << "no error code " << error->code;
        }
    }
}

// The example's bytes are what the encoder writes for the response they stand for.
std::optional<Response> check_answer(const std::string& text) {
    std::optional<Response> response = response_of(text);
    if (response) {
        EXPECT_EQ(encode_response(*response), text);
        // And a client reads it back as that answer.
        const Result<Response> read =
            decode_response(std::span<const std::uint8_t>(
                                reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                            "");
        EXPECT_TRUE(read.ok() && encode_response(read.value()) == text)
            << (read ? encode_response(read.value()) : read.error());
    }
    return response;
}

// The request a "text decoded" block describes.
std::optional<Request> described_request(const std::string& text) {
    std::istringstream lines(text);
    std::string kind;
    std::getline(lines, kind);
    if (kind == "ping") {
        return request::Ping{};
    }
    if (kind == "status") {
        return request::Status{};
    }
    if (kind == "stop") {
        return request::Stop{};
    }
    if (kind != "start") {
        ADD_FAILURE() << "no request kind " << kind;
        return std::nullopt;
    }
    std::vector<std::pair<std::string, ordered_json>> fields;
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(": ");
        if (colon == std::string::npos) {
            ADD_FAILURE() << "not a field: " << line;
            return std::nullopt;
        }
        fields.emplace_back(line.substr(0, colon),
                            ordered_json::parse(line.substr(colon + 2), nullptr, false));
    }
    const std::vector<std::string> names = {"config_yaml", "secret", "mixed_port", "ctl_port"};
    if (fields.size() != names.size() ||
        !std::equal(
            names.begin(), names.end(), fields.begin(),
            [](const std::string& name, const auto& field) { return name == field.first; }) ||
        !fields[0].second.is_string() || !fields[1].second.is_string()) {
        ADD_FAILURE() << "a start lists config_yaml, secret (JSON strings), mixed_port and "
                         "ctl_port, in this order: "
                      << text;
        return std::nullopt;
    }
    return request::Start{fields[0].second.get<std::string>(), fields[1].second.get<std::string>(),
                          port_of(fields[2].second, "mixed_port"),
                          port_of(fields[3].second, "ctl_port")};
}

void expect_same_request(const Request& actual, const Request& expected) {
    ASSERT_EQ(actual.index(), expected.index()) << "another kind of request";
    if (const auto* start = std::get_if<request::Start>(&actual)) {
        const auto& want = std::get<request::Start>(expected);
        EXPECT_EQ(start->config_yaml, want.config_yaml);
        EXPECT_EQ(start->secret, want.secret);
        EXPECT_EQ(start->mixed_port, want.mixed_port);
        EXPECT_EQ(start->ctl_port, want.ctl_port);
    }
}

// A byte stream over a frame example: reads what the example holds, then the end.
struct ExampleStream {
    Bytes input;
    size_t read_pos = 0;
    Bytes output;
};

Result<std::uint32_t> read_some(ExampleStream& s, std::uint8_t* into, std::uint32_t count) {
    const auto n = static_cast<std::uint32_t>(std::min<size_t>(s.input.size() - s.read_pos, count));
    std::copy_n(s.input.begin() + static_cast<std::ptrdiff_t>(s.read_pos), n, into);
    s.read_pos += n;
    return n;
}

Result<std::uint32_t> write_some(ExampleStream& s, const std::uint8_t* from, std::uint32_t count) {
    s.output.insert(s.output.end(), from, from + count);
    return count;
}

std::optional<Bytes> hex_bytes(const std::string& text) {
    Bytes bytes;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
            !std::isxdigit(static_cast<unsigned char>(word[1]))) {
            ADD_FAILURE() << "not a byte in hexadecimal: " << word;
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

// What the document's examples were found to show, for the test of their coverage.
struct Seen {
    std::set<std::string> answer_kinds;
    std::set<std::string> error_codes;
    std::set<size_t> request_kinds;
    bool array_form = false;
    bool refused_frame = false;
};

void check_request(const Block& request, const Block* next, Seen& seen) {
    SCOPED_TRACE("request at line " + std::to_string(request.line));
    const Result<Request> decoded = decode_request(bytes_of(request.text));
    if (next != nullptr && next->info == "text decoded") {
        ASSERT_TRUE(decoded) << decoded.error();
        const std::optional<Request> expected = described_request(next->text);
        ASSERT_TRUE(expected);
        expect_same_request(decoded.value(), *expected);
        seen.request_kinds.insert(decoded.value().index());
        seen.array_form = seen.array_form || request.text.starts_with("[");
        return;
    }
    ASSERT_TRUE(next != nullptr && next->info == "json answer")
        << "a request is followed by its \"text decoded\" or its \"json answer\" block";
    ASSERT_FALSE(decoded) << "it decodes, yet the document shows an error answer";
    const std::string parse_prefix = header_text("src/pipe/exchange.h", "PARSE_PREFIX");
    const Response expected =
        response::Error{std::string(BAD_REQUEST), parse_prefix + decoded.error()};
    EXPECT_EQ(next->text, encode_response(expected));
    seen.error_codes.insert(std::string(BAD_REQUEST));
    seen.answer_kinds.insert("error");
}

void check_frame(const Block& frame, const Block* next, Seen& seen) {
    SCOPED_TRACE("frame at line " + std::to_string(frame.line));
    const std::optional<Bytes> bytes = hex_bytes(frame.text);
    ASSERT_TRUE(bytes);
    ExampleStream stream;
    stream.input = *bytes;
    const Result<Bytes> body = read_frame(stream);
    if (next != nullptr && next->info == "text refused") {
        ASSERT_FALSE(body) << "the frame is read, yet the document says it is refused";
        EXPECT_EQ(body.error(), next->text);
        seen.refused_frame = true;
        return;
    }
    ASSERT_TRUE(body) << body.error();
    EXPECT_EQ(stream.read_pos, bytes->size()) << "bytes after the frame";
    ASSERT_TRUE(write_frame(stream, std::span<const std::uint8_t>(body.value())));
    EXPECT_EQ(stream.output, *bytes);
    const std::string text = text_of(body.value());
    if (text.starts_with("{\"ok\":")) {
        check_answer(text);
    } else {
        EXPECT_TRUE(decode_request(body.value())) << text;
    }
}

class ProtocolDocument : public ::testing::Test {
  protected:
    const std::string markdown = read_text("docs/PROTOCOL.md");
    const std::vector<Block> blocks = fenced_blocks(markdown);

    Seen check_examples() {
        Seen seen;
        for (size_t i = 0; i < blocks.size(); ++i) {
            const Block& block = blocks[i];
            const Block* next = i + 1 < blocks.size() ? &blocks[i + 1] : nullptr;
            if (block.info == "json request") {
                check_request(block, next, seen);
                ++i;
            } else if (block.info == "text frame") {
                check_frame(block, next, seen);
                if (next != nullptr && next->info == "text refused") {
                    ++i;
                }
            } else if (block.info == "json answer") {
                SCOPED_TRACE("answer at line " + std::to_string(block.line));
                if (const std::optional<Response> response = check_answer(block.text)) {
                    check_meaning(*response);
                    const ordered_json answer = ordered_json::parse(block.text);
                    seen.answer_kinds.insert(answer["ok"].get<std::string>());
                    if (const auto* error = std::get_if<response::Error>(&*response)) {
                        seen.error_codes.insert(error->code);
                    }
                }
            } else if (block.info == "text decoded" || block.info == "text refused") {
                ADD_FAILURE() << "line " << block.line << ": a \"" << block.info
                              << "\" block follows no example";
            }
        }
        return seen;
    }
};

// One test, so that a faulty example is reported once: the examples are checked, then
// what they show.
TEST_F(ProtocolDocument, ItsExamplesHoldAgainstTheCodeAndShowEveryRequestAnswerAndErrorCode) {
    ASSERT_FALSE(markdown.empty()) << SOURCE_DIR << "/docs/PROTOCOL.md cannot be read";
    const Seen seen = check_examples();
    EXPECT_EQ(seen.request_kinds, (std::set<size_t>{0, 1, 2, 3}));
    EXPECT_TRUE(seen.array_form);
    EXPECT_EQ(seen.answer_kinds,
              (std::set<std::string>{"pong", "status", "started", "stopped", "error"}));
    EXPECT_EQ(seen.error_codes,
              (std::set<std::string>{std::string(BAD_REQUEST), std::string(START_FAILED),
                                     std::string(FORBIDDEN)}));
    EXPECT_TRUE(seen.refused_frame);
}

TEST_F(ProtocolDocument, NamesThePipeAndTheFrameLimit) {
    EXPECT_NE(markdown.find("`" + std::string(names::PIPE_NAME_TEXT) + "`"), std::string::npos);
    EXPECT_NE(markdown.find("1,048,576"), std::string::npos);
    EXPECT_EQ(MAX_FRAME_LEN, 1'048'576u);
}

}  // namespace
}  // namespace korvan::proto
