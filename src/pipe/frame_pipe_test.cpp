// Frames on a real named pipe in byte mode: a client process-side handle writes
// from another thread while the server end reads with the frame functions.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "proto/encode.h"
#include "proto/frame.h"
#include "win/pipe_stream.h"
#include "win/error_text.h"
#include "win/handle.h"
#include "support/frames.h"

namespace korvan::pipe {
namespace {

using namespace proto;

using Bytes = std::vector<std::uint8_t>;
using win::UniqueHandle;

struct PipePair {
    UniqueHandle server;
    UniqueHandle client;
};

PipePair connected_pair() {
    static std::atomic<int> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\korvan-frame-test-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++);
    PipePair pair;
    pair.server.reset(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
        65536, 0, nullptr));
    EXPECT_TRUE(pair.server.valid()) << GetLastError();
    pair.client.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(pair.client.valid()) << GetLastError();
    if (!ConnectNamedPipe(pair.server.get(), nullptr)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
    }
    return pair;
}

// Writes each piece with its own WriteFile on another thread; a 1 MiB body does not
// fit the pipe's buffer, so the reader must run at the same time.
std::thread write_pieces(HANDLE client, std::vector<Bytes> pieces) {
    return std::thread([client, pieces = std::move(pieces)] {
        for (const Bytes& piece : pieces) {
            DWORD put = 0;
            if (!WriteFile(client, piece.data(), static_cast<DWORD>(piece.size()), &put, nullptr)) {
                return;
            }
        }
    });
}

// The server's end as the frame functions read and write it, within 10 s.
struct ServerEnd {
    explicit ServerEnd(HANDLE pipe) : stream{pipe, event.get(), deadline} {}
    const win::Deadline deadline = win::deadline_in_ms(10000);
    const win::UniqueHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    win::BoundedPipe stream;
};

Bytes prefix_of(std::uint32_t n) {
    return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
}

TEST(FramePipe, FrameWrittenOneBytePerWrite) {
    PipePair pair = connected_pair();
    const Bytes body = test_support::patterned_bytes(13);
    std::vector<Bytes> pieces;
    for (std::uint8_t b : prefix_of(13)) {
        pieces.push_back({b});
    }
    for (std::uint8_t b : body) {
        pieces.push_back({b});
    }
    std::thread writer = write_pieces(pair.client.get(), pieces);
    ServerEnd end(pair.server.get());
    win::BoundedPipe& server = end.stream;
    Result<Bytes> got = read_frame(server);
    writer.join();
    ASSERT_TRUE(got.ok()) << got.error();
    EXPECT_EQ(got.value(), body);
}

TEST(FramePipe, EachLengthPrefixIsReadOrRefusedOnARealPipe) {
    struct Case {
        const char* name;
        Bytes prefix;
        size_t body_bytes_sent;
        std::optional<size_t> accepted;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"00 00 00 00", {0x00, 0x00, 0x00, 0x00}, 0, {}, "frame length out of range: 0"},
        {"00 00 10 00", {0x00, 0x00, 0x10, 0x00}, MAX_FRAME_LEN, MAX_FRAME_LEN, ""},
        {"01 00 10 00", {0x01, 0x00, 0x10, 0x00}, 0, {}, "frame length out of range: 1048577"},
        {"big-endian 13", {0x00, 0x00, 0x00, 0x0D}, 13, {}, "frame length out of range: 218103808"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PipePair pair = connected_pair();
        const Bytes body = test_support::patterned_bytes(c.body_bytes_sent);
        std::thread writer = write_pieces(pair.client.get(), {c.prefix, body});
        ServerEnd end(pair.server.get());
        win::BoundedPipe& server = end.stream;
        Result<Bytes> got = read_frame(server);
        if (c.accepted) {
            ASSERT_TRUE(got.ok()) << got.error();
            EXPECT_EQ(got.value(), body);
        } else {
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error(), c.error);
        }
        pair.server.reset();  // a writer still blocked on an unread body fails and ends
        writer.join();
    }
}

