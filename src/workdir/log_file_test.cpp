#include "workdir/log_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "win/handle.h"

// The file's mechanics in a folder of the test's own; which folder the service log
// writes to, and when, is tested in log/service_log_test.cpp.

namespace korvan::workdir {
namespace {

using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

// A limit that no line of these tests reaches.
constexpr std::uint64_t ROOMY = 1024 * 1024;

std::wstring log_in(const std::wstring& folder) {
    return folder + L"\\service.log";
}

std::wstring old_log_in(const std::wstring& folder) {
    return log_in(folder) + L".1";
}

// `message` and its line feed, appended as the service appends it.
void append(const std::wstring& folder, const std::string& message, std::uint64_t limit) {
    append_log_line(folder, message + "\n", limit, Role::Service);
}

TEST(AppendLogLine, SharesTheFileOrLosesTheLine) {
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
        ASSERT_TRUE(write_file(log_in(temp.path), "old\n"));
        win::UniqueHandle holder(CreateFileW(log_in(temp.path).c_str(), c.holder_access,
                                             c.holder_share, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        append(temp.path, "line", ROOMY);
        holder.reset();
        EXPECT_EQ(read_file(log_in(temp.path)), c.written ? "old\nline\n" : "old\n");
    }
}

TEST(AppendLogLine, BeginsANewLogBeforeALineThatWouldPassTheLimit) {
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
        if (c.log) {
            ASSERT_TRUE(write_file(log_in(temp.path), *c.log));
        }
        if (c.old_log) {
            ASSERT_TRUE(write_file(old_log_in(temp.path), *c.old_log));
        }
        append(temp.path, c.message, LIMIT);
        EXPECT_EQ(read_file(log_in(temp.path)), c.log_after);
        EXPECT_EQ(read_file(old_log_in(temp.path)), c.old_log_after);
    }
}

TEST(AppendLogLine, LinesAroundEachNewLogStayWholeAndInOrder) {
    TempDir temp(L"log");
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
        append(temp.path, step.message, 20);
        EXPECT_EQ(read_file(log_in(temp.path)), step.log);
        EXPECT_EQ(read_file(old_log_in(temp.path)), step.old_log);
    }
}

TEST(AppendLogLine, NeverWritesThroughAHardLinkedLog) {
    TempDir temp(L"log");
    const std::wstring outside = temp.path + L"\\outside.txt";
    ASSERT_TRUE(write_file(outside, "outside\n"));
    ASSERT_TRUE(CreateHardLinkW(log_in(temp.path).c_str(), outside.c_str(), nullptr));
    append(temp.path, "line", ROOMY);
    EXPECT_EQ(read_file(outside), "outside\n");
    // The name went to service.log.1 with the file it names; the line, to a new log.
    EXPECT_EQ(read_file(log_in(temp.path)), "line\n");
    EXPECT_EQ(read_file(old_log_in(temp.path)), "outside\n");
}

// What keeps service.log.1 from being replaced, or service.log from being renamed:
// an administrator's directory, or a handle without delete sharing.
enum class Obstacle { Directory, HeldWithoutDeleteSharing };

struct Planted {
    std::vector<win::UniqueHandle> handles;
};

void plant(Planted& planted, const std::wstring& path, Obstacle obstacle) {
    if (obstacle == Obstacle::Directory) {
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        return;
    }
    win::UniqueHandle held(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    planted.handles.push_back(std::move(held));
}

TEST(AppendLogLine, NeverPassesItsLimitWhateverKeepsItFromRotating) {
    constexpr std::uint64_t LIMIT = 40;
    struct Case {
        const char* name;
        std::vector<std::pair<const wchar_t*, Obstacle>> obstacles;
        // The spare name that ends up holding the lines before the latest new log.
        const wchar_t* holds_older;
    };
    const std::vector<Case> cases = {
        {"service.log.1 a directory", {{L".1", Obstacle::Directory}}, L".2"},
        {"service.log.1 held", {{L".1", Obstacle::HeldWithoutDeleteSharing}}, L".2"},
        {"service.log.1 and .2 directories",
         {{L".1", Obstacle::Directory}, {L".2", Obstacle::Directory}},
         nullptr},
        {"service.log held", {{L"", Obstacle::HeldWithoutDeleteSharing}}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"log");
        Planted planted;
        for (const auto& [suffix, obstacle] : c.obstacles) {
            plant(planted, log_in(temp.path) + suffix, obstacle);
        }
        // Nine bytes a line: four fit below the limit, the fifth begins a new log.
        for (int index = 10; index < 60; ++index) {
            const std::string message = "line " + std::to_string(index) + "!";
            append(temp.path, message, LIMIT);
            const std::optional<std::string> log = read_file(log_in(temp.path));
            ASSERT_TRUE(log.has_value());
            EXPECT_LE(log->size(), LIMIT);
            EXPECT_TRUE(log->ends_with(message + "\n")) << *log;
        }
        // Lines 10 to 13 make the first log, 14 to 17 the next, and so on.
        EXPECT_EQ(read_file(log_in(temp.path)), "line 58!\nline 59!\n");
        if (c.holds_older) {
            EXPECT_EQ(read_file(log_in(temp.path) + c.holds_older),
                      "line 54!\nline 55!\nline 56!\nline 57!\n");
        }
    }
}

TEST(AppendLogLine, MovesADirectoryNamedServiceLogOutOfTheWay) {
    // Windows refuses to put a directory in place of a file by renaming; Wine does it.
    // Either way the directory leaves the name and a new log begins.
    struct Case {
        const char* name;
        std::vector<const wchar_t*> older_files;  // suffixes of existing older logs
    };
    const std::vector<Case> cases = {
        {"no older logs", {}},
        {"service.log.1 a file", {L".1"}},
        {"service.log.1 and .2 files", {L".1", L".2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"log");
        const std::wstring& work = temp.path;
        ASSERT_TRUE(CreateDirectoryW(log_in(temp.path).c_str(), nullptr));
        for (const wchar_t* suffix : c.older_files) {
            ASSERT_TRUE(write_file(log_in(temp.path) + suffix, "older\n"));
        }
        append(temp.path, "line", ROOMY);
        EXPECT_EQ(read_file(log_in(temp.path)), "line\n");
        size_t directories = 0;
        for (const auto& entry : std::filesystem::directory_iterator(work)) {
            directories += entry.is_directory() &&
                           entry.path().filename().wstring().starts_with(L"service.log");
        }
        EXPECT_EQ(directories, 1u);
    }
}

}  // namespace
}  // namespace korvan::workdir
