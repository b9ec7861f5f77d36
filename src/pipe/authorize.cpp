#include "pipe/authorize.h"

#include <string>
#include <utility>

#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::pipe {

namespace {

bool is_member(HANDLE token, WELL_KNOWN_SID_TYPE group) {
    alignas(SID) BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    if (!CreateWellKnownSid(group, nullptr, sid, &sid_size)) {
        return false;
    }
    BOOL member = FALSE;
    return CheckTokenMembership(token, sid, &member) && member;
}

// Runs while impersonating. The token is kept only for an admitted caller; it is no
// impersonation of its own, and it stays usable after the revert.
Admission check_thread_token(AdmissionDecision decide) {
    win::UniqueHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        const DWORD error = GetLastError();
        return Admission{win::winapi_failure(OPEN_THREAD_TOKEN_STEP, error), ERROR_SUCCESS, {}};
    }
    Result<void> verdict = decide(token.get());
    if (!verdict) {
        return Admission{std::move(verdict), ERROR_SUCCESS, {}};
    }
    return Admission{std::move(verdict), ERROR_SUCCESS, std::move(token)};
}

}  // namespace

Result<void> caller_admitted(HANDLE token) {
    if (is_member(token, WinBuiltinAdministratorsSid) || is_member(token, WinInteractiveSid)) {
        return {};
    }
    return Failure{std::string(CALLER_NOT_ADMITTED)};
}

DWORD impersonate_pipe_client(HANDLE pipe) {
    if (!ImpersonateNamedPipeClient(pipe)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

Admission authorize_client(HANDLE pipe, AdmissionDecision decide, Impersonation impersonate) {
    if (const DWORD error = impersonate(pipe); error != ERROR_SUCCESS) {
        return Admission{win::winapi_failure(IMPERSONATE_STEP, error), error, {}};
    }
    // Reverts on every way out, an allocation failure included: nothing after the
    // check may run as the client.
    struct Reversion {
        ~Reversion() { RevertToSelf(); }
    } reversion;
    return check_thread_token(decide);
}

}  // namespace korvan::pipe
