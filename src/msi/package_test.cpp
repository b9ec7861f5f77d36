// The kit's package, where the kit carries it; skipped beside a build, which has none
// (msi_tests installs the build's package under Wine). Installed, it registers and
// removes the service through actions that run as SYSTEM. A repair started by msiexec
// on a token whose Administrators group is deny-only, as UAC's filtered token holds it,
// is refused by the package's check before anything changes, and the service runs on in
// the same process. Windows Installer runs that immediate action impersonating the user
// who started msiexec; Wine runs it with msiexec's own token, which the restricted token
// is there too (msi_tests shows the refusal there). A repair that an administrator starts
// from a prompt that is not elevated, with UAC set to elevate administrators without
// asking, passes the check on UAC's limited token and its linked one; Wine has no UAC.

#include <windows.h>

#include <aclapi.h>
#include <msidefs.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "msi/administrator.h"
#include "support/installed_service.h"
#include "support/msi_handle.h"
#include "support/pipe_client.h"
#include "support/process_run.h"
#include "support/test_support.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::msi {
namespace {

using test_support::TempDir;
using test_support::UniqueMsiHandle;
using win::UniqueHandle;

constexpr char PONG[] = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";

// The packages beside this test executable, as the kit carries one.
std::vector<std::wstring> packages_in_kit() {
    const std::wstring kit = test_support::module_dir();
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry{};
    const HANDLE search = FindFirstFileW((kit + L"\\korvan-vpn-*-x64*.msi").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        found.push_back(kit + L"\\" + entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

// A verbose Windows Installer log as text: UTF-16 after a byte order mark, else bytes.
std::string installer_log(const std::wstring& path) {
    const std::optional<std::string> bytes = test_support::read_file(path);
    if (!bytes) {
        return {};
    }
    if (!bytes->starts_with("\xFF\xFE")) {
        return *bytes;
    }
    std::wstring text((bytes->size() - 2) / 2, L'\0');
    std::memcpy(text.data(), bytes->data() + 2, text.size() * sizeof(wchar_t));
    return win::narrow(text);
}

std::optional<DWORD> msiexec(const std::wstring& args) {
    const std::optional<test_support::Ran> ran =
        test_support::run(L"msiexec.exe " + args, {}, 600000);
    return ran ? std::optional<DWORD>(ran->exit_code) : std::nullopt;
}

// msiexec started with this process's token, Administrators deny-only: its exit code,
// or nullopt when it could not be started or did not end within 10 minutes.
std::optional<DWORD> msiexec_denying_administrators(const std::wstring& args) {
    const UniqueHandle token(test_support::primary_token_denying({WinBuiltinAdministratorsSid}));
    if (!token) {
        ADD_FAILURE() << "no restricted token: " << GetLastError();
        return std::nullopt;
    }
    std::wstring command = L"msiexec.exe " + args;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessAsUserW(token.get(), nullptr, command.data(), nullptr, nullptr, FALSE,
                              CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started)) {
        ADD_FAILURE() << "CreateProcessAsUserW: " << GetLastError();
        return std::nullopt;
    }
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);
    return test_support::exit_code_after(process.get(), 600000);
}

// Lets this process's user write below `folder` with any token of theirs, the
// restricted one included: a kit below Program Files grants Administrators alone.
bool grant_own_user(const std::wstring& folder) {
    UniqueHandle process_token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, process_token.put())) {
        return false;
    }
    std::vector<BYTE> user(SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER));
    DWORD size = static_cast<DWORD>(user.size());
    if (!GetTokenInformation(process_token.get(), TokenUser, user.data(), size, &size)) {
        return false;
    }
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName =
        static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    PACL old_dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &old_dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const win::UniqueLocal descriptor_owner(descriptor);
    PACL new_dacl = nullptr;
    if (SetEntriesInAclW(1, &access, old_dacl, &new_dacl) != ERROR_SUCCESS) {
        return false;
    }
    const win::UniqueLocal dacl_owner(new_dacl);
    std::wstring path = folder;
    return SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, new_dacl, nullptr) == ERROR_SUCCESS;
}

