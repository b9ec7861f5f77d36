#include "log/service_log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/folder_probes.h"
#include "support/test_support.h"
#include "win/handle.h"

// Not shown here: that lines of other processes appending at the same moment never
// land inside a line. Windows appends each write to an append-only handle as a whole;
// Wine does not (two handles appending at once can overwrite each other's data), so a
// test of it cannot pass under Wine.

namespace korvan::log {
namespace {

using test_support::read_file;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::write_file;

constexpr DWORD CALLER_ERROR = 4242;

std::wstring log_in(const std::wstring& program_data) {
    return program_data + L"\\KorvanVPN\\service\\service.log";
}

TEST(WriteLog, AppendsEachMessageAsOneLine) {
    struct Case {
        const char* name;
        std::optional<std::string> before;  // an existing log, in existing folders
        std::vector<std::string> messages;
        std::string after;
    };
    const std::vector<Case> cases = {
        {"no folders yet", std::nullopt, {"first", "second"}, "first\nsecond\n"},
        {"existing log", "old line\n", {"new"}, "old line\nnew\n"},
        {"line feed in a message", std::nullopt, {"two\nlines", "three"}, "two\nlines\nthree\n"},
        {"UTF-8 and an empty message",
         std::nullopt,
         {"d\xC3\xA9j\xC3\xA0 vu", ""},
         "d\xC3\xA9j\xC3\xA0 vu\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"log");
        const std::wstring program_data = temp.path + L"\\missing\\program data";
        const ScopedEnv env(L"ProgramData", program_data);
        if (c.before) {
            std::filesystem::create_directories(program_data + L"\\KorvanVPN\\service");
            ASSERT_TRUE(write_file(log_in(program_data), *c.before));
        }
        for (const std::string& message : c.messages) {
            SetLastError(CALLER_ERROR);
            write_log(message);
            EXPECT_EQ(GetLastError(), CALLER_ERROR);
        }
        EXPECT_EQ(read_file(log_in(program_data)), c.after);
    }
}

TEST(WriteLog, SharesTheFileOrLosesTheLineQuietly) {
    struct Case {
        const char* name;
        DWORD holder_access;
        DWORD holder_share;
        bool written;
    };
    const std::vector<Case> cases = {
        {"held for reading, writing and deleting, sharing all",
         GENERIC_READ | GENERIC_WRITE | DELETE,
         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
        {"held sharing nothing", GENERIC_READ, 0, false},
        {"held sharing reading only", GENERIC_READ, FILE_SHARE_READ, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"log");
        const ScopedEnv env(L"ProgramData", temp.path);
        std::filesystem::create_directories(temp.path + L"\\KorvanVPN\\service");
        ASSERT_TRUE(write_file(log_in(temp.path), "old\n"));
        win::UniqueHandle holder(CreateFileW(log_in(temp.path).c_str(), c.holder_access,
                                             c.holder_share, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        SetLastError(CALLER_ERROR);
        write_log("line");
        EXPECT_EQ(GetLastError(), CALLER_ERROR);
        holder.reset();
        EXPECT_EQ(read_file(log_in(temp.path)), c.written ? "old\nline\n" : "old\n");
    }
}

TEST(WriteLog, NeverWritesThroughAHardLinkedLog) {
    TempDir temp(L"log");
    const ScopedEnv env(L"ProgramData", temp.path);
    std::filesystem::create_directories(temp.path + L"\\KorvanVPN\\service");
    const std::wstring outside = temp.path + L"\\outside.txt";
    ASSERT_TRUE(write_file(outside, "outside\n"));
    ASSERT_TRUE(CreateHardLinkW(log_in(temp.path).c_str(), outside.c_str(), nullptr));
    SetLastError(CALLER_ERROR);
    write_log("line");
    EXPECT_EQ(GetLastError(), CALLER_ERROR);
    EXPECT_EQ(read_file(outside), "outside\n");
}

TEST(WriteLog, LosesTheLineWhenAWorkFolderLevelIsAJunction) {
    if (!test_support::system_makes_junctions()) {
        GTEST_SKIP() << "this system makes no junctions";
    }
    for (const wchar_t* level : {L"\\KorvanVPN", L"\\KorvanVPN\\service"}) {
        TempDir temp(L"log");
        const ScopedEnv env(L"ProgramData", temp.path);
        const std::wstring target = temp.path + L"\\target";
        const std::wstring link = temp.path + level;
        std::filesystem::create_directories(target);
        std::filesystem::create_directories(std::filesystem::path(link).parent_path());
        ASSERT_TRUE(test_support::make_junction(link, target));
        SetLastError(CALLER_ERROR);
        write_log("line");
        EXPECT_EQ(GetLastError(), CALLER_ERROR);
        EXPECT_TRUE(std::filesystem::is_empty(target));
        EXPECT_TRUE(RemoveDirectoryW(link.c_str()));
    }
}

TEST(WriteLog, FallsBackToCProgramDataWhenUnset) {
    const ScopedEnv env(L"ProgramData", std::nullopt);
    const std::wstring folder = L"C:\\ProgramData\\KorvanVPN";
    const std::wstring log = folder + L"\\service\\service.log";
    const bool folder_existed = test_support::exists(folder);
    const std::optional<std::string> before = read_file(log);
    const std::string message = "fallback " + std::to_string(GetCurrentProcessId());

    write_log(message);
    const std::optional<std::string> after = read_file(log);

    if (!folder_existed) {
        std::filesystem::remove_all(folder);
    } else if (before) {
        write_file(log, *before);
    } else {
        DeleteFileW(log.c_str());
    }
    EXPECT_EQ(after, before.value_or("") + message + "\n");
}

TEST(WriteLog, EmptyProgramDataMeansTheCurrentFolder) {
    TempDir temp(L"log");
    std::array<wchar_t, MAX_PATH + 1> saved{};
    ASSERT_NE(GetCurrentDirectoryW(static_cast<DWORD>(saved.size()), saved.data()), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(temp.path.c_str()));
    {
        const ScopedEnv env(L"ProgramData", L"");
        write_log("relative");
    }
    ASSERT_TRUE(SetCurrentDirectoryW(saved.data()));
    EXPECT_EQ(read_file(temp.path + L"\\KorvanVPN\\service\\service.log"), "relative\n");
}

}  // namespace
}  // namespace korvan::log
