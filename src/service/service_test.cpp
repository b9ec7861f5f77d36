// The executable end to end under Wine's Service Control Manager: installed from an
// install folder of its own, driven over the real pipe, stopped and removed.

#include <windows.h>

#include <userenv.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/failure_actions.h"
#include "service/install.h"
#include "support/folder_probes.h"
#include "support/installed_service.h"
#include "support/pipe_client.h"
#include "support/process_run.h"
#include "support/test_support.h"
#include "win/error_text.h"
#include "win/handle.h"
#include "win/utf.h"
#include "workdir/folder_record.h"

namespace korvan::service {
namespace {

using test_support::exit_code_after;
using test_support::open_installed_service;
using test_support::query_service;
using test_support::Ran;
using test_support::read_file;
using test_support::request;
using test_support::run;
using test_support::service_config;
using test_support::TempDir;
using test_support::wait_for_service_state;
using win::UniqueHandle;
using win::UniqueServiceHandle;

constexpr char PONG[] = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
constexpr char STARTED[] = R"({"ok":"started","mixed_port":7890,"ctl_port":9090})";

// Where the stand-in core started by the installed service records itself, named in
// the configuration it is started with: Wine gives services an environment of their
// own, so the core cannot be told through this test's.
std::wstring core_record() {
    return test_support::module_dir() + L"\\service-core-record.txt";
}

std::string start_request() {
    std::string path = win::narrow(core_record());
    std::string escaped;
    for (char c : path) {
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return R"({"op":"start","config_yaml":"fake-core: record )" + escaped +
           R"(\n","secret":"","mixed_port":7890,"ctl_port":9090})";
}

// The service executable, the stand-in core and a stand-in WinTUN library in one
// folder, as a user installs them.
struct InstallFolder {
    explicit InstallFolder(std::wstring_view name) : dir(name) {
        const std::wstring here = test_support::module_dir();
        EXPECT_TRUE(
            CopyFileW((here + L"\\..\\korvan-vpn-service.exe").c_str(), exe().c_str(), FALSE));
        EXPECT_TRUE(CopyFileW((here + L"\\mihomo-x86_64-pc-windows-msvc.exe").c_str(),
                              (dir.path + L"\\mihomo-x86_64-pc-windows-msvc.exe").c_str(), FALSE));
        EXPECT_TRUE(
            test_support::write_file(dir.path + L"\\wintun-x86_64.dll", std::string(3000, 'W')));
    }
    std::wstring exe() const { return dir.path + L"\\korvan-vpn-service.exe"; }
    // The command line that runs the executable with `args`.
    std::wstring command(std::wstring_view args) const {
        return L"\"" + exe() + L"\" " + std::wstring(args);
    }

    // A folder of exactly that name under the temp folder, removed at the end.
    struct Dir {
        explicit Dir(std::wstring_view name) {
            wchar_t temp[MAX_PATH + 1];
            const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
            path = std::wstring(temp, length) + std::wstring(name);
            std::filesystem::remove_all(path);
            std::filesystem::create_directories(path);
        }
        ~Dir() {
            std::error_code ignored;
            for (int attempt = 0; attempt < 20; ++attempt) {
                if (std::filesystem::remove_all(path, ignored), !ignored) {
                    return;
                }
                Sleep(50);
            }
        }
        std::wstring path;
    } dir;
};

// Removes a registration left by an earlier test and waits until it is gone.
void remove_service() {
    EXPECT_TRUE(test_support::remove_installed_service(20000));
}

UniqueHandle open_process(DWORD pid) {
    return UniqueHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
}

// The running core, from the record the stand-in core leaves in the work folder.
UniqueHandle started_core() {
    DeleteFileW(core_record().c_str());
    EXPECT_EQ(request(start_request()), STARTED);
    for (int waited = 0; waited < 10000 && !test_support::exists(core_record()); waited += 10) {
        Sleep(10);
    }
    const std::optional<std::string> record = read_file(core_record());
    EXPECT_TRUE(record.has_value());
    if (!record) {
        return {};
    }
    const size_t at = record->find("pid=");
    return open_process(static_cast<DWORD>(std::stoul(record->substr(at + 4))));
}

// The work folder of the core that the last start launched: its current folder, from
// its record. Wine gives services an environment of their own, whose ProgramData is not
// this test's.
std::wstring recorded_work_folder() {
    const std::optional<std::string> record = read_file(core_record());
    EXPECT_TRUE(record.has_value());
    if (!record) {
        return {};
    }
    constexpr std::string_view KEY = "current_dir=";
    const size_t at = record->find(KEY);
    EXPECT_NE(at, std::string::npos);
    if (at == std::string::npos) {
        return {};
    }
    const size_t from = at + KEY.size();
    return win::widen(record->substr(from, record->find('\n', from) - from));
}

// The installed service's log, in the work folder its running core was started in.
std::wstring service_log() {
    return recorded_work_folder() + L"\\service.log";
}

class Service : public ::testing::Test {
  protected:
    void SetUp() override { remove_service(); }
    void TearDown() override { remove_service(); }

    // Installs from `folder` and waits until the service answers.
    void install(const InstallFolder& folder) {
        ASSERT_EQ(run(folder.command(L"install")), (Ran{0, "service installed\n", ""}));
        ASSERT_EQ(request(R"({"op":"ping"})"), PONG);
    }
};

