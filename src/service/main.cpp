// korvan-vpn-service.exe: "install", "uninstall", or, for anything else, the service
// itself under the service control dispatcher.

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <string_view>

#include "log/service_log.h"
#include "service/identity.h"
#include "service/install.h"
#include "service/runtime.h"
#include "win/error_text.h"
#include "win/handle.h"

namespace {

using namespace korvan;

// The bytes as they are: the C runtime's text mode would end the line with CR LF.
void print_line(DWORD stream, std::string line) {
    line += '\n';
    DWORD put = 0;
    WriteFile(GetStdHandle(stream), line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
}

int report(const Result<void>& done, std::string_view success, std::string_view failure_prefix) {
    if (!done) {
        print_line(STD_ERROR_HANDLE, std::string(failure_prefix) + done.error());
        return 1;
    }
    print_line(STD_OUTPUT_HANDLE, std::string(success));
    return 0;
}

// The first argument after the program name, split by the Windows rules; empty when
// there is none.
std::wstring first_argument() {
    int count = 0;
    win::UniqueLocal arguments(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!arguments || count < 2) {
        return {};
    }
    return static_cast<LPWSTR*>(arguments.get())[1];
}

}  // namespace

int main() {
    const std::wstring command = first_argument();
    if (command == L"install") {
        return report(service::install_service(), service::INSTALLED_LINE,
                      service::INSTALL_FAILED_PREFIX);
    }
    if (command == L"uninstall") {
        return report(service::uninstall_service(), service::UNINSTALLED_LINE,
                      service::UNINSTALL_FAILED_PREFIX);
    }
    std::wstring name = service::SERVICE_NAME;
    const SERVICE_TABLE_ENTRYW table[] = {{name.data(), service::service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD error = GetLastError();
        log::write_log_as_guest("dispatcher failed: " + win::scm_diagnostic_text(error));
        return 1;
    }
    // The service has reported SERVICE_STOPPED. After a shutdown's report its thread may
    // still be ending a request (service::control_handler): ExitProcess ends the other
    // threads before anything of the process is torn down, where returning would run the
    // C runtime's exit beside them.
    ExitProcess(0);
}
