#include "client/server_identity.h"

#include <utility>

#include "win/error_text.h"

namespace korvan::client {

std::optional<KnownService> know_service(const ServiceQuery& query) {
    Result<ServiceState> service = query();
    if (!service || service->run_state != ServiceRunState::Running || service->process_id == 0) {
        return std::nullopt;
    }
    win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, service->process_id));
    if (!process) {
        return std::nullopt;
    }
    return KnownService{service.value(), std::move(process)};
}

Result<void> verify_pipe_server(HANDLE pipe, std::string_view hint, const ServiceQuery& query,
                                const std::optional<KnownService>& known) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) {
        const DWORD error = GetLastError();
        return prefixed("server check", win::winapi_failure("GetNamedPipeServerProcessId", error));
    }
    if (known && known->state.process_id == server &&
        WaitForSingleObject(known->process.get(), 0) == WAIT_TIMEOUT) {
        return {};
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
