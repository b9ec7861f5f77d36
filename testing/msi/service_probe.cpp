// service-probe: what the MSI test does to the korvan-vpn-service registration beside
// the package, where Wine's sc falls short.
//   service-probe hold      holds a handle to it open, as an open Services console or a
//                           monitoring agent does, until standard input ends; prints
//                           "holding" once the handle is open
//   service-probe disable   sets its start type to disabled
//   service-probe enable    sets its start type back to automatic
//   service-probe unelevated COMMAND LINE
//                           runs COMMAND LINE with this process's token with the
//                           Administrators group made deny-only, as in the filtered
//                           token UAC gives an administrator's programs that run
//                           without elevation, and exits with its exit code
// Failures print "STEP: CODE" and exit 1; a bad command exits 64.

#include <windows.h>

#include <shellapi.h>

#include <string>

#include "win/handle.h"

namespace {

using korvan::win::UniqueServiceHandle;

void print(const std::string& line) {
    const std::string text = line + "\n";
    DWORD put = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &put,
              nullptr);
}

int failed(const std::string& step, DWORD error) {
    print(step + ": " + std::to_string(error));
    return 1;
}

std::wstring first_argument() {
    int count = 0;
    korvan::win::UniqueLocal arguments(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!arguments || count < 2) {
        return {};
    }
    const std::wstring first = static_cast<LPWSTR*>(arguments.get())[1];
    // "unelevated" takes a command line after it, the others nothing.
    if (first == L"unelevated") {
        return count > 2 ? first : std::wstring();
    }
    return count == 2 ? first : std::wstring();
}

// What follows " unelevated " in this process's command line, unchanged.
std::wstring command_after_verb() {
    const std::wstring line = GetCommandLineW();
    const std::wstring verb = L" unelevated ";
    const size_t at = line.find(verb);
    return at == std::wstring::npos ? std::wstring() : line.substr(at + verb.size());
}

int unelevated() {
    korvan::win::UniqueHandle process_token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                          process_token.put())) {
        const DWORD error = GetLastError();
        return failed("open process token", error);
    }
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
        const DWORD error = GetLastError();
        return failed("administrators SID", error);
    }
    SID_AND_ATTRIBUTES deny_only{administrators, 0};
    korvan::win::UniqueHandle filtered;
    if (!CreateRestrictedToken(process_token.get(), 0, 1, &deny_only, 0, nullptr, 0, nullptr,
                               filtered.put())) {
        const DWORD error = GetLastError();
        return failed("restricted token", error);
    }
    std::wstring command = command_after_verb();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessAsUserW(filtered.get(), nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                              nullptr, nullptr, &startup, &started)) {
        const DWORD error = GetLastError();
        return failed("start", error);
    }
    korvan::win::UniqueHandle process(started.hProcess);
    korvan::win::UniqueHandle thread(started.hThread);
    DWORD code = 1;
    WaitForSingleObject(process.get(), INFINITE);
    if (!GetExitCodeProcess(process.get(), &code)) {
        const DWORD error = GetLastError();
        return failed("exit code", error);
    }
    return static_cast<int>(code);
}

int hold(SC_HANDLE) {
    print("holding");
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
           got > 0) {
    }
    return 0;
}

int set_start_type(SC_HANDLE service, DWORD start_type) {
    if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, start_type, SERVICE_NO_CHANGE, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        const DWORD error = GetLastError();
        return failed("change config", error);
    }
    return 0;
}

}  // namespace

int main() {
    const std::wstring command = first_argument();
    if (command == L"unelevated") {
        return unelevated();
    }
    if (command != L"hold" && command != L"disable" && command != L"enable") {
        print("usage: service-probe hold|disable|enable|unelevated COMMAND LINE");
        return 64;
    }
    UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) {
        const DWORD error = GetLastError();
        return failed("open SCM", error);
    }
    const DWORD access = command == L"hold" ? SERVICE_QUERY_STATUS : SERVICE_CHANGE_CONFIG;
    UniqueServiceHandle service(OpenServiceW(scm.get(), L"korvan-vpn-service", access));
    if (!service) {
        const DWORD error = GetLastError();
        return failed("open service", error);
    }
    if (command == L"hold") {
        return hold(service.get());
    }
    return set_start_type(service.get(),
                          command == L"disable" ? SERVICE_DISABLED : SERVICE_AUTO_START);
}
