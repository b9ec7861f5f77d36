#include "win/paths.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/test_support.h"
#include "win/utf.h"

namespace korvan::win {
namespace {

using test_support::expected_os_text;
using test_support::TempDir;

TEST(JoinPath, AddsOneBackslashUnlessTheBaseEndsInASeparator) {
    struct Case {
        std::wstring base;
        std::wstring part;
        std::wstring joined;
    };
    const std::vector<Case> cases = {
        {L"C:\\ProgramData", L"KorvanVPN", L"C:\\ProgramData\\KorvanVPN"},
        {L"C:\\ProgramData\\", L"KorvanVPN", L"C:\\ProgramData\\KorvanVPN"},
        {L"D:/data/", L"KorvanVPN", L"D:/data/KorvanVPN"},
        {L"C:\\", L"x.dll", L"C:\\x.dll"},
        {L"", L"KorvanVPN", L"KorvanVPN"},
        {L"relative", L"service", L"relative\\service"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.base) + " + " + narrow(c.part));
        EXPECT_EQ(join_path(c.base, c.part), c.joined);
    }
}

TEST(ParentPath, DropsTheLastComponentAndKeepsARootsSeparator) {
    struct Case {
        std::wstring path;
        std::optional<std::wstring> parent;
    };
    const std::vector<Case> cases = {
        {L"C:\\dir\\core_tests.exe", L"C:\\dir"},
        {L"C:\\dir\\sub\\", L"C:\\dir"},
        {L"C:\\dir\\\\file", L"C:\\dir"},
        {L"C:\\file.exe", L"C:\\"},
        {L"\\file.exe", L"\\"},
        {L"dir/file", L"dir"},
        {L"C:\\", std::nullopt},
        {L"file.exe", std::nullopt},
        {L"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.path));
        EXPECT_EQ(parent_path(c.path), c.parent);
    }
}

TEST(EnvVar, UnsetEmptyAndSetAreDifferent) {
    struct Case {
        const char* name;
        std::optional<std::wstring> value;
    };
    const std::vector<Case> cases = {
        {"unset", std::nullopt},
        {"set but empty", L""},
        {"set", L"C:\\Program Data"},
        {"longer than a first guess", std::wstring(1000, L'v') + L"\x00e9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::ScopedEnv variable(L"KORVAN_TEST_VARIABLE", c.value);
        // A stale error from an earlier call must not turn "" into "unset".
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        EXPECT_EQ(env_var(L"KORVAN_TEST_VARIABLE"), c.value);
    }
}

TEST(CreateDirAll, MakesMissingParentsAndRefusesAFileInTheWay) {
    TempDir temp(L"paths");
    ASSERT_TRUE(test_support::write_file(temp.path + L"\\a file", "x"));
    ASSERT_TRUE(CreateDirectoryW((temp.path + L"\\existing").c_str(), nullptr));
    struct Case {
        std::wstring relative;
        std::string error;  // empty when the folder must exist afterwards
        DWORD code = ERROR_SUCCESS;
    };
    const std::vector<Case> cases = {
        {L"one\\two\\three", ""},
        {L"existing", ""},
        {L"existing\\", ""},
        {L"existing\\new", ""},
        // CreateDirectoryW below a file fails with ERROR_PATH_NOT_FOUND; going up, the
        // file itself answers ERROR_ALREADY_EXISTS and is no folder.
        {L"a file\\KorvanVPN\\service", expected_os_text(ERROR_ALREADY_EXISTS),
         ERROR_ALREADY_EXISTS},
        {L"a file", expected_os_text(ERROR_ALREADY_EXISTS), ERROR_ALREADY_EXISTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.relative));
        const std::wstring path = temp.path + L"\\" + c.relative;
        Result<void> made = create_dir_all(path);
        if (c.error.empty()) {
            ASSERT_TRUE(made.ok()) << made.error();
            const DWORD attributes = GetFileAttributesW(path.c_str());
            ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
            EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
        } else {
            ASSERT_FALSE(made.ok());
            EXPECT_EQ(made.error(), c.error);
            EXPECT_EQ(made.failure().system_error, c.code);
        }
    }
}

}  // namespace
}  // namespace korvan::win
