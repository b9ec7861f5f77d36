#pragma once

// What the Service Control Manager does when the service's process ends without
// reporting SERVICE_STOPPED: it starts the service again.

#include <windows.h>

#include <array>

#include "common/result.h"

namespace korvan::service {

// The delays before the first, the second and every later restart, in milliseconds.
inline constexpr std::array<DWORD, 3> RESTART_DELAYS_MS = {5'000, 10'000, 60'000};

// The SCM counts failures afresh after this long without one, in seconds: a day.
inline constexpr DWORD FAILURE_RESET_PERIOD_S = 24 * 60 * 60;

// ChangeServiceConfig2W, or a test's stand-in for it.
using ChangeServiceConfig2Call = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPVOID);

// Sets the failure actions of `service` through `change`: one restart after each delay
// of RESTART_DELAYS_MS, the SCM repeating the last for every later failure; no reboot
// message, no command. A stop the service reports itself, with any exit code, restarts
// nothing. `service` needs SERVICE_CHANGE_CONFIG and SERVICE_START.
// Errors: "ChangeServiceConfig2W: {}" (the Windows API form).
Result<void> set_restart_on_failure(SC_HANDLE service,
                                    ChangeServiceConfig2Call change = ChangeServiceConfig2W);

}  // namespace korvan::service