TEST(Package, RefusesARepairStartedWithoutAnEnabledAdministratorsGroup) {
    const std::vector<std::wstring> packages = packages_in_kit();
    if (packages.empty()) {
        GTEST_SKIP() << "no package korvan-vpn-*-x64*.msi beside the tests";
    }
    ASSERT_EQ(packages.size(), 1u);
    const std::wstring quoted = L"\"" + packages[0] + L"\"";
    TempDir logs(L"package logs");
    ASSERT_TRUE(grant_own_user(logs.path)) << GetLastError();
    const std::wstring log = logs.path + L"\\refused-repair.log";
    // Whatever fails below, the package does not stay installed.
    struct Removal {
        const std::wstring& quoted;
        ~Removal() { msiexec(L"/x " + quoted + L" /qn"); }
    } removal{quoted};
    ASSERT_EQ(msiexec(L"/i " + quoted + L" /qn"), 0u);
    ASSERT_TRUE(test_support::wait_for_service_state(SERVICE_RUNNING, 30000));
    const std::optional<SERVICE_STATUS_PROCESS> before = test_support::query_service();
    ASSERT_TRUE(before);

    const std::optional<DWORD> code = msiexec_denying_administrators(
        L"/i " + quoted + L" REINSTALL=ALL REINSTALLMODE=omus /qn /l*v \"" + log + L"\"");
    ASSERT_TRUE(code);
    const std::optional<SERVICE_STATUS_PROCESS> after = test_support::query_service();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(after->dwProcessId, before->dwProcessId) << "the refused repair stopped the service";
    const std::string text = installer_log(log);
    if (text.find(": KorvanCheckAdministrator.") == std::string::npos) {
        // Windows Installer may ask such a user for an administrator's consent before it
        // runs a repair at all, which a silent run cannot show: then the package's
        // check is never reached.
        EXPECT_NE(*code, 0u);
        GTEST_SKIP() << "Windows Installer refused the repair before the package's actions "
                        "ran, exit code "
                     << *code;
    }
    EXPECT_EQ(*code, static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_NE(text.find("KorvanCheckAdministrator: the Administrators group is not enabled in "
                        "the token"),
              std::string::npos);
    EXPECT_NE(text.find(std::string(NOT_ADMINISTRATOR_TEXT)), std::string::npos);
}

// A primary token of the desktop's shell, which runs unelevated: what a prompt that is
// not elevated has, UAC's limited token of an administrator. Invalid when there is no
// shell (outside an interactive logon) or its token cannot be had.
UniqueHandle shell_token() {
    const HWND shell = GetShellWindow();
    DWORD pid = 0;
    if (shell == nullptr || GetWindowThreadProcessId(shell, &pid) == 0) {
        return {};
    }
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    UniqueHandle token;
    if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE, token.put())) {
        return {};
    }
    UniqueHandle primary;
    if (!DuplicateTokenEx(token.get(),
                          TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                              TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                          nullptr, SecurityImpersonation, TokenPrimary, primary.put())) {
        return {};
    }
    return primary;
}

std::vector<BYTE> token_user(HANDLE token) {
    std::vector<BYTE> user(SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER));
    DWORD size = static_cast<DWORD>(user.size());
    if (!GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
        return {};
    }
    return user;
}

bool same_user(HANDLE one, HANDLE other) {
    const std::vector<BYTE> a = token_user(one);
    const std::vector<BYTE> b = token_user(other);
    return !a.empty() && !b.empty() &&
           EqualSid(reinterpret_cast<const TOKEN_USER*>(a.data())->User.Sid,
                    reinterpret_cast<const TOKEN_USER*>(b.data())->User.Sid);
}

// msiexec started with `token` (CreateProcessWithTokenW, which an elevated
// administrator's SeImpersonatePrivilege allows): its exit code, or nullopt when it could
// not be started or did not end within 10 minutes.
std::optional<DWORD> msiexec_with_token(HANDLE token, const std::wstring& args) {
    std::wstring command = L"msiexec.exe " + args;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessWithTokenW(token, 0, nullptr, command.data(), CREATE_NO_WINDOW, nullptr,
                                 nullptr, &startup, &started)) {
        ADD_FAILURE() << "CreateProcessWithTokenW: " << GetLastError();
        return std::nullopt;
    }
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);
    return test_support::exit_code_after(process.get(), 600000);
}