TEST_F(Service, InstallRegistersStartsAndDescribesIt) {
    struct Case {
        const wchar_t* label;
        bool quoted;
    };
    for (const Case& c : {Case{L"korvan install dir", true}, Case{L"korvan_install_dir", false}}) {
        SCOPED_TRACE(win::narrow(c.label));
        InstallFolder folder(c.label);
        // A second argument is ignored.
        EXPECT_EQ(run(folder.command(L"install extra")), (Ran{0, "service installed\n", ""}));
        EXPECT_EQ(request(R"({"op":"ping"})"), PONG);

        UniqueServiceHandle service = open_installed_service(SERVICE_QUERY_CONFIG);
        ASSERT_TRUE(service);
        const std::vector<BYTE> configuration = service_config(service.get());
        ASSERT_FALSE(configuration.empty()) << GetLastError();
        const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(configuration.data());
        const std::wstring exe = folder.exe();
        // The path has a space in the first case, and in both when the temp folder has
        // one (the Windows kit runs below Program Files); neither has a quote or
        // backslash run to escape.
        const bool quoted = c.quoted || exe.find_first_of(L" \t") != std::wstring::npos;
        EXPECT_EQ(std::wstring(config->lpBinaryPathName), quoted ? L"\"" + exe + L"\"" : exe);
        EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
        EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
        EXPECT_EQ(std::wstring(config->lpDisplayName), L"KorvanVPN 服务");
        EXPECT_EQ(std::wstring(config->lpLoadOrderGroup), L"");
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                         static_cast<DWORD>(buffer.size()), &needed));
        EXPECT_EQ(
            std::wstring(reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription),
            L"KorvanVPN TUN 模式系统服务（托管 mihomo + WinTUN）");
        service.reset();
        remove_service();
    }
}

// The install makes both levels of the work folder, in the ProgramData it runs with,
// and records them: there is no window before the first start for someone else to
// plant them.
TEST_F(Service, InstallMakesBothLevelsOfTheWorkFolderAndRecordsThem) {
    InstallFolder folder(L"korvan install dir");
    TempDir program_data(L"install");
    EXPECT_EQ(run(folder.command(L"install"), {L"ProgramData=" + program_data.path}),
              (Ran{0, "service installed\n", ""}));
    for (const wchar_t* level : {L"\\KorvanVPN", L"\\KorvanVPN\\service"}) {
        SCOPED_TRACE(win::narrow(level));
        const std::wstring path = program_data.path + level;
        const std::optional<FILE_ID_INFO> recorded = workdir::made_folder(path);
        const std::optional<FILE_ID_INFO> actual = test_support::file_identity(path);
        ASSERT_TRUE(recorded && actual);
        EXPECT_TRUE(workdir::same_file(*recorded, *actual));
    }
    EXPECT_TRUE(test_support::moved_aside_in(program_data.path, L"KorvanVPN").empty());
}

// The install moves nothing, so that it never waits on a folder someone holds: a level
// someone else made in the ProgramData it runs with stays as it is, with nothing made
// below it, and the install succeeds.
TEST_F(Service, InstallLeavesAFolderSomeoneElseMadeWhereItIs) {
    InstallFolder folder(L"korvan install dir");
    TempDir program_data(L"install");
    const std::wstring level = program_data.path + L"\\KorvanVPN";
    std::filesystem::create_directories(level);
    ASSERT_TRUE(test_support::write_file(level + L"\\version.dll", "planted"));
    const std::optional<FILE_ID_INFO> planted = test_support::file_identity(level);
    ASSERT_TRUE(planted);
    EXPECT_EQ(run(folder.command(L"install"), {L"ProgramData=" + program_data.path}),
              (Ran{0, "service installed\n", ""}));
    EXPECT_EQ(request(R"({"op":"ping"})"), PONG);
    const std::optional<FILE_ID_INFO> after = test_support::file_identity(level);
    ASSERT_TRUE(after);
    EXPECT_TRUE(workdir::same_file(*planted, *after));
    EXPECT_EQ(read_file(level + L"\\version.dll"), "planted");
    EXPECT_FALSE(test_support::exists(level + L"\\service"));
    EXPECT_FALSE(workdir::made_folder(level).has_value());
    EXPECT_TRUE(test_support::moved_aside_in(program_data.path, L"KorvanVPN").empty());
}

TEST_F(Service, InstallWhenInstalledFailsAndLeavesTheRegistration) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    InstallFolder other(L"korvan other dir");
    EXPECT_EQ(run(other.command(L"install")),
              (Ran{1, "", "install failed: create service: IO error in winapi call\n"}));
    EXPECT_EQ(request(R"({"op":"ping"})"), PONG);
}

TEST_F(Service, UninstallWhenNotInstalledFails) {
    InstallFolder folder(L"korvan install dir");
    EXPECT_EQ(run(folder.command(L"uninstall")),
              (Ran{1, "", "uninstall failed: open service: IO error in winapi call\n"}));
}

