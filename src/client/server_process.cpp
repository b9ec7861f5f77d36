#include "client/server_process.h"

#include "win/error_text.h"

namespace korvan::client {

Result<void> verify_pipe_server(HANDLE pipe, std::string_view hint, const ServiceQuery& query) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) {
        const DWORD error = GetLastError();
        return prefixed("server check", win::winapi_failure("GetNamedPipeServerProcessId", error));
    }
    Result<ServiceState> service = query();
    if (!service) {
        return prefixed("server check", service.failure());
    }
    if (Result<void> checked = check_server(server, service.value(), hint); !checked) {
        return prefixed("server check", checked.failure());
    }
    return {};
}

}  // namespace korvan::client
