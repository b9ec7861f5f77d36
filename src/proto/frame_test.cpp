// Frames over an in-memory byte stream: the read and write loops, the length bounds
// and the exact error texts, without the operating system.

#include "proto/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "support/frames.h"

namespace korvan::proto {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct MemoryStream {
    Bytes input;
    size_t read_pos = 0;
    std::uint32_t max_read = UINT32_MAX;    // bytes handed out per read at most
    std::optional<std::string> read_error;  // returned instead of 0 at the end of input

    Bytes output;
    std::uint32_t max_write = UINT32_MAX;
    std::optional<std::string> write_error;  // returned by write number `fail_write`
    bool write_zero = false;                 // ... or a success that moved nothing
    int fail_write = -1;
    int writes = 0;
};

Result<std::uint32_t> read_some(MemoryStream& s, std::uint8_t* into, std::uint32_t count) {
    const size_t left = s.input.size() - s.read_pos;
    if (left == 0 && s.read_error) {
        return Failure{*s.read_error};
    }
    const auto n = static_cast<std::uint32_t>(std::min<size_t>({left, count, s.max_read}));
    std::copy_n(s.input.begin() + static_cast<long>(s.read_pos), n, into);
    s.read_pos += n;
    return n;
}

Result<std::uint32_t> write_some(MemoryStream& s, const std::uint8_t* from, std::uint32_t count) {
    const int index = s.writes++;
    if (index == s.fail_write) {
        if (s.write_zero) {
            return std::uint32_t{0};
        }
        return Failure{*s.write_error};
    }
    const std::uint32_t n = std::min(count, s.max_write);
    s.output.insert(s.output.end(), from, from + n);
    return n;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes prefix_bytes(std::uint32_t length) {
    const std::string prefix = test_support::prefix_of(length);
    return Bytes(prefix.begin(), prefix.end());
}

struct ReadCase {
    const char* name;
    Bytes input;
    std::uint32_t max_read;
    std::optional<std::string> read_error;
    std::optional<size_t> body_size;  // expected success with this body
    std::string error;                // otherwise, this text
};

TEST(ReadFrame, ReadsABodyOfTheStatedLengthOrRefusesTheFrame) {
    const Bytes body13 = test_support::patterned_bytes(13);
    const std::vector<ReadCase> cases = {
        {"zero length", {0, 0, 0, 0}, UINT32_MAX, {}, {}, "frame length out of range: 0"},
        {"one over the bound",
         {0x01, 0x00, 0x10, 0x00},
         UINT32_MAX,
         {},
         {},
         "frame length out of range: 1048577"},
        {"largest prefix",
         {0xFF, 0xFF, 0xFF, 0xFF},
         UINT32_MAX,
         {},
         {},
         "frame length out of range: 4294967295"},
        {"big-endian prefix",
         concat({0x00, 0x00, 0x00, 0x0D}, body13),
         UINT32_MAX,
         {},
         {},
         "frame length out of range: 218103808"},
        {"one byte per read", concat({13, 0, 0, 0}, body13), 1, {}, 13, ""},
        {"exactly the bound",
         concat({0x00, 0x00, 0x10, 0x00}, test_support::patterned_bytes(MAX_FRAME_LEN)),
         4096,
         {},
         MAX_FRAME_LEN,
         ""},
        {"closed before the prefix", {}, UINT32_MAX, {}, {}, "pipe closed"},
        {"closed inside the prefix", {13, 0}, UINT32_MAX, {}, {}, "pipe closed"},
        {"closed after the prefix", {13, 0, 0, 0}, UINT32_MAX, {}, {}, "pipe closed"},
        {"closed inside the body",
         concat({13, 0, 0, 0}, test_support::patterned_bytes(5)),
         UINT32_MAX,
         {},
         {},
         "pipe closed"},
        {"read fails after the prefix",
         {13, 0, 0, 0},
         UINT32_MAX,
         "The pipe has been ended.",
         {},
         "ReadFile: The pipe has been ended."},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryStream s;
        s.input = c.input;
        s.max_read = c.max_read;
        s.read_error = c.read_error;
        Result<Bytes> got = read_frame(s);
        if (c.body_size) {
            ASSERT_TRUE(got.ok()) << got.error();
            EXPECT_EQ(got.value().size(), *c.body_size);
            EXPECT_TRUE(std::equal(got.value().begin(), got.value().end(), c.input.begin() + 4));
        } else {
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error(), c.error);
        }
    }
}

TEST(ReadFrame, RefusedLengthReadsNoBody) {
    MemoryStream s;
    s.input = concat({0x00, 0x00, 0x00, 0x0D}, test_support::patterned_bytes(13));
    ASSERT_FALSE(read_frame(s).ok());
    EXPECT_EQ(s.read_pos, 4u);
}

TEST(ReadFrame, BytesAfterTheBodyAreLeftUnread) {
    MemoryStream s;
    s.input = concat(concat({3, 0, 0, 0}, {'a', 'b', 'c'}), {4, 0, 0, 0, 'n', 'e', 'x', 't'});
    Result<Bytes> got = read_frame(s);
    ASSERT_TRUE(got.ok()) << got.error();
    EXPECT_EQ(got.value(), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(s.read_pos, 7u);
}

// Feeds `input` to a reader in pieces of at most `piece` bytes, as long as it asks for
// bytes; returns what it made of them and how many it took.
struct Fed {
    Result<void> outcome;
    size_t taken = 0;
    std::vector<size_t> asked;
};
Fed feed(FrameReader& reader, const Bytes& input, size_t piece) {
    Fed fed;
    while (!reader.complete()) {
        const std::span<std::uint8_t> space = reader.space();
        fed.asked.push_back(space.size());
        const size_t count = std::min({space.size(), piece, input.size() - fed.taken});
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(fed.taken), count, space.begin());
        fed.taken += count;
        fed.outcome = reader.received(static_cast<std::uint32_t>(count));
        if (!fed.outcome) {
            break;
        }
    }
    return fed;
}

TEST(FrameReader, AsksForThePrefixThenExactlyTheAnnouncedBodyAndNothingAfter) {
    const Bytes input = concat(concat({3, 0, 0, 0}, {'a', 'b', 'c'}), {9, 9});
    struct Case {
        size_t piece;
        std::vector<size_t> asked;
    };
    for (const Case& c :
         {Case{100, {4, 3}}, Case{1, {4, 3, 2, 1, 3, 2, 1}}, Case{2, {4, 2, 3, 1}}}) {
        SCOPED_TRACE(c.piece);
        FrameReader reader;
        const Fed fed = feed(reader, input, c.piece);
        ASSERT_TRUE(fed.outcome.ok()) << fed.outcome.error();
        EXPECT_EQ(fed.taken, 7u);
        EXPECT_EQ(fed.asked, c.asked);
        EXPECT_TRUE(reader.space().empty());
        EXPECT_EQ(reader.take_body(), (Bytes{'a', 'b', 'c'}));
    }
}

TEST(FrameReader, RefusesALengthOutOfRangeOnceThePrefixIsWholeAndTakesNothingMore) {
    for (const std::uint32_t length : {0u, MAX_FRAME_LEN + 1, 4294967295u}) {
        SCOPED_TRACE(length);
        FrameReader reader;
        const Fed fed = feed(reader, concat(prefix_bytes(length), {'x'}), 100);
        ASSERT_FALSE(fed.outcome.ok());
        EXPECT_EQ(fed.outcome.error(), "frame length out of range: " + std::to_string(length));
        EXPECT_EQ(fed.taken, 4u);
        EXPECT_FALSE(reader.has_length());
        EXPECT_TRUE(reader.space().empty());
    }
    FrameReader largest;
    const Bytes prefix = prefix_bytes(MAX_FRAME_LEN);
    std::copy(prefix.begin(), prefix.end(), largest.space().begin());
    ASSERT_TRUE(largest.received(4).ok());
    EXPECT_TRUE(largest.has_length());
    EXPECT_EQ(largest.space().size(), MAX_FRAME_LEN);
}

TEST(FrameReader, AStreamClosedInsideThePrefixOrTheBodyIsPipeClosed) {
    for (const Bytes& input : {Bytes{13, 0, 0}, concat({13, 0, 0, 0}, {'a', 'b'})}) {
        SCOPED_TRACE(input.size());
        FrameReader reader;
        const Fed fed = feed(reader, input, 100);
        ASSERT_FALSE(fed.outcome.ok());
        EXPECT_EQ(fed.outcome.error(), "pipe closed");
        EXPECT_EQ(fed.taken, input.size());
        EXPECT_TRUE(reader.space().empty());
    }
}

TEST(WriteFrame, WritesPrefixAndBodyInOneWrite) {
    MemoryStream s;
    const std::string text = "{\"ok\":\"pong\",\"version\":\"1\",\"service_version\":\"1.0.0\"}";
    const Bytes body(text.begin(), text.end());
    ASSERT_TRUE(write_frame(s, body).ok());
    EXPECT_EQ(s.writes, 1);
    EXPECT_EQ(s.output, concat({0x35, 0, 0, 0}, body));
}

TEST(WriteFrame, PrefixCountsBytesNotCharacters) {
    MemoryStream s;
    const std::string text = "\"\xC3\xA9t\xC3\xA9\"";  // "été": 5 characters, 7 bytes
    ASSERT_TRUE(write_frame(s, Bytes(text.begin(), text.end())).ok());
    EXPECT_EQ(s.output[0], 7);
}

TEST(WriteFrame, ShortWritesAreContinued) {
    MemoryStream s;
    s.max_write = 3;
    const Bytes body = test_support::patterned_bytes(1000);
    ASSERT_TRUE(write_frame(s, body).ok());
    EXPECT_EQ(s.output, concat({0xE8, 0x03, 0, 0}, body));
}

TEST(WriteFrame, BodyAtTheBoundIsWritten) {
    MemoryStream s;
    ASSERT_TRUE(write_frame(s, test_support::patterned_bytes(MAX_FRAME_LEN)).ok());
    EXPECT_EQ(s.writes, 1);
    EXPECT_EQ(s.output.size(), MAX_FRAME_LEN + 4);
    EXPECT_EQ(s.output[2], 0x10);
}

TEST(WriteFrame, BodyOverTheBoundWritesNothing) {
    MemoryStream s;
    Result<void> written = write_frame(s, test_support::patterned_bytes(MAX_FRAME_LEN + 1));
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error(), "response too large");
    EXPECT_EQ(s.writes, 0);
    EXPECT_TRUE(s.output.empty());
}

