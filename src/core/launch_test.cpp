#include "core/launch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/core_sandbox.h"
#include "support/folder_probes.h"
#include "log/service_log.h"
#include "workdir/folder_record.h"
#include "workdir/service_dir.h"
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
using test_support::moved_aside_in;
using test_support::own_work_dir;
using test_support::read_file;
using test_support::start_core;
using test_support::wait_for_record;
using test_support::WINTUN_STANDIN;
using test_support::write_file;
using win::narrow;

std::wstring core_path() {
    return module_dir() + L"\\mihomo-x86_64-pc-windows-msvc.exe";
}

// A start as the service's first: it finds and holds the install folder's files
// itself, and lets them go when it returns.
Result<LaunchedCore> first_start(std::string_view config_yaml) {
    InstallFiles install;
    return start_core(install, config_yaml);
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
    Result<LaunchedCore> core = first_start(config);
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
            own_work_dir(sandbox.program_data);
            ASSERT_TRUE(write_file(sandbox.work + L"\\config.yaml", *c.old_config));
            ASSERT_TRUE(write_file(sandbox.work + L"\\kept.txt", "kept"));
        }
        Result<LaunchedCore> core = first_start(c.config);
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

// Whoever made the work folder first, and whatever comes first (a log line moves no
// folder and is lost in one that is not the service's own), the core only ever sees
// the service's own wintun.dll.
TEST(StartCore, MovesAsideAWorkFolderSomeoneElseMadeAndLogsTheMoveOnce) {
    struct Case {
        const char* name;
        bool log_line_first;
    };
    for (const Case& c : {Case{"start first", false}, Case{"a log line first", true}}) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        const std::string planted(WINTUN_STANDIN.size(), 'P');
        std::filesystem::create_directories(sandbox.work);
        ASSERT_TRUE(write_file(sandbox.work + L"\\wintun.dll", planted));
        if (c.log_line_first) {
            log::write_log("read frame: pipe closed");
        }
        for (int start = 0; start < 2; ++start) {
            SCOPED_TRACE(start);
            Result<LaunchedCore> core = first_start("mixed-port: 7890\n");
            ASSERT_TRUE(core.ok()) << core.error();
            end_core(core.value());
            EXPECT_EQ(read_file(sandbox.work + L"\\wintun.dll"), WINTUN_STANDIN);
        }
        const std::vector<std::wstring> aside = moved_aside_in(sandbox.program_data, L"KorvanVPN");
        ASSERT_EQ(aside.size(), 1u);
        const std::wstring aside_path = sandbox.program_data + L"\\" + aside[0];
        EXPECT_EQ(read_file(aside_path + L"\\service\\wintun.dll"), planted);
        const std::string moved_line =
            workdir::moved_aside_line({sandbox.program_data + L"\\KorvanVPN", aside_path});
        EXPECT_EQ(read_file(sandbox.work + L"\\service.log"), moved_line + "\n");
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
        own_work_dir(sandbox.program_data);
        const std::wstring link = sandbox.work + L"\\" + c.file;
        ASSERT_TRUE(CreateHardLinkW(link.c_str(), outside.c_str(), nullptr));

        Result<LaunchedCore> core = first_start(config);
        ASSERT_TRUE(core.ok()) << core.error();
        end_core(core.value());
        EXPECT_EQ(read_file(link), c.expected);
        EXPECT_EQ(read_file(outside), outside_content);
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
        // The system error behind the text; 0 for a failure no system call reported.
        DWORD code;
    };
    const std::vector<Case> cases = {
        {"ProgramData unset",
         [](const CoreSandbox&) {
             SetEnvironmentVariableW(L"ProgramData", nullptr);
             return nullptr;
         },
         [](const CoreSandbox&) { return std::string("ProgramData not set"); }, false, false, 0},
        {"work folder below a file",
         [](const CoreSandbox& s) {
             EXPECT_TRUE(write_file(s.program_data, "a file"));
             return nullptr;
         },
         [](const CoreSandbox&) {
             return "create work dir: " + expected_os_text(ERROR_ALREADY_EXISTS);
         },
         false, false, ERROR_ALREADY_EXISTS},
        {"config.yaml is a folder",
         [](const CoreSandbox& s) {
             own_work_dir(s.program_data);
             std::filesystem::create_directories(s.work + L"\\config.yaml");
             return nullptr;
         },
         [](const CoreSandbox&) {
             return "write config: " + expected_os_text(ERROR_ACCESS_DENIED);
         },
         false, false, ERROR_ACCESS_DENIED},
        {"wintun source missing",
         [](const CoreSandbox&) {
             EXPECT_TRUE(DeleteFileW((module_dir() + L"\\wintun-x86_64.dll").c_str()));
             return nullptr;
         },
         [](const CoreSandbox&) {
             return "wintun source missing: " + narrow(module_dir() + L"\\wintun-x86_64.dll");
         },
         true, false, ERROR_FILE_NOT_FOUND},
        {"wintun.dll is a folder",
         [](const CoreSandbox& s) {
             own_work_dir(s.program_data);
             std::filesystem::create_directories(s.work + L"\\wintun.dll");
             return nullptr;
         },
         [](const CoreSandbox&) {
             return "provision wintun.dll: " + expected_os_text(ERROR_ACCESS_DENIED);
         },
         true, false, ERROR_ACCESS_DENIED},
        {"core missing",
         [](const CoreSandbox&) { return std::make_unique<MovedAway>(core_path()); },
         [](const CoreSandbox&) { return "mihomo not found at " + narrow(core_path()); }, true,
         true, ERROR_FILE_NOT_FOUND},
        {"core is no program",
         [](const CoreSandbox&) {
             auto moved = std::make_unique<MovedAway>(core_path());
             EXPECT_TRUE(write_file(core_path(), "not a program"));
             return moved;
         },
         [](const CoreSandbox&) {
             return "spawn mihomo: " + expected_os_text(ERROR_BAD_EXE_FORMAT);
         },
         true, true, ERROR_BAD_EXE_FORMAT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreSandbox sandbox;
        const std::unique_ptr<MovedAway> undo = c.arrange(sandbox);
        Result<LaunchedCore> core = first_start(config);
        if (core.ok()) {
            end_core(core.value());
        }
        ASSERT_FALSE(core.ok());
        EXPECT_EQ(core.error(), c.error(sandbox));
        EXPECT_EQ(core.failure().system_error, c.code);
        EXPECT_EQ(read_file(sandbox.work + L"\\config.yaml") == config, c.config_written);
        EXPECT_EQ(read_file(sandbox.work + L"\\wintun.dll") == WINTUN_STANDIN,
                  c.wintun_provisioned);
        EXPECT_FALSE(exists(sandbox.record));
    }
}