// The console shows the short text alone; the code stays behind it for the caller.
TEST_F(Service, AFailedScmCallKeepsItsCodeBehindTheShortText) {
    InstallFolder folder(L"korvan install dir");
    const Result<void> not_installed = uninstall_service();
    ASSERT_FALSE(not_installed.ok());
    EXPECT_EQ(not_installed.error(), "open service: IO error in winapi call");
    EXPECT_EQ(not_installed.failure().system_error,
              static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    install(folder);
    const Result<void> installed_again = install_service_at(folder.exe(), ChangeServiceConfig2W);
    ASSERT_FALSE(installed_again.ok());
    EXPECT_EQ(installed_again.error(), "create service: IO error in winapi call");
    EXPECT_EQ(installed_again.failure().system_error, static_cast<DWORD>(ERROR_SERVICE_EXISTS));
}

TEST_F(Service, UninstallWhileRunningEndsItsCore) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    const UniqueHandle core = started_core();
    ASSERT_TRUE(core.valid());
    EXPECT_EQ(run(folder.command(L"uninstall")), (Ran{0, "service uninstalled\n", ""}));
    EXPECT_EQ(exit_code_after(core.get(), 20000), 1u);
    EXPECT_TRUE(wait_for_service_state(0, 20000));
}

TEST_F(Service, UninstallWhenStoppedIgnoresTheRefusedStop) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    UniqueServiceHandle service = open_installed_service(SERVICE_STOP);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(wait_for_service_state(SERVICE_STOPPED, 20000));
    service.reset();
    EXPECT_EQ(run(folder.command(L"uninstall")), (Ran{0, "service uninstalled\n", ""}));
    EXPECT_TRUE(wait_for_service_state(0, 20000));
}

// Started from a console, the executable is no service: it appends its line only to a
// log the service has in a folder of its own, and makes or moves nothing.
TEST_F(Service, StartedFromAConsoleItOnlyLogsIntoTheServicesOwnFolder) {
    InstallFolder folder(L"korvan install dir");
    const std::string line =
        "dispatcher failed: " + win::scm_diagnostic_text(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    enum class Folder { Own, MadeBySomeoneElse, None };
    struct Case {
        const char* name;
        Folder folder;
        std::optional<std::string> log_after;
    };
    const std::vector<Case> cases = {
        {"the service's own folder", Folder::Own, "old\n" + line + "\n"},
        {"a folder someone else made", Folder::MadeBySomeoneElse, "old\n"},
        {"no folder", Folder::None, std::nullopt},
    };
    for (const Case& c : cases) {
        for (const wchar_t* args : {L"", L"Install", L"\"install \""}) {
            SCOPED_TRACE(std::string(c.name) + ", arguments " + win::narrow(args));
            TempDir program_data(L"console");
            const std::wstring work = program_data.path + L"\\KorvanVPN\\service";
            if (c.folder == Folder::Own) {
                test_support::own_work_dir(program_data.path);
            } else if (c.folder == Folder::MadeBySomeoneElse) {
                std::filesystem::create_directories(work);
            }
            if (c.folder != Folder::None) {
                ASSERT_TRUE(test_support::write_file(work + L"\\service.log", "old\n"));
            }
            EXPECT_EQ(run(folder.command(args), {L"ProgramData=" + program_data.path}),
                      (Ran{1, "", ""}));
            EXPECT_EQ(read_file(work + L"\\service.log"), c.log_after);
            EXPECT_EQ(test_support::exists(program_data.path + L"\\KorvanVPN"),
                      c.folder != Folder::None);
            EXPECT_TRUE(test_support::moved_aside_in(program_data.path, L"KorvanVPN").empty());
        }
    }
}

TEST_F(Service, StopEndsTheCoreBeforeTheServiceReportsStopped) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    const UniqueHandle core = started_core();
    ASSERT_TRUE(core.valid());
    const std::optional<SERVICE_STATUS_PROCESS> running = query_service();
    ASSERT_TRUE(running.has_value());
    EXPECT_EQ(running->dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    const UniqueHandle process = open_process(running->dwProcessId);
    ASSERT_TRUE(process.valid());

    UniqueServiceHandle service = open_installed_service(SERVICE_STOP);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(wait_for_service_state(SERVICE_STOPPED, 20000));
    EXPECT_EQ(exit_code_after(core.get(), 0), 1u);
    EXPECT_EQ(exit_code_after(process.get(), 20000), 0u);
    const std::optional<SERVICE_STATUS_PROCESS> stopped = query_service();
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(stopped->dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(stopped->dwServiceSpecificExitCode, 0u);
}

TEST_F(Service, AStopWritesNoLineButTheRepeatCountToTheLog) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    const UniqueHandle core = started_core();
    ASSERT_TRUE(core.valid());
    const std::wstring log = service_log();
    const size_t logged_before = read_file(log).value_or("").size();

    UniqueServiceHandle service = open_installed_service(SERVICE_STOP);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(wait_for_service_state(SERVICE_STOPPED, 20000));
    const std::string logged = read_file(log).value_or("");
    ASSERT_GE(logged.size(), logged_before);
    std::string_view written = std::string_view(logged).substr(logged_before);
    while (!written.empty()) {
        const std::string_view line = written.substr(0, written.find('\n'));
        EXPECT_TRUE(line.starts_with("last message repeated ")) << line;
        written.remove_prefix(std::min(written.size(), line.size() + 1));
    }
}

TEST_F(Service, NoOtherProcessCanMakeAnInstanceOfItsPipeAndEveryPingReachesIt) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    const UniqueHandle core = started_core();
    ASSERT_TRUE(core.valid());
    const std::optional<SERVICE_STATUS_PROCESS> running = query_service();
    ASSERT_TRUE(running.has_value());

    // The service holds every instance of the name: an impostor gets none.
    test_support::ListeningInstances impostor(2);
    EXPECT_FALSE(impostor.listening());
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        UniqueHandle pipe = test_support::open_pipe();
        ASSERT_TRUE(pipe.valid());
        ULONG server = 0;
        ASSERT_TRUE(GetNamedPipeServerProcessId(pipe.get(), &server));
        EXPECT_EQ(server, running->dwProcessId);
        ASSERT_TRUE(test_support::send_bytes(pipe.get(), test_support::framed(R"({"op":"ping"})")));
        EXPECT_EQ(test_support::read_response(pipe.get()), PONG);
    }
    UniqueServiceHandle service = open_installed_service(SERVICE_STOP);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(wait_for_service_state(SERVICE_STOPPED, 20000));
    EXPECT_EQ(exit_code_after(core.get(), 0), 1u);
    EXPECT_EQ(impostor.connected(), 0);
}

