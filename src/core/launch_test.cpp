#include "core/launch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "support/core_sandbox.h"
#include "support/folder_probes.h"
#include "win/secure_dir.h"
#include "win/utf.h"

namespace korvan::core {
namespace {

using test_support::CoreRecord;
using test_support::CoreSandbox;
using test_support::end_core;
using test_support::exists;
using test_support::expected_os_text;
using test_support::expected_winapi_text;
using test_support::module_dir;
using test_support::read_file;
using test_support::wait_for_record;
using test_support::WINTUN_STANDIN;
using test_support::write_file;
using win::narrow;

std::wstring core_path() {
    return module_dir() + L"\\mihomo-x86_64-pc-windows-msvc.exe";
}

// Moves a file out of the way for a scope; puts it back, over whatever took its place.
struct MovedAway {
    explicit MovedAway(std::wstring from) : path(std::move(from)) {
        EXPECT_TRUE(
            MoveFileExW(path.c_str(), (path + L".away").c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    ~MovedAway() {
        DeleteFileW(path.c_str());
        MoveFileExW((path + L".away").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    MovedAway(const MovedAway&) = delete;
    MovedAway& operator=(const MovedAway&) = delete;

    std::wstring path;
};

TEST(StartCore, StartsTheCoreInItsJobWithItsCommandLine) {
    CoreSandbox sandbox;
    const std::string config = "mixed-port: 7890\r\nname: \"Z\xC3\xBCrich\"\n";
    Result<LaunchedCore> core = start_core(config);
    ASSERT_TRUE(core.ok()) << core.error();
    const HANDLE process = core->child.process.get();

    // The record arrives at all only because the core inherited this process's
    // environment, where KORVAN_FAKE_CORE_RECORD names it.
    const std::optional<CoreRecord> record = wait_for_record(sandbox.record);
    ASSERT_TRUE(record.has_value());
    // The sandbox path holds a space, so both path arguments are quoted.
    EXPECT_EQ(record->at("command_line"), narrow(L"\"" + core_path() + L"\" -d \"" + sandbox.work +
                                                 L"\" -f \"" + sandbox.work + L"\\config.yaml\""));
    EXPECT_EQ(record->at("current_dir"), narrow(sandbox.work));
    for (const char* key : {"stdin_null", "stdin_reads", "stdout_null", "stdout_writes",
                            "stderr_null", "stderr_writes", "config_present"}) {
        EXPECT_EQ(record->at(key), "1") << key;
    }
    EXPECT_EQ(record->at("config_size"), std::to_string(config.size()));
    EXPECT_EQ(record->at("pid"), std::to_string(GetProcessId(process)));
    EXPECT_EQ(read_file(sandbox.work + L"\\config.yaml"), config);
    EXPECT_EQ(read_file(sandbox.work + L"\\wintun.dll"), WINTUN_STANDIN);

    EXPECT_EQ(GetProcessIdOfThread(core->child.thread.get()), GetProcessId(process));
    EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    BOOL in_job = FALSE;
    ASSERT_TRUE(IsProcessInJob(process, core->job.get(), &in_job));
    EXPECT_TRUE(in_job);

    // The job's limit is shown by what it does: closing the job ends the core. That it
    // is the only limit cannot be read back under Wine, whose QueryInformationJobObject
    // answers the extended limits with zeros.
    core->job.reset();
    EXPECT_TRUE(test_support::exit_code_after(process, 10000).has_value())
        << "closing the job must end the core";
}

TEST(StartCore, ConfigYamlHoldsExactlyTheNewText) {
    struct Case {
        const char* name;
        std::optional<std::string> old_config;  // with a work folder from an earlier start
        std::string config;
    };
    const std::vector<Case> cases = {
        {"no work folder yet", std::nullopt, "mixed-port: 7890\n"},
        {"empty configuration", std::nullopt, ""},
        {"old file of the same length", "mixed-port: 1111\n", "mixed-port: 7890\n"},
        {"longer old file", std::string(5000, '#') + "\n", "mixed-port: 7890\n"},
        {"empty configuration over an old file", "mixed-port: 1111\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        if (c.old_config) {
            std::filesystem::create_directories(sandbox.work);
            ASSERT_TRUE(write_file(sandbox.work + L"\\config.yaml", *c.old_config));
            ASSERT_TRUE(write_file(sandbox.work + L"\\kept.txt", "kept"));
        }
        Result<LaunchedCore> core = start_core(c.config);
        ASSERT_TRUE(core.ok()) << core.error();
        const std::optional<CoreRecord> record = wait_for_record(sandbox.record);
        end_core(core.value());
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->at("config_present"), "1");
        EXPECT_EQ(record->at("config_size"), std::to_string(c.config.size()));
        EXPECT_EQ(read_file(sandbox.work + L"\\config.yaml"), c.config);
        if (c.old_config) {
            EXPECT_EQ(read_file(sandbox.work + L"\\kept.txt"), "kept");
        }
    }
}

TEST(StartCore, WintunInAFolderMadeBySomeoneElseIsReplacedWhateverItsSize) {
    struct Case {
        const char* name;
        std::string old_wintun;
    };
    const std::vector<Case> cases = {
        {"same size, other content", std::string(WINTUN_STANDIN.size(), 'x')},
        {"shorter", std::string(10, 'x')},
        {"longer", std::string(WINTUN_STANDIN.size() + 1, 'x')},
        {"empty", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        std::filesystem::create_directories(sandbox.work);
        ASSERT_TRUE(write_file(sandbox.work + L"\\wintun.dll", c.old_wintun));
        Result<LaunchedCore> core = start_core("mixed-port: 7890\n");
        ASSERT_TRUE(core.ok()) << core.error();
        end_core(core.value());
        EXPECT_EQ(read_file(sandbox.work + L"\\wintun.dll"), WINTUN_STANDIN);
    }
}

TEST(StartCore, WintunInTheFolderAsTheServiceLeftItIsReplacedOnlyWhenItsSizeDiffers) {
    if (!test_support::system_keeps_folder_security()) {
        GTEST_SKIP() << "this system keeps no owner and DACL of its own on a folder";
    }
    struct Case {
        const char* name;
        std::optional<std::string> old_wintun;
        bool replaced;
    };
    const std::vector<Case> cases = {
        {"none", std::nullopt, true},
        {"same size, other content", std::string(WINTUN_STANDIN.size(), 'x'), false},
        {"shorter", std::string(10, 'x'), true},
        {"longer", std::string(WINTUN_STANDIN.size() + 1, 'x'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        Result<LaunchedCore> first = start_core("mixed-port: 7890\n");
        ASSERT_TRUE(first.ok()) << first.error();
        end_core(first.value());
        DeleteFileW((sandbox.work + L"\\wintun.dll").c_str());
        if (c.old_wintun) {
            ASSERT_TRUE(write_file(sandbox.work + L"\\wintun.dll", *c.old_wintun));
        }
        Result<LaunchedCore> core = start_core("mixed-port: 7890\n");
        ASSERT_TRUE(core.ok()) << core.error();
        end_core(core.value());
        EXPECT_EQ(read_file(sandbox.work + L"\\wintun.dll"),
                  c.replaced ? WINTUN_STANDIN : *c.old_wintun);
    }
}

TEST(ProvisionWintun, KeepsOneOfTheSameSizeOnlyInAFolderAsLeft) {
    struct Case {
        const char* name;
        bool work_as_left;
        std::optional<std::string> old_wintun;
        bool replaced;
    };
    const std::string same_size(WINTUN_STANDIN.size(), 'x');
    const std::vector<Case> cases = {
        {"as left, none", true, std::nullopt, true},
        {"as left, same size", true, same_size, false},
        {"as left, shorter", true, std::string(10, 'x'), true},
        {"as left, longer", true, std::string(WINTUN_STANDIN.size() + 1, 'x'), true},
        {"put right, none", false, std::nullopt, true},
        {"put right, same size", false, same_size, true},
        {"put right, shorter", false, std::string(10, 'x'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::TempDir install(L"install");
        test_support::TempDir work(L"work");
        ASSERT_TRUE(write_file(install.path + L"\\wintun-x86_64.dll", WINTUN_STANDIN));
        if (c.old_wintun) {
            ASSERT_TRUE(write_file(work.path + L"\\wintun.dll", *c.old_wintun));
        }
        Result<void> provisioned = provision_wintun(install.path, work.path, c.work_as_left);
        ASSERT_TRUE(provisioned.ok()) << provisioned.error();
        EXPECT_EQ(read_file(work.path + L"\\wintun.dll"),
                  c.replaced ? WINTUN_STANDIN : *c.old_wintun);
    }
}

TEST(StartCore, LinksInTheWorkFolderAreReplacedNotWrittenThrough) {
    struct Case {
        const char* name;
        const wchar_t* file;
        std::string expected;
    };
    const std::string config = "mixed-port: 7890\n";
    const std::vector<Case> cases = {
        {"config.yaml", L"config.yaml", config},
        {"wintun.dll of the same size", L"wintun.dll", WINTUN_STANDIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        const std::wstring outside = sandbox.root.path + L"\\outside.bin";
        const std::string outside_content(WINTUN_STANDIN.size(), 'o');
        ASSERT_TRUE(write_file(outside, outside_content));
        std::filesystem::create_directories(sandbox.work);
        const std::wstring link = sandbox.work + L"\\" + c.file;
        ASSERT_TRUE(CreateHardLinkW(link.c_str(), outside.c_str(), nullptr));

        Result<LaunchedCore> core = start_core(config);
        ASSERT_TRUE(core.ok()) << core.error();
        end_core(core.value());
        EXPECT_EQ(read_file(link), c.expected);
        EXPECT_EQ(read_file(outside), outside_content);
    }
}

TEST(StartCore, RefusesAJunctionInPlaceOfAWorkFolderLevel) {
    if (!test_support::system_makes_junctions()) {
        GTEST_SKIP() << "this system makes no junctions";
    }
    for (const wchar_t* level : {L"\\KorvanVPN", L"\\KorvanVPN\\service"}) {
        SCOPED_TRACE(narrow(level));
        CoreSandbox sandbox;
        const std::wstring target = sandbox.root.path + L"\\target";
        const std::wstring link = sandbox.program_data + level;
        std::filesystem::create_directories(target);
        std::filesystem::create_directories(std::filesystem::path(link).parent_path());
        ASSERT_TRUE(test_support::make_junction(link, target));

        Result<LaunchedCore> core = start_core("mixed-port: 7890\n");
        if (core.ok()) {
            end_core(core.value());
        }
        ASSERT_FALSE(core.ok());
        EXPECT_EQ(core.error(), "create work dir: " + expected_os_text(win::REPARSE_POINT_REFUSED));
        EXPECT_TRUE(std::filesystem::is_empty(target));
        EXPECT_FALSE(exists(sandbox.record));
        EXPECT_TRUE(RemoveDirectoryW(link.c_str()));
    }
}

TEST(StartCore, EachFailureHasItsText) {
    const std::string config = "mixed-port: 7890\n";
    struct Case {
        const char* name;
        // Breaks one thing; what it returns (if anything) puts it right at the end.
        std::function<std::unique_ptr<MovedAway>(const CoreSandbox&)> arrange;
        std::function<std::string(const CoreSandbox&)> error;
        bool config_written;
        bool wintun_provisioned;
    };
    const std::vector<Case> cases = {
        {"ProgramData unset",
         [](const CoreSandbox&) {
             SetEnvironmentVariableW(L"ProgramData", nullptr);
             return nullptr;
         },
         [](const CoreSandbox&) { return std::string("ProgramData not set"); }, false, false},
        {"work folder below a file",
         [](const CoreSandbox& s) {
             EXPECT_TRUE(write_file(s.program_data, "a file"));
             return nullptr;
         },
         [](const CoreSandbox&) {
             return "create work dir: " + expected_os_text(ERROR_ALREADY_EXISTS);
         },
         false, false},
        {"config.yaml is a folder",
         [](const CoreSandbox& s) {
             std::filesystem::create_directories(s.work + L"\\config.yaml");
             return nullptr;
         },
         [](const CoreSandbox&) {
             return "write config: " + expected_os_text(ERROR_ACCESS_DENIED);
         },
         false, false},
        {"wintun source missing",
         [](const CoreSandbox&) {
             EXPECT_TRUE(DeleteFileW((module_dir() + L"\\wintun-x86_64.dll").c_str()));
             return nullptr;
         },
         [](const CoreSandbox&) {
             return "wintun source missing: " + narrow(module_dir() + L"\\wintun-x86_64.dll");
         },
         true, false},
        {"wintun.dll is a folder",
         [](const CoreSandbox& s) {
             std::filesystem::create_directories(s.work + L"\\wintun.dll");
             return nullptr;
         },
         [](const CoreSandbox&) {
             return "provision wintun.dll: " + expected_os_text(ERROR_ACCESS_DENIED);
         },
         true, false},
        {"core missing",
         [](const CoreSandbox&) { return std::make_unique<MovedAway>(core_path()); },
         [](const CoreSandbox&) { return "mihomo not found at " + narrow(core_path()); }, true,
         true},
        {"core is no program",
         [](const CoreSandbox&) {
             auto moved = std::make_unique<MovedAway>(core_path());
             EXPECT_TRUE(write_file(core_path(), "not a program"));
             return moved;
         },
         [](const CoreSandbox&) {
             return "spawn mihomo: " + expected_os_text(ERROR_BAD_EXE_FORMAT);
         },
         true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        const std::unique_ptr<MovedAway> undo = c.arrange(sandbox);
        Result<LaunchedCore> core = start_core(config);
        if (core.ok()) {
            end_core(core.value());
        }
        ASSERT_FALSE(core.ok());
        EXPECT_EQ(core.error(), c.error(sandbox));
        EXPECT_EQ(read_file(sandbox.work + L"\\config.yaml") == config, c.config_written);
        EXPECT_EQ(read_file(sandbox.work + L"\\wintun.dll") == WINTUN_STANDIN,
                  c.wintun_provisioned);
        EXPECT_FALSE(exists(sandbox.record));
    }
}

TEST(AttachJob, RefusesHandlesThatAreNoUsableProcess) {
    CoreSandbox sandbox;
    Result<LaunchedCore> core = start_core("mixed-port: 7890\n");
    ASSERT_TRUE(core.ok()) << core.error();
    const win::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const win::UniqueHandle synchronize_only(
        OpenProcess(SYNCHRONIZE, FALSE, GetProcessId(core->child.process.get())));
    ASSERT_TRUE(event && synchronize_only);
    struct Case {
        const char* name;
        HANDLE process;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"an event", event.get(),
         "AssignProcessToJobObject: " + expected_winapi_text(ERROR_INVALID_HANDLE)},
        {"a process handle without the rights", synchronize_only.get(),
         "AssignProcessToJobObject: " + expected_winapi_text(ERROR_ACCESS_DENIED)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Result<win::UniqueHandle> job = attach_job(c.process);
        ASSERT_FALSE(job.ok());
        EXPECT_EQ(job.error(), c.error);
    }
    EXPECT_EQ(WaitForSingleObject(core->child.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    end_core(core.value());
}

TEST(ExeDir, IsTheFolderOfThisExecutable) {
    Result<std::wstring> dir = exe_dir();
    ASSERT_TRUE(dir.ok()) << dir.error();
    EXPECT_EQ(dir.value(), module_dir());
}

}  // namespace
}  // namespace korvan::core
