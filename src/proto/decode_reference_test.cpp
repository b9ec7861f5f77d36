// Property test: on many generated and mutated bodies, decode_request and the
// independent nlohmann/json parser agree on what is JSON, and on the texts of every
// decoded request.

#include "support/decode_reference.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/json_mutations.h"

namespace korvan::proto {
namespace {

using test_support::mutate;
using test_support::random_value;

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