TEST_F(Service, AStopEndsAClientsWaitAtOnce) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    UniqueHandle silent = test_support::open_pipe();
    ASSERT_TRUE(silent.valid());
    UniqueServiceHandle service = open_installed_service(SERVICE_STOP);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    // Well within the client's ten seconds.
    EXPECT_TRUE(wait_for_service_state(SERVICE_STOPPED, 5000));
    EXPECT_TRUE(test_support::closed_without_data(silent.get()));
}

constexpr std::string_view PIPE_NAME_HELD = "pipe name held by another process";

// Stops and starts the installed service again; whether it runs again.
bool restarted() {
    UniqueServiceHandle service = open_installed_service(SERVICE_STOP | SERVICE_START);
    SERVICE_STATUS status{};
    return ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
           wait_for_service_state(SERVICE_STOPPED, 20000) &&
           StartServiceW(service.get(), 0, nullptr) &&
           wait_for_service_state(SERVICE_RUNNING, 20000);
}

// Windows only: a pipe lives while any handle on it is open, a client's too, and Wine
// frees the name at the server's close.
TEST_F(Service, AClientThatKeepsItsHandleAcrossARestartKeepsNoOneFromTheNewService) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine frees a pipe's name when its server closes it";
    }
    InstallFolder folder(L"korvan install dir");
    install(folder);
    // One that never sends, and one that never reads its answer, both kept open.
    const UniqueHandle silent = test_support::open_pipe();
    ASSERT_TRUE(silent.valid());
    const UniqueHandle unread = test_support::open_pipe();
    ASSERT_TRUE(test_support::send_bytes(unread.get(), test_support::framed(R"({"op":"ping"})")));
    ASSERT_TRUE(restarted());
    EXPECT_EQ(test_support::request(R"({"op":"ping"})"), PONG);
    const std::optional<std::string> log = read_file(service_log());
    EXPECT_TRUE(!log || log->find(PIPE_NAME_HELD) == std::string::npos) << *log;
}

// Windows only: under Wine every process has the service's token, which the descriptor
// the service makes its instances under lets through.
TEST_F(Service, ASquatterPollingForTheNameGetsNoInstanceAtAnyStart) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "under Wine every process has the same token";
    }
    InstallFolder folder(L"korvan install dir");
    install(folder);
    std::atomic<bool> done{false};
    std::atomic<int> made{0};
    std::vector<UniqueHandle> taken;
    std::thread squatter([&] {
        while (!done.load()) {
            UniqueHandle instance(CreateNamedPipeW(test_support::SERVICE_PIPE, PIPE_ACCESS_DUPLEX,
                                                   PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 0, 0,
                                                   0, nullptr));
            if (instance) {
                ++made;
                taken.push_back(std::move(instance));
            }
        }
    });
    for (int start = 0; start < 20; ++start) {
        SCOPED_TRACE(start);
        ASSERT_TRUE(restarted());
        EXPECT_EQ(test_support::request(R"({"op":"ping"})"), PONG);
    }
    done.store(true);
    squatter.join();
    EXPECT_EQ(made.load(), 0);
}

TEST_F(Service, InterrogateAndUnimplementedControls) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    UniqueServiceHandle service = open_installed_service(
        SERVICE_INTERROGATE | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL);
    ASSERT_TRUE(service);
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    // A user code reaches the handler, which answers ERROR_CALL_NOT_IMPLEMENTED and
    // does nothing else. Windows passes that answer on as ControlService's error; Wine's
    // SCM does not (see runtime_test for the handler's answer).
    ControlService(service.get(), 200, &status);
    // Pause is not among the accepted controls; the SCM refuses it itself.
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(request(R"({"op":"ping"})"), PONG);
}

// A configuration in the install folder that has the stand-in core write its record
// where the test looks; "" when it cannot be written.
std::wstring recording_config(const InstallFolder& folder) {
    const std::wstring config = folder.dir.path + L"\\config.yaml";
    if (!test_support::write_file(config,
                                  "fake-core: record " + win::narrow(core_record()) + "\n")) {
        return {};
    }
    return config;
}