// UAC's ConsentPromptBehaviorAdmin set to 0 (elevate administrators without asking) for
// the scope; the value that was there, or its absence, comes back at its end.
struct ElevationWithoutPrompt {
    static constexpr wchar_t KEY[] =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
    static constexpr wchar_t VALUE[] = L"ConsentPromptBehaviorAdmin";

    ElevationWithoutPrompt() {
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, KEY, VALUE, RRF_RT_REG_DWORD, nullptr, &value,
                         &size) == ERROR_SUCCESS) {
            saved = value;
        }
        const DWORD none = 0;
        set = RegSetKeyValueW(HKEY_LOCAL_MACHINE, KEY, VALUE, REG_DWORD, &none, sizeof none);
    }
    ~ElevationWithoutPrompt() {
        if (saved) {
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, KEY, VALUE, REG_DWORD, &*saved, sizeof *saved);
        } else {
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, KEY, VALUE);
        }
    }
    ElevationWithoutPrompt(const ElevationWithoutPrompt&) = delete;
    ElevationWithoutPrompt& operator=(const ElevationWithoutPrompt&) = delete;

    std::optional<DWORD> saved;
    LSTATUS set = ERROR_SUCCESS;
};

// Windows only: an administrator's repair started without elevation, as from Settings,
// runs the package's immediate actions on UAC's limited token, where Administrators is
// deny-only; with ConsentPromptBehaviorAdmin 0 the installer's elevation needs no click,
// and the check passes on the linked token. Skipped when the desktop's shell does not run
// on a limited token of this kit's user: outside an interactive logon, with UAC off, or
// where no linked token is given (Windows 11's Administrator Protection may be such a
// case; not verified).
TEST(Package, AnAdministratorsRepairFromAPromptNotElevatedPassesOnTheLinkedToken) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine has no UAC: no run starts on an administrator's limited token";
    }
    const std::vector<std::wstring> packages = packages_in_kit();
    if (packages.empty()) {
        GTEST_SKIP() << "no package korvan-vpn-*-x64*.msi beside the tests";
    }
    ASSERT_EQ(packages.size(), 1u);
    const UniqueHandle limited = shell_token();
    if (!limited) {
        GTEST_SKIP() << "no desktop shell whose token the test can take: the kit runs outside "
                        "an interactive logon";
    }
    UniqueHandle own;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, own.put()));
    const Result<TOKEN_ELEVATION_TYPE> type = token_elevation_type(limited.get());
    ASSERT_TRUE(type) << type.error();
    if (type.value() != TokenElevationTypeLimited || !same_user(limited.get(), own.get())) {
        GTEST_SKIP() << "the desktop's shell does not run on a limited token of the kit's user "
                        "(TokenElevationType "
                     << type.value() << ")";
    }
    const std::wstring quoted = L"\"" + packages[0] + L"\"";
    TempDir logs(L"package logs");
    ASSERT_TRUE(grant_own_user(logs.path)) << GetLastError();
    const std::wstring log = logs.path + L"\\unelevated-repair.log";
    struct Removal {
        const std::wstring& quoted;
        ~Removal() { msiexec(L"/x " + quoted + L" /qn"); }
    } removal{quoted};
    ASSERT_EQ(msiexec(L"/i " + quoted + L" /qn"), 0u);
    ASSERT_TRUE(test_support::wait_for_service_state(SERVICE_RUNNING, 30000));
    const ElevationWithoutPrompt no_prompt;
    ASSERT_EQ(no_prompt.set, ERROR_SUCCESS);

    const std::optional<DWORD> code = msiexec_with_token(
        limited.get(),
        L"/i " + quoted + L" REINSTALL=ALL REINSTALLMODE=omus /qn /l*v \"" + log + L"\"");
    ASSERT_TRUE(code);
    const std::string text = installer_log(log);
    EXPECT_EQ(*code, 0u) << "the log's check: "
                         << text.substr(
                                std::min(text.find("KorvanCheckAdministrator: "), text.size()),
                                300);
    EXPECT_NE(text.find("KorvanCheckAdministrator: the token is UAC's limited token of an "
                        "administrator: the Administrators group is enabled in its linked token"),
              std::string::npos);
    EXPECT_EQ(text.find(std::string(NOT_ADMINISTRATOR_TEXT)), std::string::npos);
    // The repair stopped the service and started it again.
    EXPECT_TRUE(test_support::wait_for_service_state(SERVICE_RUNNING, 30000));
    EXPECT_EQ(test_support::request(R"({"op":"ping"})"), PONG);
}

