#include "msi/service_start.h"

#include <string>

#include "common/names.h"
#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::msi {

Result<void> start_service(DWORD timeout_ms) {
    win::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) {
        const DWORD error = GetLastError();
        return win::winapi_failure("open SCM", error);
    }
    win::UniqueServiceHandle service(
        OpenServiceW(scm.get(), names::SERVICE_NAME, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        return win::winapi_failure("open service", error);
    }
    if (!StartServiceW(service.get(), 0, nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) {
            return win::winapi_failure("start service", error);
        }
    }
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service.get(), &status)) {
            const DWORD error = GetLastError();
            return win::winapi_failure("query status", error);
        }
        if (status.dwCurrentState == SERVICE_RUNNING) {
            return {};
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            return Failure{"stopped while starting: exit code " +
                           std::to_string(status.dwWin32ExitCode)};
        }
        if (GetTickCount64() >= deadline) {
            return Failure{"not running after " + std::to_string(timeout_ms) + " ms: state " +
                           std::to_string(status.dwCurrentState)};
        }
        Sleep(100);
    }
}

}  // namespace korvan::msi
