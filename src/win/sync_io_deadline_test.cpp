// The deadline's cancels on a real pipe whose client never reads.

#include "win/sync_io_deadline.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include "support/pipe_client.h"

namespace korvan::win {
namespace {

TEST(SyncIoDeadline, CancelsABlockingFlushOnTheArmedHandleFromAnyThread) {
    test_support::PipePair pair = test_support::connected_pair(FILE_FLAG_OVERLAPPED);
    ASSERT_TRUE(pair.server.valid());
    ASSERT_TRUE(pair.client.valid());
    // Unread by the client, the byte keeps a flush of the server end waiting.
    OVERLAPPED overlapped{};
    const UniqueHandle written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    overlapped.hEvent = written.get();
    DWORD put = 0;
    if (!WriteFile(pair.server.get(), "x", 1, nullptr, &overlapped)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(GetOverlappedResult(pair.server.get(), &overlapped, &put, TRUE));
    ASSERT_EQ(put, 1u);

    Result<SyncIoDeadline> made = make_sync_io_deadline();
    ASSERT_TRUE(made.ok()) << made.error();
    SyncIoDeadline bound = std::move(made.value());
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

}  // namespace
}  // namespace korvan::win