// The product key's StartAllowedFor as the package wrote it; nullopt when absent.
std::optional<std::wstring> start_allowed_for() {
    wchar_t text[256] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KorvanVPN\\Service", L"StartAllowedFor",
                     RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(text);
}

// Windows only: Windows Installer evaluates a component's condition at its first install
// alone, unless the component is transitive, so a repair given START_ALLOWED_FOR writes
// the value on an install made without it only through the transitive bit. Wine
// evaluates every condition at every run, where the bit makes no difference (msi_tests
// runs the same steps there).
TEST(Package, ARepairGivenStartAllowedForWritesItOnAnInstallMadeWithout) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine evaluates every component's condition at every run";
    }
    const std::vector<std::wstring> packages = packages_in_kit();
    if (packages.empty()) {
        GTEST_SKIP() << "no package korvan-vpn-*-x64*.msi beside the tests";
    }
    ASSERT_EQ(packages.size(), 1u);
    const std::wstring quoted = L"\"" + packages[0] + L"\"";
    struct Removal {
        const std::wstring& quoted;
        ~Removal() { msiexec(L"/x " + quoted + L" /qn"); }
    } removal{quoted};
    ASSERT_EQ(msiexec(L"/i " + quoted + L" /qn"), 0u);
    EXPECT_EQ(start_allowed_for(), std::nullopt);

    ASSERT_EQ(msiexec(L"/i " + quoted +
                      L" REINSTALL=ALL REINSTALLMODE=omus START_ALLOWED_FOR=S-1-5-32-544 /qn"),
              0u);
    EXPECT_EQ(start_allowed_for(), L"S-1-5-32-544");
    // A repair without the property keeps it.
    ASSERT_EQ(msiexec(L"/i " + quoted + L" REINSTALL=ALL REINSTALLMODE=omus /qn"), 0u);
    EXPECT_EQ(start_allowed_for(), L"S-1-5-32-544");
}

// A package's custom action that runs the service's own install or uninstall: its
// command line ends in the verb.
struct ServiceAction {
    std::wstring name;
    int type;
    std::wstring verb;
};

