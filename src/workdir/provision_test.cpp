#include "workdir/provision.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/core_sandbox.h"
#include "support/folder_probes.h"
#include "workdir/folder_record.h"
#include "workdir/program_data.h"

namespace korvan::workdir {
namespace {

using test_support::exists;
using test_support::read_file;
using test_support::ScopedEnv;
using test_support::WINTUN_STANDIN;
using test_support::write_file;

TEST(ProgramData, AStartNeedsTheVariableAndTheLogFallsBackToCProgramData) {
    struct Case {
        const char* name;
        std::optional<std::wstring> value;
        std::optional<std::wstring> for_start;
        std::wstring for_log;
    };
    const std::vector<Case> cases = {
        {"set", L"D:\\Data", L"D:\\Data", L"D:\\Data"},
        {"empty", L"", L"", L""},
        {"unset", std::nullopt, std::nullopt, L"C:\\ProgramData"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScopedEnv program_data(L"ProgramData", c.value);
        const Result<std::wstring> start = program_data_for_start();
        if (c.for_start) {
            ASSERT_TRUE(start.ok()) << start.error();
            EXPECT_EQ(start.value(), *c.for_start);
        } else {
            ASSERT_FALSE(start.ok());
            EXPECT_EQ(start.error(), "ProgramData not set");
        }
        EXPECT_EQ(program_data_for_log(), c.for_log);
    }
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
        Result<void> provisioned = provision_wintun(install.path, work.path);
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

}  // namespace
}  // namespace korvan::workdir
