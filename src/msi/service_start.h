#pragma once

// Starting the registered service again once a repair or an upgrade has replaced its
// files.

#include <windows.h>

#include <string_view>

#include "common/result.h"

namespace korvan::msi {

// The warning of a repair or an upgrade whose start of the service failed, around the
// failure's text: "{prefix}{error}{suffix}".
inline constexpr std::string_view NOT_STARTED_PREFIX =
    "The service korvan-vpn-service did not start: ";
inline constexpr std::string_view NOT_STARTED_SUFFIX =
    ". KorvanVPN is installed; start the service with \"net start korvan-vpn-service\" once "
    "the cause is removed.";

// Starts the service and waits until it reports SERVICE_RUNNING, polling its status for
// at most `timeout_ms` once StartServiceW has returned. A service that already runs
// counts as started.
// Errors: "open SCM: {}", "open service: {}", "start service: {}", "query status: {}",
// each with the Windows API text of the failed call; "stopped while starting: exit code
// {N}" (the service's Win32 exit code); "not running after {N} ms: state {S}" (the last
// state it reported, as the SERVICE_* number).
Result<void> start_service(DWORD timeout_ms);

}  // namespace korvan::msi