// The client tool built beside the tests, quoted, and a blank for its arguments.
std::wstring tool_command() {
    return L"\"" + test_support::module_dir() + L"\\..\\korvan-vpn-ctl.exe\" ";
}

// The policy value under one of the two machine keys, made what a test needs for a
// scope (nullopt: absent). What was there before, a value of any type or none, comes
// back at its end, so that a machine's own policy outlives a run of the kit; the key
// and its parent, when the scope made them, are removed again unless something was put
// below them meanwhile (the product key holds the folder record too).
struct MachinePolicy {
    MachinePolicy(const wchar_t* key, const std::optional<std::wstring>& sid)
        : key(key), parent(std::wstring(key).substr(0, std::wstring(key).rfind(L'\\'))) {
        key_existed = key_exists(key);
        parent_existed = key_exists(parent.c_str());
        DWORD size = 0;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, key, VALUE, RRF_RT_ANY | RRF_NOEXPAND, &saved_type,
                         nullptr, &size) == ERROR_SUCCESS) {
            saved.emplace(size, BYTE{0});
            EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key, VALUE, RRF_RT_ANY | RRF_NOEXPAND,
                                   &saved_type, saved->data(), &size),
                      ERROR_SUCCESS);
        }
        set(sid);
    }
    ~MachinePolicy() {
        if (saved) {
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, VALUE, saved_type, saved->data(),
                            static_cast<DWORD>(saved->size()));
        } else {
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, VALUE);
        }
        // Each fails, leaving the key, once it has a subkey.
        if (!key_existed) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
        }
        if (!parent_existed) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent.c_str());
        }
    }
    MachinePolicy(const MachinePolicy&) = delete;
    MachinePolicy& operator=(const MachinePolicy&) = delete;

    void set(const std::optional<std::wstring>& sid) const {
        if (!sid) {
            const LSTATUS removed = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, VALUE);
            EXPECT_TRUE(removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND) << removed;
            return;
        }
        EXPECT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, VALUE, REG_SZ, sid->c_str(),
                                  static_cast<DWORD>((sid->size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }

    static bool key_exists(const wchar_t* path) {
        win::UniqueKey opened;
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, opened.put()) ==
               ERROR_SUCCESS;
    }

    static constexpr wchar_t VALUE[] = L"StartAllowedFor";
    const wchar_t* key;
    std::wstring parent;
    bool key_existed = false;
    bool parent_existed = false;
    DWORD saved_type = REG_NONE;
    std::optional<std::vector<BYTE>> saved;
};

constexpr wchar_t GROUP_POLICY_KEY[] = L"SOFTWARE\\Policies\\KorvanVPN\\Service";
constexpr wchar_t PRODUCT_POLICY_KEY[] = L"SOFTWARE\\KorvanVPN\\Service";

TEST_F(Service, AMachinePolicyLimitsStartAndStopAndAppliesToTheNextOne) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    const std::wstring config = recording_config(folder);
    ASSERT_FALSE(config.empty());
    const std::wstring tool = tool_command();
    const std::wstring start =
        tool + L"start --config \"" + config + L"\" --mixed-port 7890 --ctl-port 9090";
    const Ran started{0, "core started: mixed port 7890, controller port 9090\n", ""};
    const std::string refusal =
        "StartAllowedFor policy: start and stop are for members of S-1-5-32-551 only";
    const Ran forbidden{1, "", "korvan-vpn-ctl: error forbidden: " + refusal + "\n"};

    // The product key (as the MSI writes it) limits start and stop to Backup Operators,
    // whom the test's token is not among; the running core keeps running.
    ASSERT_EQ(run(start), started);
    // Whatever Group Policy says on this machine is put aside for the test.
    MachinePolicy policy(GROUP_POLICY_KEY, std::nullopt);
    MachinePolicy product(PRODUCT_POLICY_KEY, L"S-1-5-32-551");
    EXPECT_EQ(run(start), forbidden);
    EXPECT_EQ(run(tool + L"stop"), forbidden);
    EXPECT_EQ(request(R"({"op":"stop"})"),
              R"({"ok":"error","code":"forbidden","message":")" + refusal + "\"}");
    EXPECT_EQ(run(tool + L"status"),
              (Ran{0, "core running: mixed port 7890, controller port 9090\n", ""}));
    EXPECT_EQ(request(R"({"op":"ping"})"), PONG);

    // The log may hold lines of earlier runs in this prefix: only what follows counts.
    const size_t logged_before = test_support::read_file(service_log()).value_or("").size();
    // The Group Policy key wins; empty, it lifts the product key's limit.
    {
        policy.set(L"");
        EXPECT_EQ(run(start), started);
        // Administrators: the test's token is one.
        policy.set(L"S-1-5-32-544");
        EXPECT_EQ(run(tool + L"stop"), (Ran{0, "core stopped\n", ""}));
        // A value that is no SID refuses everyone, and is logged once.
        policy.set(L"S-1-5-32-5x4");
        const Ran faulty{1, "",
                         "korvan-vpn-ctl: error forbidden: StartAllowedFor policy: not a SID: "
                         "\"S-1-5-32-5x4\"\n"};
        EXPECT_EQ(run(start), faulty);
        EXPECT_EQ(run(tool + L"stop"), faulty);
        policy.set(std::nullopt);
    }
    const std::optional<std::string> log = test_support::read_file(service_log());
    ASSERT_TRUE(log.has_value());
    size_t count = 0;
    for (size_t at = log->find("not a SID", logged_before); at != std::string::npos;
         at = log->find("not a SID", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 1u) << *log;
    // Back to the product key's limit alone.
    EXPECT_EQ(run(start), forbidden);
}

