// The deadline's cancels on a real pipe whose client never reads.

#include "win/sync_io_deadline.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include "support/pipe_client.h"

namespace korvan::win {
namespace {

// A connected pair whose overlapped server end has sent the client one byte that the
// client has not read, so that a flush of the server end waits.
test_support::PipePair pair_with_unread_byte() {
    test_support::PipePair pair = test_support::connected_pair(FILE_FLAG_OVERLAPPED);
    EXPECT_TRUE(pair.server.valid());
    EXPECT_TRUE(pair.client.valid());
    OVERLAPPED overlapped{};
    const UniqueHandle written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    overlapped.hEvent = written.get();
    DWORD put = 0;
    if (!WriteFile(pair.server.get(), "x", 1, nullptr, &overlapped)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    EXPECT_TRUE(GetOverlappedResult(pair.server.get(), &overlapped, &put, TRUE));
    EXPECT_EQ(put, 1u);
    return pair;
}

SyncIoDeadline made_deadline() {
    Result<SyncIoDeadline> made = make_sync_io_deadline();
    EXPECT_TRUE(made.ok()) << made.error();
    return made.ok() ? std::move(made.value()) : SyncIoDeadline{};
}

// A flush on this thread, as the exchange makes it, with the deadline armed `bound_ms`
// ahead; a flush still waiting after 30 s is cancelled here so that the test fails
// rather than hangs.
struct Flush {
    bool flushed;
    DWORD error;
    ULONGLONG took_ms;
};
Flush flush_armed(HANDLE pipe, DWORD bound_ms) {
    SyncIoDeadline bound = made_deadline();
    if (!bound.timer) {
        return Flush{false, ERROR_INVALID_HANDLE, 0};
    }
    const UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread watchdog([&] {
        if (WaitForSingleObject(done.get(), 30000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the flush was not cancelled";
            CancelIoEx(pipe, nullptr);
        }
    });
    const ULONGLONG from = GetTickCount64();
    arm(bound, from + bound_ms, pipe);
    Flush flush{};
    flush.flushed = FlushFileBuffers(pipe) != FALSE;
    flush.error = flush.flushed ? ERROR_SUCCESS : GetLastError();
    flush.took_ms = GetTickCount64() - from;
    disarm(bound);
    SetEvent(done.get());
    watchdog.join();
    return flush;
}

TEST(SyncIoDeadline, CancelsABlockingFlushOnTheArmedHandleFromAnyThread) {
    test_support::PipePair pair = pair_with_unread_byte();
    ASSERT_TRUE(pair.server.valid() && pair.client.valid());
    SyncIoDeadline bound = made_deadline();
    ASSERT_TRUE(bound.timer);
    arm(bound, GetTickCount64(), pair.server.get());

    // The flush runs on another thread, so it is not the owning thread's synchronous
    // I/O: only the cancel on the handle reaches it.
    const UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    DWORD flush_error = ERROR_SUCCESS;
    std::thread flusher([&] {
        if (!FlushFileBuffers(pair.server.get())) {
            flush_error = GetLastError();
        }
        SetEvent(done.get());
    });
    const bool ended = WaitForSingleObject(done.get(), 30000) == WAIT_OBJECT_0;
    disarm(bound);
    if (!ended) {
        CancelIoEx(pair.server.get(), nullptr);
    }
    flusher.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(flush_error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

// The exchange's wait for its response to be read: the flush on the owning thread
// waits for the client while it reads nothing, and fails at the deadline.
TEST(SyncIoDeadline, AFlushOfAnOverlappedInstanceWaitsForTheClientUntilTheDeadline) {
    test_support::PipePair pair = pair_with_unread_byte();
    ASSERT_TRUE(pair.server.valid() && pair.client.valid());
    const Flush flush = flush_armed(pair.server.get(), 300);
    EXPECT_FALSE(flush.flushed);
    EXPECT_EQ(flush.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // GetTickCount64 moves in steps of up to about 16 ms.
    EXPECT_GE(flush.took_ms, 280u);
    EXPECT_LT(flush.took_ms, 5000u);
}

// ... and returns, successfully, once the client has read everything.
TEST(SyncIoDeadline, AFlushOfAnOverlappedInstanceReturnsOnceTheClientHasRead) {
    test_support::PipePair pair = pair_with_unread_byte();
    ASSERT_TRUE(pair.server.valid() && pair.client.valid());
    char byte = 0;
    DWORD got = 0;
    BOOL read = FALSE;
    std::thread reader([&] {
        Sleep(300);
        read = ReadFile(pair.client.get(), &byte, 1, &got, nullptr);
    });
    const Flush flush = flush_armed(pair.server.get(), 10000);
    reader.join();
    EXPECT_TRUE(read);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 'x');
    EXPECT_TRUE(flush.flushed) << flush.error;
    EXPECT_GE(flush.took_ms, 280u);
    EXPECT_LT(flush.took_ms, 10000u);
}

}  // namespace
}  // namespace korvan::win
