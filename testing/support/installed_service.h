#pragma once

// The installed korvan-vpn-service as the Service Control Manager shows it, looked at
// with plain SCM calls.

#include <windows.h>

#include <optional>
#include <vector>

#include "win/handle.h"

namespace korvan::test_support {

// The service opened with `access`; an invalid handle when it is not installed or
// cannot be opened so.
win::UniqueServiceHandle open_installed_service(DWORD access);

// Its status and process id; nullopt when it is not installed.
std::optional<SERVICE_STATUS_PROCESS> query_service();

// The QUERY_SERVICE_CONFIGW of `service` and the strings it points at, or nothing, with
// the error in GetLastError().
std::vector<BYTE> service_config(SC_HANDLE service);

// Asks the installed service to stop, deletes its registration, and waits at most
// `timeout_ms` for it to be gone. Whether it is gone (or was never there).
bool remove_installed_service(DWORD timeout_ms);

// Polls every 10 ms until the service reports `state`, or is gone when `state` is 0;
// false when `timeout_ms` passes first.
bool wait_for_service_state(DWORD state, DWORD timeout_ms);

}  // namespace korvan::test_support