std::wstring record_text(MSIHANDLE record, UINT field) {
    DWORD size = 0;
    wchar_t none[1] = L"";
    // With no room, the call gives the length without the terminating null.
    MsiRecordGetStringW(record, field, none, &size);
    std::wstring text(size + 1, L'\0');
    size = static_cast<DWORD>(text.size());
    if (MsiRecordGetStringW(record, field, text.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    text.resize(size);
    return text;
}

// The last word of a command line, without its quotes.
std::wstring last_word(std::wstring command_line) {
    std::erase(command_line, L'"');
    const size_t end = command_line.find_last_not_of(L' ');
    if (end == std::wstring::npos) {
        return {};
    }
    // npos + 1 is 0: a line of one word.
    const size_t start = command_line.find_last_of(L' ', end) + 1;
    return command_line.substr(start, end + 1 - start);
}

std::vector<ServiceAction> service_actions(const std::wstring& package) {
    std::vector<ServiceAction> actions;
    UniqueMsiHandle database;
    UniqueMsiHandle view;
    if (MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, database.put()) != ERROR_SUCCESS ||
        MsiDatabaseOpenViewW(database.get(),
                             L"SELECT `Action`, `Type`, `Target` FROM `CustomAction`",
                             view.put()) != ERROR_SUCCESS ||
        MsiViewExecute(view.get(), 0) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot read the CustomAction table of " << win::narrow(package);
        return actions;
    }
    for (;;) {
        UniqueMsiHandle record;
        if (MsiViewFetch(view.get(), record.put()) != ERROR_SUCCESS) {
            return actions;
        }
        std::wstring verb = last_word(record_text(record.get(), 3));
        if (verb == L"install" || verb == L"uninstall") {
            actions.push_back(ServiceAction{record_text(record.get(), 1),
                                            MsiRecordGetInteger(record.get(), 2), std::move(verb)});
        }
    }
}

// Whether the Windows Installer service itself ("MSI (s)") ran `action` from the
// installation script, as a deferred action does, with the type of the package.
bool ran_in_server_script(const std::string& log, const ServiceAction& action) {
    const std::string op = "Executing op: CustomActionSchedule(Action=" + win::narrow(action.name) +
                           ",ActionType=" + std::to_string(action.type) + ",";
    size_t start = 0;
    while (start < log.size()) {
        const size_t end = std::min(log.find('\n', start), log.size());
        const std::string_view line(log.data() + start, end - start);
        if (line.starts_with("MSI (s) (") && line.find(op) != std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Windows only: Wine gives every process one token, so nothing there can be seen to run
// as SYSTEM. The package is the one the kit carries.
TEST(Package, InstallsAndRemovesTheServiceThroughActionsRunAsSystem) {
    if (test_support::running_under_wine()) {
        GTEST_SKIP() << "Wine gives every process one token: no action runs as SYSTEM";
    }
    const std::vector<std::wstring> packages = packages_in_kit();
    if (packages.empty()) {
        GTEST_SKIP() << "no package korvan-vpn-*-x64*.msi beside the tests";
    }
    ASSERT_EQ(packages.size(), 1u);
    const std::wstring& package = packages[0];
    const std::vector<ServiceAction> actions = service_actions(package);
    for (const wchar_t* verb : {L"install", L"uninstall"}) {
        EXPECT_TRUE(
            std::ranges::any_of(actions, [&](const ServiceAction& a) { return a.verb == verb; }))
            << "no custom action runs the service's " << win::narrow(verb);
    }
    constexpr int DEFERRED_AS_SYSTEM =
        msidbCustomActionTypeInScript | msidbCustomActionTypeNoImpersonate;
    for (const ServiceAction& action : actions) {
        EXPECT_EQ(action.type & DEFERRED_AS_SYSTEM, DEFERRED_AS_SYSTEM) << win::narrow(action.name);
    }

    ASSERT_TRUE(test_support::remove_installed_service(20000));
    TempDir logs(L"package logs");
    const std::wstring install_log = logs.path + L"\\install.log";
    const std::wstring uninstall_log = logs.path + L"\\uninstall.log";
    const std::wstring quoted = L"\"" + package + L"\"";
    // Whatever fails below, the package does not stay installed.
    struct Removal {
        const std::wstring& quoted;
        bool needed = true;
        ~Removal() {
            if (needed) {
                msiexec(L"/x " + quoted + L" /qn");
            }
        }
    } removal{quoted};
    ASSERT_EQ(msiexec(L"/i " + quoted + L" /qn /l*v \"" + install_log + L"\""), 0u);

    ASSERT_TRUE(test_support::wait_for_service_state(SERVICE_RUNNING, 30000));
    win::UniqueServiceHandle service = test_support::open_installed_service(SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(service);
    const std::vector<BYTE> configuration = test_support::service_config(service.get());
    ASSERT_FALSE(configuration.empty()) << GetLastError();
    EXPECT_EQ(std::wstring(reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(configuration.data())
                               ->lpServiceStartName),
              L"LocalSystem");
    service.reset();
    EXPECT_EQ(test_support::request(R"({"op":"ping"})"), PONG);
    const std::string installed = installer_log(install_log);
    for (const ServiceAction& action : actions) {
        if (action.verb == L"install" &&
            (action.type & (msidbCustomActionTypeRollback | msidbCustomActionTypeCommit)) == 0) {
            EXPECT_TRUE(ran_in_server_script(installed, action)) << win::narrow(action.name);
        }
    }

    removal.needed = false;
    ASSERT_EQ(msiexec(L"/x " + quoted + L" /qn /l*v \"" + uninstall_log + L"\""), 0u);
    EXPECT_TRUE(test_support::wait_for_service_state(0, 30000));
    const std::string uninstalled = installer_log(uninstall_log);
    for (const ServiceAction& action : actions) {
        if (action.verb == L"uninstall" &&
            (action.type & (msidbCustomActionTypeRollback | msidbCustomActionTypeCommit)) == 0) {
            EXPECT_TRUE(ran_in_server_script(uninstalled, action)) << win::narrow(action.name);
        }
    }
}

}  // namespace
}  // namespace korvan::msi