TEST(WriteFrame, AFailedOrEmptyWriteStopsTheFrameAndSaysWhich) {
    struct Case {
        const char* name;
        std::uint32_t max_write;
        int fail_write;
        bool write_zero;
        std::string error;
        size_t bytes_out;
    };
    const std::string no_process = "No process is on the other end of the pipe.";
    const std::vector<Case> cases = {
        {"the write fails", UINT32_MAX, 0, false, "WriteFile: " + no_process, 0},
        {"the write moves nothing", UINT32_MAX, 0, true, "pipe write 0", 0},
        {"the write after a short one fails", 6, 1, false, "WriteFile: " + no_process, 6},
        {"the write after a short one moves nothing", 6, 1, true, "pipe write 0", 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryStream s;
        s.max_write = c.max_write;
        s.fail_write = c.fail_write;
        s.write_zero = c.write_zero;
        s.write_error = no_process;
        Result<void> written = write_frame(s, test_support::patterned_bytes(10));
        ASSERT_FALSE(written.ok());
        EXPECT_EQ(written.error(), c.error);
        EXPECT_EQ(s.writes, c.fail_write + 1) << "no write after the failure";
        EXPECT_EQ(s.output.size(), c.bytes_out);
    }
}

}  // namespace
}  // namespace korvan::proto
