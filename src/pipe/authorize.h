#pragma once

// Who may talk to the service: a caller whose token is a member of the local
// Administrators group or, failing that, of the INTERACTIVE group.

#include <windows.h>

#include <string_view>

#include "common/result.h"

namespace korvan::pipe {

inline constexpr std::string_view CALLER_NOT_ADMITTED = "caller not administrator/interactive";
inline constexpr std::string_view IMPERSONATE_STEP = "impersonate";
inline constexpr std::string_view OPEN_THREAD_TOKEN_STEP = "OpenThreadToken";

// Impersonates the client of the connected `pipe` on the calling thread, opens the
// thread's token as self with TOKEN_QUERY, decides with caller_admitted, closes the
// token and reverts. Impersonation has ended when it returns, on every path.
// Errors: "impersonate: {}", "OpenThreadToken: {}" (Windows API form), and
// "caller not administrator/interactive".
Result<void> authorize_client(HANDLE pipe);

// The membership decision on an impersonation token opened with TOKEN_QUERY:
// Administrators first, then INTERACTIVE. A test that fails counts as "not a member".
// Error: "caller not administrator/interactive".
Result<void> caller_admitted(HANDLE token);

}  // namespace korvan::pipe
