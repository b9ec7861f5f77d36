#include "msi/service_state.h"

#include <windows.h>

#include <vector>

#include "common/names.h"
#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::msi {

Result<bool> service_to_restart() {
    win::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) {
        const DWORD error = GetLastError();
        return win::winapi_failure("open SCM", error);
    }
    win::UniqueServiceHandle service(
        OpenServiceW(scm.get(), names::SERVICE_NAME, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return false;
        }
        return win::winapi_failure("open service", error);
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("query status", error);
    }
    if (status.dwCurrentState == SERVICE_STOPPED || status.dwCurrentState == SERVICE_STOP_PENDING) {
        return false;
    }
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> config(needed);
    if (!QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                             needed, &needed)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("query config", error);
    }
    return reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data())->dwStartType !=
           SERVICE_DISABLED;
}

}  // namespace korvan::msi
