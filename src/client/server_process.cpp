#include "client/server_process.h"

#include "common/names.h"
#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::client {

Result<ServiceProcess> query_service_process() {
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
            return ServiceProcess{};
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
    return ServiceProcess{true, status.dwProcessId};
}

Result<void> verify_pipe_server(HANDLE pipe, std::string_view hint) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) {
        const DWORD error = GetLastError();
        return prefixed("server check", win::winapi_failure("GetNamedPipeServerProcessId", error));
    }
    Result<ServiceProcess> service = query_service_process();
    if (!service) {
        return prefixed("server check", service.failure());
    }
    if (Result<void> checked = check_server(server, service.value(), hint); !checked) {
        return prefixed("server check", checked.failure());
    }
    return {};
}

}  // namespace korvan::client
