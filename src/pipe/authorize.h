#pragma once

// Who may talk to the service: a caller whose token is a member of the local
// Administrators group or, failing that, of the INTERACTIVE group.

#include <windows.h>

#include <string_view>

#include "common/result.h"
#include "win/handle.h"

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

// Makes the calling thread impersonate the client of the connected `pipe`; returns
// ERROR_SUCCESS or the Win32 error.
using Impersonation = DWORD (*)(HANDLE pipe);

// ImpersonateNamedPipeClient. Windows impersonates the context of the last message
// read from the pipe: a client with dynamic context tracking (such as one that opened
// the pipe without SECURITY_SQOS_PRESENT) cannot be impersonated before something it
// wrote has been read, and the call fails with ERROR_CANNOT_IMPERSONATE.
DWORD impersonate_pipe_client(HANDLE pipe);

// What authorize_client found.
struct Admission {
    // Admitted, or the failure's text (see authorize_client).
    Result<void> verdict;
    // The impersonation's Win32 error when the check stopped there, else ERROR_SUCCESS.
    DWORD impersonation_error = ERROR_SUCCESS;
    // An admitted caller's token (TOKEN_QUERY), for decisions later in the same exchange;
    // none otherwise.
    win::UniqueHandle token;
};

// Impersonates the client of the connected `pipe` on the calling thread with
// `impersonate`, opens the thread's token as self with TOKEN_QUERY, decides with
// `decide`, and reverts; an admitted caller's token comes back in the result, any other
// is closed. Impersonation has ended when it returns, on every path, whatever the
// verdict. Reads nothing from the pipe. Errors:
// "impersonate: {}", "OpenThreadToken: {}" (Windows API form), and the decision's own
// ("caller not administrator/interactive" for caller_admitted).
Admission authorize_client(HANDLE pipe, AdmissionDecision decide = caller_admitted,
                           Impersonation impersonate = impersonate_pipe_client);

}  // namespace korvan::pipe