// Windows only: while Group Policy holds the machine's policy lock (here the test holds
// it, as a refresh does), a start waits for it 2 s and is refused; once it is left, the
// start goes through. Wine's EnterCriticalPolicySection fails at once, and the service
// reads the keys without it (src/pipe/policy_section_test.cpp).
TEST_F(Service, AStartWhileGroupPolicyHoldsItsLockIsRefusedUntilItIsLeft) {
    const HANDLE probe = EnterCriticalPolicySection(TRUE);
    if (probe == nullptr && test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine's EnterCriticalPolicySection fails at once";
    }
    ASSERT_NE(probe, nullptr) << GetLastError();
    LeaveCriticalPolicySection(probe);
    InstallFolder folder(L"korvan install dir");
    install(folder);
    const std::wstring config = recording_config(folder);
    ASSERT_FALSE(config.empty());
    const std::wstring start =
        tool_command() + L"start --config \"" + config + L"\" --mixed-port 7890 --ctl-port 9090";
    {
        const HANDLE held = EnterCriticalPolicySection(TRUE);
        ASSERT_NE(held, nullptr) << GetLastError();
        const ULONGLONG began = GetTickCount64();
        EXPECT_EQ(run(start), (Ran{1, "",
                                   "korvan-vpn-ctl: error forbidden: StartAllowedFor policy: "
                                   "Group Policy is being applied; try again\n"}));
        EXPECT_GE(GetTickCount64() - began, 1900u);
        LeaveCriticalPolicySection(held);
    }
    EXPECT_EQ(run(start), (Ran{0, "core started: mixed port 7890, controller port 9090\n", ""}));
}

// Windows only: an administrator's app that runs without elevation holds a filtered
// token, in which Administrators is deny-only. With the policy naming Administrators it
// is refused, while it is admitted as an interactive caller. Wine gives the service its
// own token for every client.
TEST_F(Service, APolicyNamingAdministratorsRefusesAnAdministratorsFilteredToken) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine impersonates every client with the server's own token";
    }
    const UniqueHandle filtered(
        test_support::impersonation_token_denying({WinBuiltinAdministratorsSid}));
    ASSERT_TRUE(filtered);
    std::vector<BYTE> interactive(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(interactive.size());
    ASSERT_TRUE(CreateWellKnownSid(WinInteractiveSid, nullptr, interactive.data(), &size));
    BOOL is_interactive = FALSE;
    ASSERT_TRUE(CheckTokenMembership(filtered.get(), interactive.data(), &is_interactive));
    if (!is_interactive) {
        GTEST_SKIP() << "the kit runs outside an interactive logon: admission alone refuses";
    }
    InstallFolder folder(L"korvan install dir");
    install(folder);
    MachinePolicy policy(GROUP_POLICY_KEY, L"S-1-5-32-544");
    // The pipe is opened while the thread wears the filtered token: the service
    // impersonates the token the client opened it with.
    ASSERT_TRUE(SetThreadToken(nullptr, filtered.get()));
    UniqueHandle pipe = test_support::open_pipe(10000, nullptr, test_support::SERVICE_PIPE,
                                                SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION);
    RevertToSelf();
    ASSERT_TRUE(pipe.valid());
    ASSERT_TRUE(test_support::send_bytes(pipe.get(), test_support::framed(start_request())));
    EXPECT_EQ(test_support::read_response(pipe.get()),
              R"({"ok":"error","code":"forbidden","message":"StartAllowedFor policy: start and )"
              R"(stop are for members of S-1-5-32-544 only"})");
    // The elevated token is a member.
    EXPECT_EQ(request(start_request()), STARTED);
}

TEST_F(Service, TheControlToolDrivesTheInstalledService) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    const std::wstring config = recording_config(folder);
    ASSERT_FALSE(config.empty());
    // With the server check on: the pipe's server is the service the SCM runs.
    const std::wstring tool = tool_command();
    struct Case {
        std::wstring args;
        Ran ran;
    };
    const Case cases[] = {
        {L"ping", {0, "pong: protocol 1, service 1.0.0\n", ""}},
        {L"status", {0, "core not running\n", ""}},
        {L"start --config \"" + config + L"\" --mixed-port 7890 --ctl-port 9090",
         {0, "core started: mixed port 7890, controller port 9090\n", ""}},
        {L"status", {0, "core running: mixed port 7890, controller port 9090\n", ""}},
        {L"--json status",
         {0,
          R"({"ok":"status","running":true,"mixed_port":7890,"ctl_port":9090})"
          "\n",
          ""}},
        {L"stop", {0, "core stopped\n", ""}},
        {L"status", {0, "core not running\n", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(win::narrow(c.args));
        EXPECT_EQ(run(tool + c.args), c.ran);
    }
}

// Ends the installed service's process as a crash would, and waits until it has ended;
// its id, or nothing when that fails.
std::optional<DWORD> kill_service_process() {
    const std::optional<SERVICE_STATUS_PROCESS> running = query_service();
    EXPECT_TRUE(running.has_value());
    if (!running) {
        return std::nullopt;
    }
    UniqueHandle process(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                    running->dwProcessId));
    EXPECT_TRUE(process.valid());
    if (!process || !TerminateProcess(process.get(), 7) ||
        exit_code_after(process.get(), 20000) != 7u) {
        ADD_FAILURE() << "the service's process did not end";
        return std::nullopt;
    }
    return running->dwProcessId;
}

