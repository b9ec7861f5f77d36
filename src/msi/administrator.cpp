#include "msi/administrator.h"

#include "win/error_text.h"

namespace korvan::msi {

Result<bool> administrators_enabled(HANDLE token) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("CreateWellKnownSid", error);
    }
    BOOL member = FALSE;
    if (!CheckTokenMembership(token, sid, &member)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("CheckTokenMembership", error);
    }
    return member != FALSE;
}

}  // namespace korvan::msi
