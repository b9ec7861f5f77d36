#include "win/backup_privileges.h"

#include <gtest/gtest.h>

#include <thread>

#include "win/handle.h"

namespace korvan::win {
namespace {

// Whether the calling thread has a token of its own, and the error when it has none.
struct ThreadToken {
    bool present = false;
    DWORD error = ERROR_SUCCESS;
};

ThreadToken thread_token() {
    UniqueHandle token;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        return {true, ERROR_SUCCESS};
    }
    const DWORD error = GetLastError();
    return {false, error};
}

// The scope lives on a thread of its own, as the move's does, which ends right after it:
// what it leaves behind is seen on that thread, never on the test's.
TEST(BackupRestoreScope, LeavesTheThreadWithoutATokenOfItsOwnOnceClosed) {
    ThreadToken before;
    ThreadToken inside;
    ThreadToken after;
    std::thread fresh([&] {
        before = thread_token();
        {
            const BackupRestoreScope scope;
            inside = thread_token();
        }
        after = thread_token();
    });
    fresh.join();
    EXPECT_FALSE(before.present);
    EXPECT_EQ(before.error, static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_TRUE(inside.present) << "the scope did not impersonate: " << inside.error;
    EXPECT_FALSE(after.present);
    EXPECT_EQ(after.error, static_cast<DWORD>(ERROR_NO_TOKEN));
}

}  // namespace
}  // namespace korvan::win
