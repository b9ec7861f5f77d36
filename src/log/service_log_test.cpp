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
#include "win/utf.h"
#include "workdir/folder_record.h"
#include "workdir/service_dir.h"

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
        std::optional<std::string> before;  // an existing log
        std::vector<std::string> messages;
        std::string after;
    };
    const std::vector<Case> cases = {
        {"no log yet", std::nullopt, {"first", "second"}, "first\nsecond\n"},
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
        const std::wstring program_data = temp.path + L"\\program data";
        const ScopedEnv env(L"ProgramData", program_data);
        test_support::own_work_dir(program_data);
        if (c.before) {
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
        test_support::own_work_dir(temp.path);
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
        test_support::own_work_dir(temp.path);
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
    test_support::own_work_dir(program_data);
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
        test_support::own_work_dir(temp.path);
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
    test_support::own_work_dir(temp.path);
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
    test_support::own_work_dir(temp.path);
    const std::wstring outside = temp.path + L"\\outside.txt";
    ASSERT_TRUE(write_file(outside, "outside\n"));
    ASSERT_TRUE(CreateHardLinkW(log_in(temp.path).c_str(), outside.c_str(), nullptr));
    SetLastError(CALLER_ERROR);
    write_log("line");
    EXPECT_EQ(GetLastError(), CALLER_ERROR);
    EXPECT_EQ(read_file(outside), "outside\n");
    // The name went to service.log.1 with the file it names; the line, to a new log.
    EXPECT_EQ(read_file(log_in(temp.path)), "line\n");
    EXPECT_EQ(read_file(old_log_in(temp.path)), "outside\n");
}

// Windows only: Wine makes no junctions.
TEST(WriteLog, NeverWritesThroughAJunctionAtAWorkFolderLevel) {
    if (!test_support::system_makes_junctions()) {
        ASSERT_TRUE(test_support::running_under_wine()) << "this system makes no junctions";
        GTEST_SKIP() << "Wine makes no junctions";
    }
    struct Case {
        const char* name;
        const wchar_t* level;
        // The service's own level turned into a junction, keeping its file ID.
        bool own;
    };
    const std::vector<Case> cases = {
        {"planted KorvanVPN", L"\\KorvanVPN", false},
        {"planted work folder", L"\\KorvanVPN\\service", false},
        {"the service's own work folder", L"\\KorvanVPN\\service", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"log");
        const ScopedEnv env(L"ProgramData", temp.path);
        const std::wstring target = temp.path + L"\\target";
        const std::wstring link = temp.path + c.level;
        std::filesystem::create_directories(target);
        if (c.own) {
            test_support::own_work_dir(temp.path);
            ASSERT_TRUE(test_support::turn_into_junction(link, target));
        } else {
            std::filesystem::create_directories(std::filesystem::path(link).parent_path());
            ASSERT_TRUE(test_support::make_junction(link, target));
        }
        SetLastError(CALLER_ERROR);
        write_log("line");
        write_log_as_guest("guest line");
        EXPECT_EQ(GetLastError(), CALLER_ERROR);
        EXPECT_TRUE(std::filesystem::is_empty(target));
        const std::wstring parent = link.substr(0, link.find_last_of(L'\\'));
        const std::wstring name = link.substr(link.find_last_of(L'\\') + 1);
        EXPECT_TRUE(test_support::moved_aside_in(parent, name).empty());
        // The junction goes first, so that removing the temp folder cannot reach through.
        EXPECT_TRUE(RemoveDirectoryW(link.c_str()));
    }
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

TEST(WriteLog, NeverPassesItsLimitWhateverKeepsItFromRotating) {
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
        const ScopedEnv env(L"ProgramData", temp.path);
        test_support::own_work_dir(temp.path);
        Planted planted;
        for (const auto& [suffix, obstacle] : c.obstacles) {
            plant(planted, log_in(temp.path) + suffix, obstacle);
        }
        // Nine bytes a line: four fit below the limit, the fifth begins a new log.
        for (int index = 10; index < 60; ++index) {
            const std::string message = "line " + std::to_string(index) + "!";
            write_log_limited(message, LIMIT);
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

TEST(WriteLog, MovesADirectoryNamedServiceLogOutOfTheWay) {
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
        const ScopedEnv env(L"ProgramData", temp.path);
        const std::wstring work = test_support::own_work_dir(temp.path);
        ASSERT_TRUE(CreateDirectoryW(log_in(temp.path).c_str(), nullptr));
        for (const wchar_t* suffix : c.older_files) {
            ASSERT_TRUE(write_file(log_in(temp.path) + suffix, "older\n"));
        }
        write_log("line");
        EXPECT_EQ(read_file(log_in(temp.path)), "line\n");
        size_t directories = 0;
        for (const auto& entry : std::filesystem::directory_iterator(work)) {
            directories += entry.is_directory() &&
                           entry.path().filename().wstring().starts_with(L"service.log");
        }
        EXPECT_EQ(directories, 1u);
    }
}

TEST(WriteLogAsGuest, AppendsOnlyToAPlainLogInTheServicesOwnFolder) {
    struct Case {
        const char* name;
        bool own_folder;
        std::optional<std::string> log;
        std::optional<std::string> after;
    };
    const std::string full(static_cast<size_t>(LOG_SIZE_LIMIT), 'F');
    const std::vector<Case> cases = {
        {"the service's own folder and log", true, "old\n", "old\nguest\n"},
        {"the service's own folder, no log", true, std::nullopt, std::nullopt},
        {"the service's own folder, a full log", true, full, full},
        {"a folder someone else made", false, "old\n", "old\n"},
        {"no folder", false, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"log");
        const ScopedEnv env(L"ProgramData", temp.path);
        if (c.own_folder) {
            test_support::own_work_dir(temp.path);
        } else if (c.log) {
            std::filesystem::create_directories(temp.path + L"\\KorvanVPN\\service");
        }
        if (c.log) {
            ASSERT_TRUE(write_file(log_in(temp.path), *c.log));
        }
        const std::optional<FILE_ID_INFO> top =
            test_support::file_identity(temp.path + L"\\KorvanVPN");
        SetLastError(CALLER_ERROR);
        write_log_as_guest("guest");
        EXPECT_EQ(GetLastError(), CALLER_ERROR);
        EXPECT_EQ(read_file(log_in(temp.path)), c.after);
        EXPECT_FALSE(test_support::exists(old_log_in(temp.path)));
        // Nothing made, nothing moved.
        EXPECT_EQ(test_support::file_identity(temp.path + L"\\KorvanVPN").has_value(),
                  top.has_value());
        EXPECT_TRUE(test_support::moved_aside_in(temp.path, L"KorvanVPN").empty());
    }
}

// Only a start makes or moves the work folder's levels: a line, however many come, in
// a folder that is missing or not the service's own is lost, and leaves everything as
// it was.
TEST(WriteLog, ALineMakesAndMovesNoFolder) {
    struct Case {
        const char* name;
        // Made by the service before anything is planted: KorvanVPN only.
        bool own_top;
        // Folders planted below ProgramData.
        std::vector<std::wstring> planted;
    };
    const std::vector<Case> cases = {
        {"nothing there", false, {}},
        {"KorvanVPN made by someone else", false, {L"KorvanVPN"}},
        {"both levels made by someone else", false, {L"KorvanVPN", L"KorvanVPN\\service"}},
        {"the service's own KorvanVPN, no work folder", true, {}},
        {"a work folder made by someone else in the service's own KorvanVPN",
         true,
         {L"KorvanVPN\\service"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp(L"log");
        const ScopedEnv env(L"ProgramData", temp.path);
        const std::wstring top = temp.path + L"\\KorvanVPN";
        const std::wstring work = top + L"\\service";
        if (c.own_top) {
            // The work folder kept elsewhere, so that no new folder takes over its file ID.
            test_support::own_work_dir(temp.path);
            ASSERT_TRUE(MoveFileExW(work.c_str(), (temp.path + L"\\old work").c_str(), 0));
        }
        for (const std::wstring& folder : c.planted) {
            std::filesystem::create_directories(temp.path + L"\\" + folder);
        }
        const bool work_planted = test_support::exists(work);
        if (work_planted) {
            ASSERT_TRUE(write_file(log_in(temp.path), "planted\n"));
        }
        const std::optional<FILE_ID_INFO> top_before = test_support::file_identity(top);
        const std::optional<FILE_ID_INFO> work_before = test_support::file_identity(work);
        for (int line = 0; line < 20; ++line) {
            write_log("frame length out of range: " + std::to_string(line));
        }
        flush_log();
        const std::optional<FILE_ID_INFO> top_after = test_support::file_identity(top);
        const std::optional<FILE_ID_INFO> work_after = test_support::file_identity(work);
        ASSERT_EQ(top_before.has_value(), top_after.has_value());
        ASSERT_EQ(work_before.has_value(), work_after.has_value());
        EXPECT_TRUE(!top_before || workdir::same_file(*top_before, *top_after));
        EXPECT_TRUE(!work_before || workdir::same_file(*work_before, *work_after));
        EXPECT_TRUE(test_support::moved_aside_in(temp.path, L"KorvanVPN").empty());
        EXPECT_TRUE(!test_support::exists(top) ||
                    test_support::moved_aside_in(top, L"service").empty());
        EXPECT_EQ(read_file(log_in(temp.path)),
                  work_planted ? std::optional<std::string>("planted\n") : std::nullopt);
    }
}

// Both levels are judged for every line: the service's own work folder, moved (with its
// file ID) into a KorvanVPN someone else made, is written to by no one.
TEST(WriteLog, EveryLevelIsJudgedForEveryLine) {
    TempDir temp(L"log");
    const ScopedEnv env(L"ProgramData", temp.path);
    const std::wstring top = temp.path + L"\\KorvanVPN";
    const std::wstring work = test_support::own_work_dir(temp.path);
    ASSERT_TRUE(write_file(log_in(temp.path), "old\n"));
    const std::wstring old_top = temp.path + L"\\old own KorvanVPN";
    ASSERT_TRUE(MoveFileExW(top.c_str(), old_top.c_str(), 0));
    ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));
    ASSERT_TRUE(MoveFileExW((old_top + L"\\service").c_str(), work.c_str(), 0));
    ASSERT_FALSE(workdir::find_service_dir(temp.path).ok());

    write_log_as_guest("guest");
    write_log("service");
    EXPECT_EQ(read_file(log_in(temp.path)), "old\n");
}

TEST(WriteLog, FallsBackToCProgramDataWhenUnset) {
    const ScopedEnv env(L"ProgramData", std::nullopt);
    const std::wstring program_data = L"C:\\ProgramData";
    const std::wstring folder = program_data + L"\\KorvanVPN";
    const std::wstring log = folder + L"\\service\\service.log";
    const bool folder_existed = test_support::exists(folder);
    if (!folder_existed) {
        test_support::own_work_dir(program_data);
    }
    // A folder there that is not the service's own keeps the line out.
    const bool own = workdir::find_service_dir(program_data).ok();
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
    if (own) {
        EXPECT_EQ(after, before.value_or("") + message + "\n");
    } else {
        EXPECT_EQ(after, before);
    }
}

TEST(WriteLog, EmptyProgramDataMeansTheCurrentFolder) {
    TempDir temp(L"log");
    std::array<wchar_t, MAX_PATH + 1> saved{};
    ASSERT_NE(GetCurrentDirectoryW(static_cast<DWORD>(saved.size()), saved.data()), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(temp.path.c_str()));
    {
        const ScopedEnv env(L"ProgramData", L"");
        test_support::own_work_dir(L"");
        write_log("relative");
    }
    ASSERT_TRUE(SetCurrentDirectoryW(saved.data()));
    EXPECT_EQ(read_file(temp.path + L"\\KorvanVPN\\service\\service.log"), "relative\n");
}

}  // namespace
}  // namespace korvan::log
