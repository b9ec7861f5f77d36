// The test kit's elevated cleanup, in this process and as the kit runs it (kit-clean.exe,
// in the folder above this one, as in the kit). Under Wine no junction can be made, and
// a Unix symbolic link reads as a plain folder that a removal would follow out of the
// prefix: no test here plants a link of any kind under Wine. There a reparse point is
// a plain folder that the seam calls one; on Windows, a real junction.

#include "kit_clean/clean.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/folder_probes.h"
#include "support/process_run.h"
#include "support/test_support.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::kit_clean {
namespace {

using test_support::exists;
using test_support::Ran;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;
using win::narrow;
using win::UniqueHandle;

// A name as a user may give it: cmd's "call" would expand it to
// "KorvanVPN.foreign-b\Users\{name}", through the entry below.
constexpr wchar_t PERCENT_NAME[] = L"KorvanVPN.foreign-%NOPE%b%HOMEPATH%";

// Plants `entries` below `root`: a name ending in a backslash is a folder, anything else
// a file holding its own name.
void plant(const std::wstring& root, const std::vector<std::wstring>& entries) {
    for (const std::wstring& entry : entries) {
        const std::wstring path = root + L"\\" + entry;
        if (entry.ends_with(L"\\")) {
            std::filesystem::create_directories(path);
        } else {
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            ASSERT_TRUE(write_file(path, narrow(entry))) << narrow(path);
        }
    }
}

// Whether each file of `entries` below `root` still holds its name, and each folder is
// still there.
void expect_intact(const std::wstring& root, const std::vector<std::wstring>& entries) {
    for (const std::wstring& entry : entries) {
        const std::wstring path = root + L"\\" + entry;
        if (entry.ends_with(L"\\")) {
            EXPECT_TRUE(std::filesystem::is_directory(path)) << narrow(path);
        } else {
            EXPECT_EQ(read_file(path), narrow(entry)) << narrow(path);
        }
    }
}

TEST(CleanProgramData, RemovesKorvanVPNAndEveryEntryMovedAsideWhateverItsNameAndNothingElse) {
    TempDir temp(L"kit clean");
    const std::wstring& program_data = temp.path;
    const std::vector<std::wstring> taken = {
        L"KorvanVPN\\service\\service.log",
        L"KorvanVPN\\service\\sub\\x.dll",
        L"KorvanVPN\\service.foreign-0123\\wintun.dll",
        L"KorvanVPN.foreign-0123456789abcdef0123456789abcdef\\service\\config.yaml",
        std::wstring(PERCENT_NAME) + L"\\b\\Users\\planted.txt",
        L"korvanvpn.FOREIGN-case\\",
        L"KorvanVPN.foreign-a file moved aside",
    };
    const std::vector<std::wstring> kept = {
        L"Other\\KorvanVPN\\kept.txt",
        L"KorvanVPNx\\kept.txt",
        L"KorvanVPN.other\\kept.txt",
        L"KorvanVPN.foreign-",
    };
    plant(program_data, taken);
    plant(program_data, kept);
    const std::wstring read_only = program_data + L"\\KorvanVPN\\service\\read-only.txt";
    ASSERT_TRUE(write_file(read_only, "read only"));
    ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));

    const Result<std::vector<std::wstring>> left = clean_program_data(program_data);
    ASSERT_TRUE(left.ok()) << left.error();
    EXPECT_TRUE(left->empty()) << narrow(left->front());
    for (const wchar_t* gone :
         {L"KorvanVPN", L"KorvanVPN.foreign-0123456789abcdef0123456789abcdef", PERCENT_NAME,
          L"korvanvpn.FOREIGN-case", L"KorvanVPN.foreign-a file moved aside"}) {
        EXPECT_FALSE(exists(program_data + L"\\" + gone)) << narrow(gone);
    }
    expect_intact(program_data, kept);
}

TEST(CleanProgramData, AMissingProgramDataLeavesNothing) {
    TempDir temp(L"kit clean");
    const Result<std::vector<std::wstring>> left = clean_program_data(temp.path + L"\\missing");
    ASSERT_TRUE(left.ok()) << left.error();
    EXPECT_TRUE(left->empty());
}

