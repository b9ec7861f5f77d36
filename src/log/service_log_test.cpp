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

    SetLastError(CALLER_ERROR);
    write_log("x");
    EXPECT_EQ(GetLastError(), CALLER_ERROR);
    const std::optional<std::string> at_limit = read_file(log_in(temp.path));
    ASSERT_TRUE(at_limit.has_value());
    EXPECT_EQ(at_limit->size(), full.size() + 2);
    EXPECT_EQ(at_limit->substr(at_limit->size() - 3), "Fx\n");
    EXPECT_FALSE(test_support::exists(old_log_in(temp.path)));

    // The line past the limit begins a new log (workdir/log_file.h).
    SetLastError(CALLER_ERROR);
    write_log("y");
    EXPECT_EQ(GetLastError(), CALLER_ERROR);
    EXPECT_EQ(read_file(log_in(temp.path)), "y\n");
    const std::optional<std::string> old_log = read_file(old_log_in(temp.path));
    ASSERT_TRUE(old_log.has_value());
    EXPECT_EQ(old_log->size(), full.size() + 2);
    EXPECT_EQ(old_log->substr(old_log->size() - 3), "Fx\n");
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
            SetLastError(CALLER_ERROR);
            write_log("frame length out of range: " + std::to_string(line));
            EXPECT_EQ(GetLastError(), CALLER_ERROR);
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
