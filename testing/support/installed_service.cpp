#include "support/installed_service.h"

namespace korvan::test_support {

namespace {

constexpr wchar_t SERVICE_NAME[] = L"korvan-vpn-service";

}  // namespace

win::UniqueServiceHandle open_installed_service(DWORD access) {
    win::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) {
        return {};
    }
    return win::UniqueServiceHandle(OpenServiceW(scm.get(), SERVICE_NAME, access));
}

std::optional<SERVICE_STATUS_PROCESS> query_service() {
    win::UniqueServiceHandle service = open_installed_service(SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        return std::nullopt;
    }
    return status;
}

std::vector<BYTE> service_config(SC_HANDLE service) {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed)) {
        return {};
    }
    return buffer;
}

bool remove_installed_service(DWORD timeout_ms) {
    win::UniqueServiceHandle service =
        open_installed_service(SERVICE_STOP | DELETE | SERVICE_QUERY_STATUS);
    if (service) {
        SERVICE_STATUS ignored{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
        DeleteService(service.get());
        service.reset();
    }
    return wait_for_service_state(0, timeout_ms);
}

bool wait_for_service_state(DWORD state, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        const std::optional<SERVICE_STATUS_PROCESS> status = query_service();
        if (state == 0 ? !status : status && status->dwCurrentState == state) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(10);
    }
}

}  // namespace korvan::test_support