// Whether the thread is suspended; leaves it as it was.
bool suspended(HANDLE thread) {
    const DWORD previous = SuspendThread(thread);
    EXPECT_NE(previous, static_cast<DWORD>(-1));
    ResumeThread(thread);
    return previous != static_cast<DWORD>(-1) && previous > 0;
}

TEST(SpawnCore, CreatesTheCoreSuspended) {
    CoreSandbox sandbox;
    const std::wstring work = own_work_dir(sandbox.program_data);
    Result<win::UniqueProcess> child = spawn_core(core_path(), work, work + L"\\config.yaml");
    ASSERT_TRUE(child.ok()) << child.error();
    EXPECT_TRUE(suspended(child->thread.get()));
    TerminateProcess(child->process.get(), 99);
    WaitForSingleObject(child->process.get(), 10000);
}

TEST(StartCore, TheCoreRunsNoCodeBeforeItIsInsideItsJob) {
    CoreSandbox sandbox;
    InstallFiles install;
    Result<LaunchedCore> core = start_core_suspended(install, "mixed-port: 7890\n");
    ASSERT_TRUE(core.ok()) << core.error();
    EXPECT_TRUE(suspended(core->child.thread.get()));
    BOOL in_job = FALSE;
    ASSERT_TRUE(IsProcessInJob(core->child.process.get(), core->job.get(), &in_job));
    EXPECT_TRUE(in_job);
    Sleep(200);
    EXPECT_FALSE(exists(sandbox.record)) << "a suspended core has written its record";
    ASSERT_NE(ResumeThread(core->child.thread.get()), static_cast<DWORD>(-1));
    EXPECT_TRUE(wait_for_record(sandbox.record).has_value());
    end_core(core.value());
}

