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

// The membership decision on an impersonation token opened with TOKEN_QUERY:
// Administrators first, then INTERACTIVE. A test that fails counts as "not a member".
// Error: "caller not administrator/interactive".
Result<void> caller_admitted(HANDLE token);

// A membership decision on a token, such as caller_admitted.
using AdmissionDecision = Result<void> (*)(HANDLE token);

// Impersonates the client of the connected `pipe` on the calling thread, opens the
// thread's token as self with TOKEN_QUERY, decides with `decide`, closes the token and
// reverts. Impersonation has ended when it returns, on every path, whatever the
// verdict. Errors: "impersonate: {}", "OpenThreadToken: {}" (Windows API form), and
// the decision's own ("caller not administrator/interactive" for caller_admitted).
Result<void> authorize_client(HANDLE pipe, AdmissionDecision decide = caller_admitted);

}  // namespace korvan::pipe