// The entries that cmd expanded into "KorvanVPN.foreign-b\Users\{name}", with Users a
// junction to C:\Users: a reparse point in the middle of a path. Here Users is a plain
// folder that the seam reports as a reparse point; it, and what it leads to, stay as
// they are, and so does the folder that holds it. A reparse point taken itself, at the
// top, stays too. Everything else is removed.
TEST(CleanProgramData, NeverEntersOrRemovesAReparsePointAtAnyDepth) {
    TempDir temp(L"kit clean");
    const std::wstring& program_data = temp.path;
    const std::vector<std::wstring> behind_links = {
        L"KorvanVPN.foreign-b\\Users\\admin\\profile.txt",
        L"KorvanVPN.foreign-link\\admin\\profile.txt",
    };
    plant(program_data, behind_links);
    plant(program_data, {std::wstring(PERCENT_NAME) + L"\\planted.txt",
                         L"KorvanVPN.foreign-b\\beside.txt", L"KorvanVPN\\service\\service.log"});
    std::vector<std::wstring> reported;
    CleanSeams seams;
    seams.attributes = [&](const std::wstring& below, DWORD& attributes) {
        if (below == L"KorvanVPN.foreign-b\\Users" || below == L"KorvanVPN.foreign-link") {
            reported.push_back(below);
            attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        }
    };

    const Result<std::vector<std::wstring>> left = clean_program_data(program_data, seams);
    ASSERT_TRUE(left.ok()) << left.error();
    std::vector<std::wstring> left_sorted = left.value();
    std::sort(left_sorted.begin(), left_sorted.end());
    EXPECT_EQ(left_sorted, (std::vector<std::wstring>{program_data + L"\\KorvanVPN.foreign-b",
                                                      program_data + L"\\KorvanVPN.foreign-link"}));
    std::sort(reported.begin(), reported.end());
    EXPECT_EQ(reported, (std::vector<std::wstring>{L"KorvanVPN.foreign-b\\Users",
                                                   L"KorvanVPN.foreign-link"}));
    expect_intact(program_data, behind_links);
    EXPECT_FALSE(exists(program_data + L"\\KorvanVPN.foreign-b\\beside.txt"));
    EXPECT_FALSE(exists(program_data + L"\\" + PERCENT_NAME));
    EXPECT_FALSE(exists(program_data + L"\\KorvanVPN"));
}

// Someone renames a listed folder away, out of ProgramData, and puts another under its
// name before the removal opens it: the removal takes neither. The one moved away keeps
// everything; the one put in its place is not the entry listed.
TEST(CleanProgramData, AnEntrySwappedAfterTheListingIsLeftAndWhatMovedAwayIsKept) {
    TempDir temp(L"kit clean");
    const std::wstring program_data = temp.path + L"\\program data";
    const std::wstring outside = temp.path + L"\\outside";
    plant(program_data, {L"KorvanVPN.foreign-swapped\\service\\kept.txt"});
    CleanSeams seams;
    seams.before_open = [&](const std::wstring& below) {
        if (below == L"KorvanVPN.foreign-swapped") {
            const std::wstring path = program_data + L"\\" + below;
            EXPECT_TRUE(MoveFileExW(path.c_str(), outside.c_str(), 0));
            EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
            EXPECT_TRUE(write_file(path + L"\\swapped in.txt", "swapped in"));
        }
    };

    const Result<std::vector<std::wstring>> left = clean_program_data(program_data, seams);
    ASSERT_TRUE(left.ok()) << left.error();
    EXPECT_EQ(left.value(),
              (std::vector<std::wstring>{program_data + L"\\KorvanVPN.foreign-swapped"}));
    EXPECT_EQ(read_file(outside + L"\\service\\kept.txt"),
              "KorvanVPN.foreign-swapped\\service\\kept.txt");
    EXPECT_EQ(read_file(program_data + L"\\KorvanVPN.foreign-swapped\\swapped in.txt"),
              "swapped in");
}

// kit-clean.exe as run-tests.cmd runs it, with ProgramData as its one argument. Its lines
// end as the C runtime's text mode ends them, with CR LF.
Ran run_kit_clean(const std::wstring& arguments) {
    const std::wstring exe = test_support::module_dir() + L"\\..\\kit-clean.exe";
    const std::optional<Ran> ran = test_support::run(L"\"" + exe + L"\" " + arguments);
    EXPECT_TRUE(ran.has_value());
    return ran.value_or(Ran{});
}