// Whether the SCM has started the service again in a process other than `killed`, within
// a bound well past the first restart's delay of 5 s.
bool started_again_after(DWORD killed) {
    const ULONGLONG deadline = GetTickCount64() + 30000;
    for (;;) {
        const std::optional<SERVICE_STATUS_PROCESS> status = query_service();
        if (status && status->dwCurrentState == SERVICE_RUNNING && status->dwProcessId != 0 &&
            status->dwProcessId != killed) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(50);
    }
}

constexpr char NO_FAILURE_ACTIONS_UNDER_WINE[] =
    "Wine's SCM neither keeps failure actions nor restarts a service whose process ended";

TEST_F(Service, KillingTheServiceProcessEndsItsCore) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    const UniqueHandle core = started_core();
    ASSERT_TRUE(core.valid());
    const std::optional<DWORD> killed = kill_service_process();
    ASSERT_TRUE(killed.has_value());
    // The job's last handle closed with the service process.
    EXPECT_TRUE(exit_code_after(core.get(), 20000).has_value());
    if (!test_support::running_under_wine()) {
        // Stopped and removed once it runs again, not while a restart is pending.
        EXPECT_TRUE(started_again_after(*killed));
    }
}

// Windows only (NO_FAILURE_ACTIONS_UNDER_WINE).
TEST_F(Service, AServiceWhoseProcessWasKilledIsStartedAgainAndAnswers) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << NO_FAILURE_ACTIONS_UNDER_WINE;
    }
    InstallFolder folder(L"korvan install dir");
    install(folder);
    for (int crash = 1; crash <= 2; ++crash) {
        SCOPED_TRACE("crash " + std::to_string(crash));
        const std::optional<DWORD> killed = kill_service_process();
        ASSERT_TRUE(killed.has_value());
        ASSERT_TRUE(started_again_after(*killed));
        EXPECT_EQ(request(R"({"op":"ping"})"), PONG);
    }
}

// Windows only (NO_FAILURE_ACTIONS_UNDER_WINE): there QueryServiceConfig2W fails with
// ERROR_INVALID_LEVEL (124) and the registration holds no FailureActions value.
TEST_F(Service, InstallAsksForRestartsAfter5And10And60SecondsCountedAfreshAfterADay) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << NO_FAILURE_ACTIONS_UNDER_WINE;
    }
    InstallFolder folder(L"korvan install dir");
    install(folder);
    UniqueServiceHandle service = open_installed_service(SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(service);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(),
                                     static_cast<DWORD>(buffer.size()), &needed))
        << GetLastError();
    const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
    EXPECT_EQ(actions->dwResetPeriod, 86400u);
    EXPECT_TRUE(actions->lpRebootMsg == nullptr || *actions->lpRebootMsg == L'\0');
    EXPECT_TRUE(actions->lpCommand == nullptr || *actions->lpCommand == L'\0');
    ASSERT_EQ(actions->cActions, 3u);
    const DWORD delays[] = {5000, 10000, 60000};
    for (DWORD i = 0; i < 3; ++i) {
        SCOPED_TRACE("action " + std::to_string(i));
        EXPECT_EQ(actions->lpsaActions[i].Type, SC_ACTION_RESTART);
        EXPECT_EQ(actions->lpsaActions[i].Delay, delays[i]);
    }
    // A stop the service reports itself, with an exit code or not, restarts nothing.
    ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                                     buffer.data(), static_cast<DWORD>(buffer.size()), &needed))
        << GetLastError();
    EXPECT_FALSE(reinterpret_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(buffer.data())
                     ->fFailureActionsOnNonCrashFailures);
}

// The restarts need a handle that may change the configuration; the SCM refuses others.
TEST_F(Service, TheRestartsCannotBeSetThroughAHandleThatMayNotChangeTheConfiguration) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    UniqueServiceHandle service =
        open_installed_service(SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START);
    ASSERT_TRUE(service);
    const Result<void> set = set_restart_on_failure(service.get());
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error(),
              "ChangeServiceConfig2W: " + test_support::expected_winapi_text(ERROR_ACCESS_DENIED));
}

