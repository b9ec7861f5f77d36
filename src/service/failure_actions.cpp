#include "service/failure_actions.h"

#include "win/error_text.h"

namespace korvan::service {

Result<void> set_restart_on_failure(SC_HANDLE service, ChangeServiceConfig2Call change) {
    std::array<SC_ACTION, RESTART_DELAYS_MS.size()> actions{};
    for (size_t i = 0; i < actions.size(); ++i) {
        actions[i] = SC_ACTION{SC_ACTION_RESTART, RESTART_DELAYS_MS[i]};
    }
    // A null reboot message or command leaves it as it is: none on a new service.
    SERVICE_FAILURE_ACTIONSW failure_actions{FAILURE_RESET_PERIOD_S, nullptr, nullptr,
                                             static_cast<DWORD>(actions.size()), actions.data()};
    if (!change(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure_actions)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("ChangeServiceConfig2W", error);
    }
    return {};
}

}  // namespace korvan::service