TEST(StartCore, TheCoreInheritsItsStandardStreamsAndNoOtherHandle) {
    CoreSandbox sandbox;
    const std::wstring name = L"korvan probe " + std::to_wstring(GetCurrentProcessId());
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const win::UniqueHandle event(CreateEventW(&inheritable, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(event);
    const test_support::ScopedEnv probe(
        L"KORVAN_FAKE_CORE_PROBE_HANDLE",
        std::to_wstring(reinterpret_cast<std::uintptr_t>(event.get())));
    Result<LaunchedCore> core = first_start("mixed-port: 7890\n");
    ASSERT_TRUE(core.ok()) << core.error();
    const std::optional<CoreRecord> record = wait_for_record(sandbox.record);
    end_core(core.value());
    ASSERT_TRUE(record.has_value());
    // The stand-in core names the object behind the handle value, if it has one.
    EXPECT_EQ(record->at("probe_handle").find(narrow(name)), std::string::npos)
        << record->at("probe_handle");
    for (const char* key : {"stdin_null", "stdout_null", "stderr_null"}) {
        EXPECT_EQ(record->at(key), "1") << key;
    }
}

// The handle count of the stand-in core started here, not by the code under test, with
// exactly three inheritable null-device handles listed as its standard streams.
std::optional<std::string> handle_count_given_only_standard_streams(const CoreSandbox& sandbox) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    win::UniqueHandle streams[3];
    for (win::UniqueHandle& stream : streams) {
        stream.reset(CreateFileW(L"\\\\.\\NUL", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                                 nullptr));
        EXPECT_TRUE(stream);
    }
    HANDLE listed[] = {streams[0].get(), streams[1].get(), streams[2].get()};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<std::byte> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    EXPECT_TRUE(InitializeProcThreadAttributeList(attributes, 1, 0, &size));
    EXPECT_TRUE(UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed,
                                          sizeof listed, nullptr, nullptr));
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = listed[0];
    startup.StartupInfo.hStdOutput = listed[1];
    startup.StartupInfo.hStdError = listed[2];
    startup.lpAttributeList = attributes;
    const std::wstring core = core_path();
    std::wstring command = L"\"" + core + L"\"";
    PROCESS_INFORMATION created{};
    const bool started = CreateProcessW(core.c_str(), command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                        sandbox.root.path.c_str(), &startup.StartupInfo, &created);
    DeleteProcThreadAttributeList(attributes);
    EXPECT_TRUE(started);
    if (!started) {
        return std::nullopt;
    }
    const win::UniqueProcess bare{win::UniqueHandle(created.hProcess),
                                  win::UniqueHandle(created.hThread)};
    const std::optional<CoreRecord> record = wait_for_record(sandbox.record);
    TerminateProcess(bare.process.get(), 1);
    WaitForSingleObject(bare.process.get(), 10000);
    DeleteFileW(sandbox.record.c_str());
    if (!record) {
        return std::nullopt;
    }
    return record->at("handle_count");
}

TEST(StartCore, TheCoreHoldsNoMoreHandlesThanOneGivenOnlyItsStandardStreams) {
    CoreSandbox sandbox;
    const std::optional<std::string> bare = handle_count_given_only_standard_streams(sandbox);
    ASSERT_TRUE(bare.has_value());
    Result<LaunchedCore> core = first_start("mixed-port: 7890\n");
    ASSERT_TRUE(core.ok()) << core.error();
    const std::optional<CoreRecord> record = wait_for_record(sandbox.record);
    end_core(core.value());
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->at("handle_count"), bare.value());
}

TEST(AttachJob, RefusesHandlesThatAreNoUsableProcess) {
    CoreSandbox sandbox;
    Result<LaunchedCore> core = first_start("mixed-port: 7890\n");
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

}  // namespace
}  // namespace korvan::core
