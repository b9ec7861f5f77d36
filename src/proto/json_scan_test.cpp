// Byte scanning: where a plain run ends, what is copied of it and which runs are
// well-formed UTF-8, the same from the portable and (where built) the SSE2
// implementation, at every offset from the start of a sixteen-byte block.

#include "proto/json_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace korvan::proto::scan {
namespace {

// What one implementation makes of a text.
struct Scanned {
    size_t plain = 0;  // length of the plain run at the start
    bool non_ascii = false;
    std::string copied;
    bool valid_utf8 = false;

    bool operator==(const Scanned&) const = default;
};

using PlainRun = const std::uint8_t* (*)(const std::uint8_t*, const std::uint8_t*, bool&);
using CopyPlainRun = const std::uint8_t* (*)(const std::uint8_t*, const std::uint8_t*, char*&,
                                             bool&);
using ValidUtf8 = bool (*)(const std::uint8_t*, const std::uint8_t*);

struct Implementation {
    const char* name;
    PlainRun plain_run;
    CopyPlainRun copy_plain_run;
    ValidUtf8 valid_utf8;
};

const std::vector<Implementation> IMPLEMENTATIONS = {
    {"portable", portable::plain_run, portable::copy_plain_run, portable::valid_utf8},
#if defined(__SSE2__)
    {"sse2", sse2::plain_run, sse2::copy_plain_run, sse2::valid_utf8},
#endif
};

Scanned scan_with(const Implementation& with, const std::string& text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::uint8_t* end = p + text.size();
    Scanned scanned;
    scanned.plain = static_cast<size_t>(with.plain_run(p, end, scanned.non_ascii) - p);

    std::string room(text.size() + COPY_SLACK, '\0');
    char* out = room.data();
    bool non_ascii = false;
    const std::uint8_t* stop = with.copy_plain_run(p, end, out, non_ascii);
    EXPECT_EQ(static_cast<size_t>(stop - p), scanned.plain) << with.name << ": " << text;
    EXPECT_EQ(non_ascii, scanned.non_ascii) << with.name << ": " << text;
    scanned.copied.assign(room.data(), out);

    scanned.valid_utf8 = with.valid_utf8(p, end);
    return scanned;
}

struct RunCase {
    std::string text;
    size_t plain;
    bool non_ascii;
};

TEST(JsonScan, PlainRunEndsAtQuoteBackslashOrControlByte) {
    const std::vector<RunCase> cases = {
        {"", 0, false},
        {"abc", 3, false},
        {"abc\"def", 3, false},
        {"abc\\n", 3, false},
        {std::string("ab\0c", 4), 2, false},
        {"ab\x1F", 2, false},
        {"ab\x7F\x20~", 5, false},
        {"caf\xC3\xA9\"", 5, true},
        {"a\"\xC3\xA9", 1, false},
        {"\xFF\x80\n", 2, true},
    };
    // Behind 0 to 40 plain bytes, so that each stop falls at every place in a block.
    for (size_t lead = 0; lead <= 40; ++lead) {
        for (const RunCase& c : cases) {
            const std::string text = std::string(lead, 'x') + c.text;
            for (const Implementation& with : IMPLEMENTATIONS) {
                const Scanned scanned = scan_with(with, text);
                EXPECT_EQ(scanned.plain, lead + c.plain) << with.name << ": " << text;
                EXPECT_EQ(scanned.non_ascii, c.non_ascii) << with.name << ": " << text;
                EXPECT_EQ(scanned.copied, text.substr(0, lead + c.plain)) << with.name;
            }
        }
    }
}

struct Utf8Case {
    std::string text;
    bool valid;
};

TEST(JsonScan, Utf8AsRfc3629HasIt) {
    const std::vector<Utf8Case> cases = {
        {"", true},
        {"plain ASCII", true},
        {"\xC3\xA9", true},
        {"\xE6\x9C\x8D", true},
        {"\xF0\x9F\x98\x80", true},
        {"\xF4\x8F\xBF\xBF", true},
        {"\xED\x9F\xBF", true},
        {"\x80", false},              // a continuation byte alone
        {"\xC0\x80", false},          // overlong
        {"\xC1\xBF", false},          // overlong
        {"\xE0\x9F\xBF", false},      // overlong
        {"\xF0\x8F\xBF\xBF", false},  // overlong
        {"\xED\xA0\x80", false},      // a surrogate
        {"\xF4\x90\x80\x80", false},  // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\xE6\x9C", false},  // cut short
        {"\xE6\x9Cx", false},
        {"\xF0\x9F\x98x", false},
        {"\xFF", false},
    };
    for (size_t lead = 0; lead <= 40; ++lead) {
        for (const Utf8Case& c : cases) {
            const std::string text = std::string(lead, 'x') + c.text + std::string(lead % 17, 'y');
            for (const Implementation& with : IMPLEMENTATIONS) {
                EXPECT_EQ(scan_with(with, text).valid_utf8, c.valid) << with.name << ": " << text;
            }
        }
    }
}

TEST(JsonScan, ImplementationsAgreeOnRandomBytes) {
    // Mostly plain ASCII and UTF-8, with the bytes that stop a run or break UTF-8.
    const std::vector<std::string> pieces = {
        "a",  "b",  "0",    " ",    "\xC3\xA9", "\xE6\x9C\x8D", "\xF0\x9F\x98\x80", "\"",
        "\\", "\n", "\x1F", "\x7F", "\x80",     "\xC2",         "\xED\xA0\x80",     "\xFF"};
    std::mt19937_64 rng(20261211);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const size_t count = rng() % 60;
        for (size_t k = 0; k < count; ++k) {
            // Most texts are long plain runs; some break off early.
            const size_t pick = rng() % (i % 2 == 0 ? 7 : pieces.size());
            text += pieces[pick];
        }
        const Scanned expected = scan_with(IMPLEMENTATIONS.front(), text);
        for (const Implementation& with : IMPLEMENTATIONS) {
            EXPECT_EQ(scan_with(with, text), expected) << with.name << ": " << text;
        }
    }
}

}  // namespace
}  // namespace korvan::proto::scan