// The Service Control Manager refusing the restart after a crash, through a stand-in
// for ChangeServiceConfig2W (Wine's accepts every handle that may change the
// configuration).
BOOL WINAPI refusing_change(SC_HANDLE, DWORD, LPVOID) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// A refused restart fails nothing: the install succeeds (the command prints "service
// installed" for it, InstallRegistersStartsAndDescribesIt), the service starts and
// answers, and the refusal goes to the log in the work folder the install made.
TEST_F(Service, ARefusedRestartOnFailureFailsNothingAndGoesToTheLog) {
    InstallFolder folder(L"korvan install dir");
    TempDir program_data(L"install");
    const test_support::ScopedEnv environment(L"ProgramData", program_data.path);
    const Result<void> installed = install_service_at(folder.exe(), refusing_change);
    ASSERT_TRUE(installed.ok()) << installed.error();
    EXPECT_EQ(request(R"({"op":"ping"})"), PONG);
    EXPECT_EQ(read_file(program_data.path + L"\\KorvanVPN\\service\\service.log"),
              "install: restart on failure: ChangeServiceConfig2W: " +
                  test_support::expected_winapi_text(ERROR_ACCESS_DENIED) + "\n");
}

TEST_F(Service, ARestartKeepsTheServicesOwnWorkFolder) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    ASSERT_TRUE(started_core().valid());
    const std::wstring work = recorded_work_folder();
    ASSERT_FALSE(work.empty());
    const std::wstring top = work.substr(0, work.find_last_of(L'\\'));
    const std::wstring program_data = top.substr(0, top.find_last_of(L'\\'));
    const std::optional<FILE_ID_INFO> before = test_support::file_identity(work);
    ASSERT_TRUE(before.has_value());
    ASSERT_TRUE(test_support::write_file(work + L"\\kept.txt", "kept"));
    const size_t aside_before = test_support::moved_aside_in(program_data, L"KorvanVPN").size() +
                                test_support::moved_aside_in(top, L"service").size();

    UniqueServiceHandle service = open_installed_service(SERVICE_STOP | SERVICE_START);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(wait_for_service_state(SERVICE_STOPPED, 20000));
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr));
    ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING, 20000));
    ASSERT_TRUE(started_core().valid());

    EXPECT_EQ(recorded_work_folder(), work);
    const std::optional<FILE_ID_INFO> after = test_support::file_identity(work);
    ASSERT_TRUE(after.has_value());
    EXPECT_TRUE(workdir::same_file(*before, *after));
    EXPECT_EQ(read_file(work + L"\\kept.txt"), "kept");
    EXPECT_EQ(test_support::moved_aside_in(program_data, L"KorvanVPN").size() +
                  test_support::moved_aside_in(top, L"service").size(),
              aside_before);
    DeleteFileW((work + L"\\kept.txt").c_str());
}

// Opens `path` for reading without sharing, as any account that can read the install
// folder may. The error of a refused open is in GetLastError().
UniqueHandle open_unshared(const std::wstring& path) {
    return UniqueHandle(
        CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

// The install folder's two files, and the message of a start refused while someone
// holds one of them without sharing.
struct HeldInstallFile {
    const wchar_t* name;
    std::string refused_start;
};

std::vector<HeldInstallFile> held_install_files() {
    return {
        {L"wintun-x86_64.dll",
         "provision wintun.dll: " + test_support::expected_os_text(ERROR_SHARING_VIOLATION)},
        {L"mihomo-x86_64-pc-windows-msvc.exe",
         "spawn mihomo: " + test_support::expected_os_text(ERROR_SHARING_VIOLATION)},
    };
}

TEST_F(Service, NoOneCanHoldItsInstallFilesWithoutSharingOnceItHasStarted) {
    InstallFolder folder(L"korvan install dir");
    install(folder);
    for (const HeldInstallFile& file : held_install_files()) {
        SCOPED_TRACE(win::narrow(file.name));
        const UniqueHandle holder = open_unshared(folder.dir.path + L"\\" + file.name);
        const DWORD error = GetLastError();
        EXPECT_FALSE(holder.valid());
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_TRUE(started_core().valid());
    }
    remove_service();
}

TEST_F(Service, AHolderPresentAtItsStartFailsStartsOnlyUntilItLetsGo) {
    for (const HeldInstallFile& file : held_install_files()) {
        SCOPED_TRACE(win::narrow(file.name));
        InstallFolder folder(L"korvan install dir");
        const std::wstring path = folder.dir.path + L"\\" + file.name;
        UniqueHandle holder = open_unshared(path);
        ASSERT_TRUE(holder.valid());
        install(folder);

        EXPECT_EQ(request(start_request()), R"({"ok":"error","code":"start_failed","message":")" +
                                                file.refused_start + "\"}");
        holder.reset();
        EXPECT_TRUE(started_core().valid());
        // Held by the service from that start on, without a restart.
        EXPECT_FALSE(open_unshared(path).valid());
        remove_service();
    }
}

// Windows only: Wine's SCM does not pass a handler's answer on to ControlService.
TEST_F(Service, AUserControlFailsWithTheHandlersNotImplementedAnswer) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine's ControlService does not pass on a handler's answer";
    }
    InstallFolder folder(L"korvan install dir");
    install(folder);
    UniqueServiceHandle service = open_installed_service(SERVICE_USER_DEFINED_CONTROL);
    ASSERT_TRUE(service);
    SERVICE_STATUS status{};
    const BOOL sent = ControlService(service.get(), 200, &status);
    const DWORD error = GetLastError();
    EXPECT_FALSE(sent);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(request(R"({"op":"ping"})"), PONG);
}

}  // namespace
}  // namespace korvan::service
