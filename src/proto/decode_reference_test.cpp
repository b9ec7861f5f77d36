// Property test: on many generated and mutated bodies, decode_request and the
// independent nlohmann/json parser agree on what is JSON, and on the texts of every
// decoded request.

#include "support/decode_reference.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace korvan::proto {
namespace {

std::span<const std::uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

const std::vector<std::string> SEEDS = {
    R"({"op":"ping"})",
    R"({"op":"status","x":[1,-2.5e-3,{"y":null,"z":[true,false]}]})",
    R"({"op":"stop"})",
    R"({"op":"start","config_yaml":"mixed-port: 7890\nname: \"caf\u00e9\" \\ \ud83d\ude00\n","secret":"s3cr\/t","mixed_port":10800,"ctl_port":10900})",
    R"(["start","key: value","",0,65535])",
    R"(["ping"])",
    "{\"extra\":\"\xC3\xA9\xE6\x9C\x8D\",\"op\":\"stop\"}",
    R"({"op":"start","mixed_port":18446744073709551616,"ctl_port":-0,"config_yaml":1e400})",
};

// Bytes that matter to the grammar, and a few that do not.
const std::string ALPHABET =
    "{}[]\":,\\ \t\n\r0123456789-+.eEtrufalsn\"uUbfDdCc/xX\x01\x1f\x7f\x80\xbf\xc3\xed\xf0\xf4\xff";

std::string mutate(std::string s, std::mt19937_64& rng) {
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits; ++i) {
        const size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        const char byte =
            rng() % 8 == 0 ? static_cast<char>(rng() % 256) : ALPHABET[rng() % ALPHABET.size()];
        switch (rng() % 5) {
            case 0:
                s.insert(s.begin() + static_cast<long>(at), byte);
                break;
            case 1:
                if (at < s.size()) {
                    s[at] = byte;
                }
                break;
            case 2:
                if (at < s.size()) {
                    s.erase(at, 1 + rng() % 3);
                }
                break;
            case 3: {
                const size_t from = s.empty() ? 0 : rng() % s.size();
                s.insert(at, s.substr(from, 1 + rng() % 8));
                break;
            }
            default:
                s.resize(at);
                break;
        }
    }
    return s;
}

void random_value(std::string& out, std::mt19937_64& rng, int depth) {
    static const std::vector<std::string> SCALARS = {"null",
                                                     "true",
                                                     "false",
                                                     "0",
                                                     "-0",
                                                     "7",
                                                     "65535",
                                                     "65536",
                                                     "-1",
                                                     "1.5",
                                                     "-2.5e-3",
                                                     "1E+2",
                                                     "18446744073709551615",
                                                     "18446744073709551616",
                                                     "-9223372036854775808",
                                                     "-9223372036854775809",
                                                     "1e308",
                                                     "1e-400",
                                                     "\"\"",
                                                     "\"ping\"",
                                                     "\"start\"",
                                                     R"("a\"b\\c\/\b\f\n\r\t")",
                                                     R"("\u0000\u001f\u007f\u00e9\ud83d\ude00")",
                                                     "\"caf\xC3\xA9 \xE6\x9C\x8D\"",
                                                     "\"10800\""};
    const int pick = static_cast<int>(rng() % 10);
    if (depth > 0 && pick == 0) {
        out += '[';
        const int n = static_cast<int>(rng() % 4);
        for (int i = 0; i < n; ++i) {
            out += i ? "," : "";
            random_value(out, rng, depth - 1);
        }
        out += ']';
    } else if (depth > 0 && pick == 1) {
        out += '{';
        const int n = static_cast<int>(rng() % 4);
        for (int i = 0; i < n; ++i) {
            out += i ? ",\"k" + std::to_string(i) + "\":" : "\"k\":";
            random_value(out, rng, depth - 1);
        }
        out += '}';
    } else {
        out += SCALARS[rng() % SCALARS.size()];
    }
}

// A request-like object: "op" somewhere among start fields and other members.
std::string random_request(std::mt19937_64& rng) {
    static const std::vector<std::string> KEYS = {
        "op", "config_yaml", "secret", "mixed_port", "ctl_port", "x", "o\\u0070"};
    static const std::vector<std::string> KINDS = {"\"ping\"", "\"status\"", "\"start\"",
                                                   "\"stop\"", "\"Ping\"",   "7"};
    std::string out = rng() % 6 == 0 ? "[" : "{";
    const bool array = out == "[";
    const int n = static_cast<int>(rng() % 7);
    for (int i = 0; i < n; ++i) {
        out += i ? (rng() % 3 ? "," : ", \n\t") : "";
        if (!array) {
            out += "\"" + KEYS[rng() % KEYS.size()] + "\":";
        }
        if ((array && i == 0) || rng() % 3 == 0) {
            out += KINDS[rng() % KINDS.size()];
        } else {
            random_value(out, rng, 3);
        }
    }
    out += array ? "]" : "}";
    return out;
}

TEST(DecodeReference, SeedsAgree) {
    for (const std::string& seed : SEEDS) {
        EXPECT_EQ(reference_disagreement(bytes_of(seed)), "") << seed;
    }
}

TEST(DecodeReference, MutatedBodiesAgree) {
    std::mt19937_64 rng(20261210);
    int checked = 0;
    for (int i = 0; i < 150000; ++i) {
        const std::string body = mutate(SEEDS[rng() % SEEDS.size()], rng);
        const std::string difference = reference_disagreement(bytes_of(body));
        ASSERT_EQ(difference, "") << "body: " << body;
        ++checked;
    }
    EXPECT_EQ(checked, 150000);
}

TEST(DecodeReference, GeneratedRequestsAgree) {
    std::mt19937_64 rng(7);
    size_t decoded = 0;
    for (int i = 0; i < 50000; ++i) {
        std::string body = random_request(rng);
        if (rng() % 2 == 0) {
            body = mutate(body, rng);
        }
        ASSERT_EQ(reference_disagreement(bytes_of(body)), "") << "body: " << body;
        decoded += decode_request(bytes_of(body)).ok() ? 1 : 0;
    }
    // The generator must reach the accepting paths too, not only faults.
    EXPECT_GT(decoded, 1000u);
}

TEST(DecodeReference, DeepNestingIsTheOnlyAllowedDifference) {
    const std::string deep = "[\"ping\"," + std::string(200, '[') + std::string(200, ']') + "]";
    EXPECT_TRUE(nlohmann::json::accept(deep));
    EXPECT_EQ(decode_request(bytes_of(deep)).error(),
              "recursion limit exceeded at line 1 column 135");
    EXPECT_EQ(reference_disagreement(bytes_of(deep)), "");
}

}  // namespace
}  // namespace korvan::proto
