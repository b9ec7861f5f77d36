#include "core/install_files.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "win/utf.h"

namespace korvan::core {
namespace {

using test_support::module_dir;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// An install folder with both files in it.
struct InstallFolder {
    InstallFolder() {
        EXPECT_TRUE(write_file(wintun, "wintun"));
        EXPECT_TRUE(write_file(core, "core"));
        EXPECT_TRUE(write_file(other, "other"));
    }

    TempDir dir{L"install"};
    std::wstring wintun = dir.path + L"\\wintun-x86_64.dll";
    std::wstring core = dir.path + L"\\mihomo-x86_64-pc-windows-msvc.exe";
    std::wstring other = dir.path + L"\\other.bin";
};

TEST(InstallFiles, NobodyCanReplaceAHeldFile) {
    InstallFolder folder;
    const InstallFiles files = open_install_files(folder.dir.path);
    ASSERT_TRUE(files.wintun_source);
    ASSERT_TRUE(files.core_exe);
    for (const std::wstring& path : {folder.wintun, folder.core}) {
        SCOPED_TRACE(win::narrow(path));
        const win::UniqueHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr,
                                                   OPEN_EXISTING, 0, nullptr));
        const DWORD write_error = GetLastError();
        EXPECT_FALSE(writer);
        EXPECT_EQ(write_error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));

        const bool deleted = DeleteFileW(path.c_str());
        const DWORD delete_error = GetLastError();
        EXPECT_FALSE(deleted);
        EXPECT_EQ(delete_error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));

        const bool renamed = MoveFileExW(path.c_str(), (path + L".old").c_str(), 0);
        const DWORD rename_error = GetLastError();
        EXPECT_FALSE(renamed);
        EXPECT_EQ(rename_error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));

        const bool replaced =
            MoveFileExW(folder.other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
        const DWORD replace_error = GetLastError();
        EXPECT_FALSE(replaced);
        EXPECT_EQ(replace_error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

        // Reading, sharing what the held handle shares, is not refused.
        const win::UniqueHandle reader(CreateFileW(path.c_str(), GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                                   OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(reader);
    }
    EXPECT_EQ(read_file(folder.wintun), "wintun");
    EXPECT_EQ(read_file(folder.core), "core");
}

TEST(InstallFiles, AFileThatCannotBeOpenedStaysUnheldUntilAHoldOpensIt) {
    InstallFolder folder;
    ASSERT_TRUE(DeleteFileW(folder.core.c_str()));
    win::UniqueHandle holder(
        CreateFileW(folder.wintun.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);

    InstallFiles files = open_install_files(folder.dir.path);
    EXPECT_FALSE(files.wintun_source);
    EXPECT_FALSE(files.core_exe);
    EXPECT_EQ(hold_wintun_source(files), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(is_missing(ERROR_SHARING_VIOLATION));
    const DWORD missing = hold_core_exe(files);
    EXPECT_EQ(missing, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(is_missing(missing));

    holder.reset();
    ASSERT_TRUE(write_file(folder.core, "core"));
    EXPECT_EQ(hold_wintun_source(files), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(hold_core_exe(files), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(files.wintun_source);
    EXPECT_TRUE(files.core_exe);
}

TEST(ExeDir, IsTheFolderOfThisExecutable) {
    Result<std::wstring> dir = exe_dir();
    ASSERT_TRUE(dir.ok()) << dir.error();
    EXPECT_EQ(dir.value(), module_dir());
}

}  // namespace
}  // namespace korvan::core
