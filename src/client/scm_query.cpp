#include "client/scm_query.h"

#include <windows.h>

#include "common/names.h"
#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::client {

Result<ServiceState> query_service() {
    win::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const DWORD manager_error = GetLastError();
    if (!manager) {
        return win::winapi_failure("OpenSCManagerW", manager_error);
    }
    win::UniqueServiceHandle service(
        OpenServiceW(manager.get(), names::SERVICE_NAME, SERVICE_QUERY_STATUS));
    const DWORD service_error = GetLastError();
    if (!service) {
        if (service_error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return ServiceState{};
        }
        return win::winapi_failure("OpenServiceW", service_error);
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("QueryServiceStatusEx", error);
    }
    return ServiceState{true, static_cast<ServiceRunState>(status.dwCurrentState),
                        status.dwProcessId};
}

}  // namespace korvan::client