TEST(FramePipe, ClientClosesAfterThePrefix) {
    PipePair pair = connected_pair();
    const Bytes prefix = prefix_of(13);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(pair.client.get(), prefix.data(), 4, &put, nullptr));
    pair.client.reset();
    ServerEnd end(pair.server.get());
    win::BoundedPipe& server = end.stream;
    Result<Bytes> got = read_frame(server);
    ASSERT_FALSE(got.ok());
    // Windows reports the closed client as a failed read (ERROR_BROKEN_PIPE); a read
    // that succeeds with no bytes is the other possible report.
    const std::string broken = "ReadFile: " + win::winapi_error_text(ERROR_BROKEN_PIPE);
    EXPECT_TRUE(got.error() == "pipe closed" || got.error() == broken) << got.error();
}

TEST(FramePipe, BytesAfterTheBodyStayInThePipe) {
    PipePair pair = connected_pair();
    const Bytes frame = {3, 0, 0, 0, 'a', 'b', 'c', 'X', 'Y', 'Z'};
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(pair.client.get(), frame.data(), static_cast<DWORD>(frame.size()), &put,
                          nullptr));
    ServerEnd end(pair.server.get());
    win::BoundedPipe& server = end.stream;
    Result<Bytes> got = read_frame(server);
    ASSERT_TRUE(got.ok()) << got.error();
    EXPECT_EQ(got.value(), (Bytes{'a', 'b', 'c'}));
    DWORD available = 0;
    ASSERT_TRUE(PeekNamedPipe(pair.server.get(), nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(available, 3u);
}

TEST(FramePipe, ResponseReachesTheClientWhole) {
    PipePair pair = connected_pair();
    const std::string text = "{\"ok\":\"error\",\"code\":\"x\",\"message\":\"d\xC3\xA9j\xC3\xA0\"}";
    const Bytes body(text.begin(), text.end());
    ServerEnd end(pair.server.get());
    win::BoundedPipe& server = end.stream;
    ASSERT_TRUE(write_frame(server, body).ok());
    Bytes got(4 + body.size());
    DWORD read = 0;
    ASSERT_TRUE(
        ReadFile(pair.client.get(), got.data(), static_cast<DWORD>(got.size()), &read, nullptr));
    ASSERT_EQ(read, got.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4),
              prefix_of(static_cast<std::uint32_t>(body.size())));
    EXPECT_EQ(Bytes(got.begin() + 4, got.end()), body);
}

TEST(FramePipe, WriteResponseSendsOneEncodedFrame) {
    PipePair pair = connected_pair();
    ServerEnd end(pair.server.get());
    win::BoundedPipe& server = end.stream;
    ASSERT_TRUE(write_response(server, response::Pong{"1", "1.0.0"}).ok());
    const std::string pong = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
    Bytes got(4 + pong.size());
    DWORD read = 0;
    ASSERT_TRUE(
        ReadFile(pair.client.get(), got.data(), static_cast<DWORD>(got.size()), &read, nullptr));
    ASSERT_EQ(read, got.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), (Bytes{0x35, 0x00, 0x00, 0x00}));
    EXPECT_EQ(std::string(got.begin() + 4, got.end()), pong);
}

TEST(FramePipe, OversizedResponseSendsNothing) {
    PipePair pair = connected_pair();
    ServerEnd end(pair.server.get());
    win::BoundedPipe& server = end.stream;
    Result<void> written = write_frame(server, test_support::patterned_bytes(MAX_FRAME_LEN + 1));
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error(), "response too large");
    DWORD available = 1;
    ASSERT_TRUE(PeekNamedPipe(pair.client.get(), nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(available, 0u);
}

TEST(FramePipe, WriteToAClosedClientFails) {
    PipePair pair = connected_pair();
    pair.client.reset();
    ServerEnd end(pair.server.get());
    win::BoundedPipe& server = end.stream;
    Result<void> written = write_frame(server, test_support::patterned_bytes(10));
    ASSERT_FALSE(written.ok());
    // A server end whose client has gone fails its writes with ERROR_NO_DATA.
    EXPECT_EQ(written.error(), "WriteFile: " + win::winapi_error_text(ERROR_NO_DATA));
}

}  // namespace
}  // namespace korvan::pipe
