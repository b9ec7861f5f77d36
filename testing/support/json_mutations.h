#pragma once

// Test support: JSON texts made at random and mutated, for the property tests that
// hold the decoders against nlohmann/json.

#include <random>
#include <string>
#include <vector>

namespace korvan::test_support {

// Bytes that matter to the grammar, and a few that do not.
inline const std::string ALPHABET =
    "{}[]\":,\\ \t\n\r0123456789-+.eEtrufalsn\"uUbfDdCc/xX\x01\x1f\x7f\x80\xbf\xc3\xed\xf0\xf4\xff";

inline std::string mutate(std::string s, std::mt19937_64& rng) {
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

inline void random_value(std::string& out, std::mt19937_64& rng, int depth) {
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

}  // namespace korvan::test_support
