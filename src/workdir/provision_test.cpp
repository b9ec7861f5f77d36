#include "workdir/provision.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/core_sandbox.h"
#include "support/folder_probes.h"
#include "workdir/folder_record.h"

namespace korvan::workdir {
namespace {

using test_support::exists;
using test_support::expected_os_text;
using test_support::read_file;
using test_support::WINTUN_STANDIN;
using test_support::write_file;

// The install folder's WinTUN library at `path`, held as the service holds it.
win::UniqueHandle held_source(const std::wstring& path) {
    win::UniqueHandle source(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(source);
    return source;
}

TEST(ProvisionWintun, KeepsOnlyAPlainFileWithTheSourcesBytes) {
    struct Case {
        const char* name;
        std::optional<std::string> old_wintun;
        bool hard_link;
        bool replaced;
    };
    const std::vector<Case> cases = {
        {"none", std::nullopt, false, true},
        {"the same bytes", WINTUN_STANDIN, false, false},
        {"the same size, other bytes", std::string(WINTUN_STANDIN.size(), 'x'), false, true},
        {"the same size, one byte other", WINTUN_STANDIN.substr(0, WINTUN_STANDIN.size() - 1) + "X",
         false, true},
        {"shorter", std::string(10, 'x'), false, true},
        {"longer", WINTUN_STANDIN + "x", false, true},
        {"empty", "", false, true},
        {"the same bytes with a second name", WINTUN_STANDIN, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::TempDir install(L"install");
        test_support::TempDir work(L"work");
        ASSERT_TRUE(write_file(install.path + L"\\wintun-x86_64.dll", WINTUN_STANDIN));
        const std::wstring destination = work.path + L"\\wintun.dll";
        const std::wstring other_name = work.path + L"\\other name.dll";
        if (c.old_wintun) {
            ASSERT_TRUE(write_file(destination, *c.old_wintun));
            if (c.hard_link) {
                ASSERT_TRUE(CreateHardLinkW(other_name.c_str(), destination.c_str(), nullptr));
            }
        }
        const std::optional<FILE_ID_INFO> before = test_support::file_identity(destination);
        const win::UniqueHandle source = held_source(install.path + L"\\wintun-x86_64.dll");
        Result<void> provisioned = provision_wintun(source.get(), work.path);
        ASSERT_TRUE(provisioned.ok()) << provisioned.error();
        EXPECT_EQ(read_file(destination), WINTUN_STANDIN);
        const std::optional<FILE_ID_INFO> after = test_support::file_identity(destination);
        ASSERT_TRUE(after);
        // Kept means the very file; replaced means a new one under the name.
        EXPECT_EQ(before && same_file(*before, *after), !c.replaced);
        if (c.hard_link) {
            EXPECT_EQ(read_file(other_name), c.old_wintun);
        }
        EXPECT_FALSE(exists(destination + L".new"));
    }
}

// What the stand-in rename answers, call by call, the last answer repeated; NO_ERROR
// renames for real.
std::vector<DWORD> rename_answers;
int rename_calls = 0;

DWORD scripted_rename(const std::wstring& from, const std::wstring& to) {
    const DWORD answer =
        rename_answers[std::min(static_cast<size_t>(rename_calls), rename_answers.size() - 1)];
    ++rename_calls;
    return answer == NO_ERROR ? rename_over(from, to) : answer;
}

TEST(ProvisionWintun, TriesTheReplaceAgainOnlyWhileItIsRefusedAsAnOpenFileWithinABound) {
    struct Case {
        const char* name;
        std::vector<DWORD> answers;
        std::optional<DWORD> error;
        int calls;
    };
    const std::vector<Case> cases = {
        {"refused twice as a mapped image",
         {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, NO_ERROR},
         std::nullopt,
         3},
        {"refused twice as an open file",
         {ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, NO_ERROR},
         std::nullopt,
         3},
        {"refused for longer than the bound",
         {ERROR_ACCESS_DENIED},
         ERROR_ACCESS_DENIED,
         1 + REPLACE_RETRIES},
        {"another error", {ERROR_DISK_FULL}, ERROR_DISK_FULL, 1},
        {"refused, then another error",
         {ERROR_SHARING_VIOLATION, ERROR_DISK_FULL},
         ERROR_DISK_FULL,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::TempDir install(L"install");
        test_support::TempDir work(L"work");
        ASSERT_TRUE(write_file(install.path + L"\\wintun-x86_64.dll", WINTUN_STANDIN));
        const std::wstring destination = work.path + L"\\wintun.dll";
        const std::string old_wintun(10, 'x');
        ASSERT_TRUE(write_file(destination, old_wintun));
        rename_answers = c.answers;
        rename_calls = 0;
        const win::UniqueHandle source = held_source(install.path + L"\\wintun-x86_64.dll");

        Result<void> provisioned = provision_wintun(source.get(), work.path, scripted_rename);
        EXPECT_EQ(rename_calls, c.calls);
        if (c.error) {
            ASSERT_FALSE(provisioned.ok());
            EXPECT_EQ(provisioned.error(), "provision wintun.dll: " + expected_os_text(*c.error));
            EXPECT_EQ(provisioned.failure().system_error, *c.error);
            EXPECT_EQ(read_file(destination), old_wintun);
        } else {
            ASSERT_TRUE(provisioned.ok()) << provisioned.error();
            EXPECT_EQ(read_file(destination), WINTUN_STANDIN);
        }
        EXPECT_FALSE(exists(destination + L".new"));
    }
}

// A view of `path` mapped as an image, as a loaded DLL is; unmapped at the end of its
// life or by `unmap`.
struct ImageView {
    explicit ImageView(const std::wstring& path) {
        const win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_EXECUTE,
                                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(file);
        const win::UniqueHandle section(
            CreateFileMappingW(file.get(), nullptr, PAGE_EXECUTE_READ | SEC_IMAGE, 0, 0, nullptr));
        EXPECT_TRUE(section);
        view = section ? MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
        EXPECT_NE(view, nullptr);
    }
    ~ImageView() { unmap(); }
    ImageView(const ImageView&) = delete;
    ImageView& operator=(const ImageView&) = delete;

    void unmap() {
        if (view != nullptr) {
            UnmapViewOfFile(view);
            view = nullptr;
        }
    }

    void* view = nullptr;
};

TEST(ProvisionWintun, ReplacesAMappedImageOnceItsLastViewIsGone) {
    test_support::TempDir install(L"install");
    test_support::TempDir work(L"work");
    ASSERT_TRUE(write_file(install.path + L"\\wintun-x86_64.dll", WINTUN_STANDIN));
    const std::wstring destination = work.path + L"\\wintun.dll";
    // Any image will do: the stand-in core's.
    ASSERT_TRUE(
        CopyFileW((test_support::module_dir() + L"\\mihomo-x86_64-pc-windows-msvc.exe").c_str(),
                  destination.c_str(), FALSE));
    ImageView mapped(destination);
    const std::wstring other = work.path + L"\\other.bin";
    ASSERT_TRUE(write_file(other, "other"));
    const bool replaced =
        MoveFileExW(other.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING);
    const DWORD refused = GetLastError();
    if (replaced) {
        ASSERT_TRUE(test_support::running_under_wine())
            << "this system replaces a file mapped as an image";
        GTEST_SKIP() << "Wine replaces a file mapped as an image";
    }
    EXPECT_EQ(refused, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    const win::UniqueHandle source = held_source(install.path + L"\\wintun-x86_64.dll");
    Result<void> provisioned;
    // The old core lets go while the start is already trying.
    std::thread start([&] { provisioned = provision_wintun(source.get(), work.path); });
    Sleep(3 * REPLACE_RETRY_INTERVAL_MS);
    mapped.unmap();
    start.join();
    ASSERT_TRUE(provisioned.ok()) << provisioned.error();
    EXPECT_EQ(read_file(destination), WINTUN_STANDIN);
}

}  // namespace
}  // namespace korvan::workdir
