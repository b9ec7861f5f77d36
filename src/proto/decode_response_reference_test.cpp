// Property test: on many generated and mutated answers, decode_response and the reading
// of the same answers on the independent nlohmann/json parser give the same response
// or the same fault, but where the protocol document says that they differ.

#include "support/reply_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/json_mutations.h"

namespace korvan::proto {
namespace {

using test_support::mutate;
using test_support::random_value;

std::span<const std::uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

const std::vector<std::string> REQUEST_OPS = {"", "ping", "status", "start", "stop"};

const std::vector<std::string> SEEDS = {
    R"({"ok":"pong","version":"1","service_version":"1.0.0"})",
    R"({"ok":"status","running":true,"mixed_port":10800,"ctl_port":10900})",
    R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})",
    R"({"ok":"started","mixed_port":0,"ctl_port":65535})",
    R"({"ok":"stopped"})",
    R"({"ok":"error","code":"bad_request","message":"parse: \"x\" \u00e9 \ud83d\ude00"})",
    R"({"extra":[1,{"y":null}],"ctl_port":2,"ok":"started","mixed_port":1})",
    R"({"ok":"started","mixed_port":-0,"ctl_port":1,"ok":"started"})",
};

// An answer-like object: the members of a kind, most of the time with a value of their
// type, in any order, with others among them; now and then a member left out or given
// twice, or an array in the object's place.
std::string random_answer(std::mt19937_64& rng) {
    struct Kind {
        std::string name;
        std::vector<std::string> keys;
    };
    static const std::vector<Kind> KINDS = {
        {"\"pong\"", {"version", "service_version"}},
        {"\"status\"", {"running", "mixed_port", "ctl_port"}},
        {"\"started\"", {"mixed_port", "ctl_port"}},
        {"\"stopped\"", {}},
        {"\"error\"", {"code", "message"}},
        {"\"Pong\"", {"version"}},
        {"7", {}},
    };
    static const std::vector<std::string> OTHERS = {"x", "o\\u006b", "code", "running"};
    static const std::vector<std::string> TEXTS = {"\"1\"", "\"\"", "\"a\\n\\u00e9\""};
    static const std::vector<std::string> PORTS = {"0", "7890", "65535", "null"};
    static const std::vector<std::string> BOOLEANS = {"true", "false"};
    const Kind& kind = KINDS[rng() % KINDS.size()];
    std::vector<std::pair<std::string, std::string>> members = {{"ok", kind.name}};
    for (const std::string& key : kind.keys) {
        const std::vector<std::string>& typical = key == "running" ? BOOLEANS
                                                  : key == "mixed_port" || key == "ctl_port"
                                                      ? PORTS
                                                      : TEXTS;
        std::string value;
        if (rng() % 6 != 0) {
            value = typical[rng() % typical.size()];
        } else {
            random_value(value, rng, 2);
        }
        members.emplace_back(key, value);
    }
    for (int extra = static_cast<int>(rng() % 3); extra > 0; --extra) {
        std::string value;
        random_value(value, rng, 3);
        members.emplace_back(OTHERS[rng() % OTHERS.size()], value);
    }
    if (rng() % 8 == 0) {
        members.erase(members.begin() + static_cast<long>(rng() % members.size()));
    }
    if (!members.empty() && rng() % 8 == 0) {
        members.push_back(members[rng() % members.size()]);
    }
    std::shuffle(members.begin(), members.end(), rng);
    const bool array = rng() % 12 == 0;
    std::string out = array ? "[" : "{";
    for (size_t i = 0; i < members.size(); ++i) {
        out += i ? (rng() % 3 ? "," : ", \n\t") : "";
        if (!array) {
            out += "\"" + members[i].first + "\":";
        }
        out += members[i].second;
    }
    out += array ? "]" : "}";
    return out;
}

TEST(DecodeResponseReference, SeedsAgree) {
    for (const std::string& seed : SEEDS) {
        for (const std::string& op : REQUEST_OPS) {
            EXPECT_EQ(reply_disagreement(bytes_of(seed), op), "") << seed << " for " << op;
        }
    }
}

TEST(DecodeResponseReference, MutatedAnswersAgree) {
    std::mt19937_64 rng(20261211);
    for (int i = 0; i < 100000; ++i) {
        const std::string body = mutate(SEEDS[rng() % SEEDS.size()], rng);
        const std::string& op = REQUEST_OPS[rng() % REQUEST_OPS.size()];
        ASSERT_EQ(reply_disagreement(bytes_of(body), op), "") << "body: " << body << " for " << op;
    }
}

TEST(DecodeResponseReference, GeneratedAnswersAgree) {
    std::mt19937_64 rng(11);
    size_t decoded = 0;
    for (int i = 0; i < 50000; ++i) {
        std::string body = random_answer(rng);
        if (rng() % 2 == 0) {
            body = mutate(body, rng);
        }
        const std::string& op = REQUEST_OPS[rng() % REQUEST_OPS.size()];
        ASSERT_EQ(reply_disagreement(bytes_of(body), op), "") << "body: " << body << " for " << op;
        decoded += decode_response(bytes_of(body), op).ok() ? 1 : 0;
    }
    // The generator must reach the accepting paths too, not only faults.
    EXPECT_GT(decoded, 500u);
}

// Each difference the document allows, shown once: the reference reads these answers,
// the client refuses them.
TEST(DecodeResponseReference, TheDifferencesTheDocumentAllows) {
    const std::string pong = R"("version":"1","service_version":"1.0.0"})";
    struct Case {
        std::string body;
        std::string ours;
    };
    const std::vector<Case> cases = {
        {R"({"ok":"pong","x":)" + std::string(200, '[') + std::string(200, ']') + "," + pong,
         "fault: malformed reply: nested more than 127 levels deep: "
         "\"{\\\"ok\\\":\\\"pong\\\",\\\"x\\\":" +
             std::string(47, '[') + "\"..."},
        {"\xEF\xBB\xBF{\"ok\":\"stopped\"}",
         "fault: malformed reply: not JSON: \"\xEF\xBB\xBF{\\\"ok\\\":\\\"stopped\\\"}\""},
        {R"({"ok":"error","ok":"pong",)" + pong, "fault: malformed reply: \"ok\" is given twice"},
        {R"({"ok":"pong","version":"2",)" + pong,
         "fault: malformed reply: \"pong\" reply: \"version\" is given twice"},
        {R"({"ok":"started","mixed_port":-0,"ctl_port":1})",
         "fault: malformed reply: \"started\" reply: \"mixed_port\" is not a port number"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(our_reading(bytes_of(c.body), ""), c.ours) << c.body;
        EXPECT_TRUE(reply_reference::read(c.body, c.body, "").starts_with("{")) << c.body;
        EXPECT_EQ(reply_disagreement(bytes_of(c.body), ""), "") << c.body;
    }
}

}  // namespace
}  // namespace korvan::proto
