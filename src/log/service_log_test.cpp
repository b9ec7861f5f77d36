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

std::wstring old_log_in(const std::wstring& program_data) {
    return log_in(program_data) + L".1";
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

TEST(WriteLog, BeginsANewLogBeforeALineThatWouldPassTheLimit) {
    constexpr std::uint64_t LIMIT = 20;
    const std::string before = "12345678\n";
    const std::string too_long(30, 'L');
    struct Case {
        const char* name;
        std::optional<std::string> log;
        std::optional<std::string> old_log;
        std::string message;
        std::string log_after;
        std::optional<std::string> old_log_after;
    };
    const std::vector<Case> cases = {
        {"below the limit", before, std::nullopt, "abcdefghi", before + "abcdefghi\n",
         std::nullopt},
        {"up to the limit", before, std::nullopt, "abcdefghij", before + "abcdefghij\n",
         std::nullopt},
        {"past the limit", before, std::nullopt, "abcdefghijk", "abcdefghijk\n", before},
        {"past the limit, older log replaced", before, "older\n", "abcdefghijk", "abcdefghijk\n",
         before},
        {"a line longer than the limit, no log yet", std::nullopt, std::nullopt, too_long,
         too_long + "\n", std::nullopt},
        {"a line longer than the limit, empty log", "", "older\n", too_long, too_long + "\n",
         "older\n"},
        {"a line longer than the limit after others", before, std::nullopt, too_long,
         too_long + "\n", before},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"log");
        const ScopedEnv env(L"ProgramData", temp.path);
        std::filesystem::create_directories(temp.path + L"\\KorvanVPN\\service");
        if (c.log) {
            ASSERT_TRUE(write_file(log_in(temp.path), *c.log));
        }
        if (c.old_log) {
            ASSERT_TRUE(write_file(old_log_in(temp.path), *c.old_log));
        }
        SetLastError(CALLER_ERROR);
        write_log_limited(c.message, LIMIT);
        EXPECT_EQ(GetLastError(), CALLER_ERROR);
        EXPECT_EQ(read_file(log_in(temp.path)), c.log_after);
        EXPECT_EQ(read_file(old_log_in(temp.path)), c.old_log_after);
    }
}

TEST(WriteLog, LinesAroundEachNewLogStayWholeAndInOrder) {
    TempDir temp(L"log");
    const ScopedEnv env(L"ProgramData", temp.path + L"\\program data");
    const std::wstring program_data = temp.path + L"\\program data";
    // Seven bytes a line: two fit below the limit of 20, the third begins a new log.
    struct Step {
        std::string message;
        std::string log;
        std::optional<std::string> old_log;
    };
    const std::vector<Step> steps = {
        {"line 1", "line 1\n", std::nullopt},
        {"line 2", "line 1\nline 2\n", std::nullopt},
        {"line 3", "line 3\n", "line 1\nline 2\n"},
        {"line 4", "line 3\nline 4\n", "line 1\nline 2\n"},
        {"line 5", "line 5\n", "line 3\nline 4\n"},
        {"line 6", "line 5\nline 6\n", "line 3\nline 4\n"},
        {"line 7", "line 7\n", "line 5\nline 6\n"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.message);
        write_log_limited(step.message, 20);
        EXPECT_EQ(read_file(log_in(program_data)), step.log);
        EXPECT_EQ(read_file(old_log_in(program_data)), step.old_log);
    }
}

TEST(WriteLog, CountsALineThatRepeatsWithinTheWindow) {
    struct Line {
        std::string message;
        std::uint64_t at_ms;
    };
    struct Case {
        const char* name;
        std::vector<Line> lines;
        std::string before_flush;
        std::string after_flush;
    };
    const std::vector<Case> cases = {
        {"different lines", {{"a", 0}, {"b", 1}, {"a", 2}}, "a\nb\na\n", "a\nb\na\n"},
        {"repeats, then the count at the flush",
         {{"x", 0}, {"x", 1}, {"x", 9999}},
         "x\n",
         "x\nlast message repeated 2 times\n"},
        {"repeats, then the count before another line",
         {{"x", 0}, {"x", 1}, {"y", 2}},
         "x\nlast message repeated 1 times\ny\n",
         "x\nlast message repeated 1 times\ny\n"},
        {"the window counts from the line written",
         {{"x", 0}, {"x", 5000}, {"x", 10000}, {"x", 10001}},
         "x\nlast message repeated 1 times\nx\n",
         "x\nlast message repeated 1 times\nx\nlast message repeated 1 times\n"},
        {"no repeat after the window", {{"x", 0}, {"x", 10000}}, "x\nx\n", "x\nx\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"log");
        const ScopedEnv env(L"ProgramData", temp.path);
        // Far from any earlier line of this process on the same clock.
        const std::uint64_t start = GetTickCount64() + 1'000'000;
        for (const Line& line : c.lines) {
            SetLastError(CALLER_ERROR);
            write_log_at(line.message, LOG_SIZE_LIMIT, start + line.at_ms);
            EXPECT_EQ(GetLastError(), CALLER_ERROR);
        }
        EXPECT_EQ(read_file(log_in(temp.path)), c.before_flush);
        SetLastError(CALLER_ERROR);
        flush_log();
        EXPECT_EQ(GetLastError(), CALLER_ERROR);
        EXPECT_EQ(read_file(log_in(temp.path)), c.after_flush);
    }
}

TEST(WriteLog, BeginsANewLogPastFourMebibytes) {
    TempDir temp(L"log");
    const ScopedEnv env(L"ProgramData", temp.path);
    std::filesystem::create_directories(temp.path + L"\\KorvanVPN\\service");
    const std::string full(4 * 1024 * 1024 - 2, 'F');
    ASSERT_TRUE(write_file(log_in(temp.path), full));

    write_log("x");
    const std::optional<std::string> at_limit = read_file(log_in(temp.path));
    ASSERT_TRUE(at_limit.has_value());
    EXPECT_EQ(at_limit->size(), full.size() + 2);
    EXPECT_EQ(at_limit->substr(at_limit->size() - 3), "Fx\n");
    EXPECT_FALSE(test_support::exists(old_log_in(temp.path)));

    write_log("y");
    EXPECT_EQ(read_file(log_in(temp.path)), "y\n");
    const std::optional<std::string> old_log = read_file(old_log_in(temp.path));
    ASSERT_TRUE(old_log.has_value());
    EXPECT_EQ(old_log->size(), full.size() + 2);
    EXPECT_EQ(old_log->substr(old_log->size() - 3), "Fx\n");
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