TEST(KitClean, PrintsEachEntryLeftAndExitsWithOneOrZeroWhenNothingIsLeft) {
    TempDir temp(L"kit clean");
    const std::wstring& program_data = temp.path;
    plant(program_data, {std::wstring(PERCENT_NAME) + L"\\planted.txt",
                         L"KorvanVPN\\service\\service.log", L"KorvanVPN.foreign-held\\held.txt"});
    // Held without delete sharing: it cannot be removed while held.
    UniqueHandle held(CreateFileW((program_data + L"\\KorvanVPN.foreign-held\\held.txt").c_str(),
                                  GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(held);

    EXPECT_EQ(
        run_kit_clean(L"\"" + program_data + L"\""),
        (Ran{1,
             "kit-clean: could not remove " + narrow(program_data) + "\\KorvanVPN.foreign-held\r\n",
             ""}));
    EXPECT_FALSE(exists(program_data + L"\\" + PERCENT_NAME));
    EXPECT_FALSE(exists(program_data + L"\\KorvanVPN"));
    EXPECT_TRUE(exists(program_data + L"\\KorvanVPN.foreign-held"));

    held.reset();
    EXPECT_EQ(run_kit_clean(L"\"" + program_data + L"\""), (Ran{0, "", ""}));
    EXPECT_FALSE(exists(program_data + L"\\KorvanVPN.foreign-held"));
    EXPECT_TRUE(std::filesystem::is_empty(program_data));
}

TEST(KitClean, TakesExactlyOneArgument) {
    for (const wchar_t* arguments : {L"", L"a b"}) {
        SCOPED_TRACE(narrow(arguments));
        EXPECT_EQ(run_kit_clean(arguments), (Ran{64, "", "usage: kit-clean PROGRAMDATA\r\n"}));
    }
}

// Windows only: Wine makes no junctions. The entries of the issue as a user makes them:
// a folder whose name cmd would expand, and beside it a folder holding a junction to a
// profile. Neither the junction nor what it leads to is touched.
TEST(KitClean, LeavesAJunctionInTheMiddleOfAPathAndWhatItLeadsTo) {
    if (!test_support::system_makes_junctions()) {
        ASSERT_TRUE(test_support::running_under_wine()) << "this system makes no junctions";
        GTEST_SKIP() << "Wine makes no junctions";
    }
    TempDir temp(L"kit clean");
    const std::wstring program_data = temp.path + L"\\program data";
    const std::wstring profiles = temp.path + L"\\Users";
    const std::wstring top_target = temp.path + L"\\top target";
    plant(temp.path, {L"Users\\admin\\profile.txt", L"top target\\kept.txt"});
    plant(program_data,
          {std::wstring(PERCENT_NAME) + L"\\planted.txt", L"KorvanVPN.foreign-b\\beside.txt"});
    const std::wstring middle = program_data + L"\\KorvanVPN.foreign-b\\Users";
    const std::wstring top = program_data + L"\\KorvanVPN.foreign-junction";
    ASSERT_TRUE(test_support::make_junction(middle, profiles));
    ASSERT_TRUE(test_support::make_junction(top, top_target));
    const win::UniqueLocal profiles_before = test_support::security_of(profiles);
    ASSERT_TRUE(profiles_before);

    const Ran ran = run_kit_clean(L"\"" + program_data + L"\"");
    EXPECT_EQ(ran.exit_code, 1u);
    EXPECT_NE(ran.out.find("kit-clean: could not remove " + narrow(program_data) +
                           "\\KorvanVPN.foreign-b\r\n"),
              std::string::npos)
        << ran.out;
    EXPECT_NE(ran.out.find("kit-clean: could not remove " + narrow(top) + "\r\n"),
              std::string::npos)
        << ran.out;
    EXPECT_EQ(read_file(profiles + L"\\admin\\profile.txt"), "Users\\admin\\profile.txt");
    EXPECT_EQ(read_file(top_target + L"\\kept.txt"), "top target\\kept.txt");
    const win::UniqueLocal profiles_after = test_support::security_of(profiles);
    ASSERT_TRUE(profiles_after);
    EXPECT_EQ(GetSecurityDescriptorLength(profiles_before.get()),
              GetSecurityDescriptorLength(profiles_after.get()));
    EXPECT_EQ(std::memcmp(profiles_before.get(), profiles_after.get(),
                          GetSecurityDescriptorLength(profiles_after.get())),
              0)
        << "the security of what a junction leads to must be left alone";
    EXPECT_FALSE(exists(program_data + L"\\" + PERCENT_NAME));
    EXPECT_FALSE(exists(program_data + L"\\KorvanVPN.foreign-b\\beside.txt"));
    // The junctions go first, so that removing the temp folder cannot reach through.
    EXPECT_TRUE(RemoveDirectoryW(middle.c_str()));
    EXPECT_TRUE(RemoveDirectoryW(top.c_str()));
}

}  // namespace
}  // namespace korvan::kit_clean
