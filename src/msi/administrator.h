#pragma once

// Whether the user a maintenance run of the package belongs to may run it: a member of
// the Administrators group, enabled in the token the run's immediate actions see.

#include <windows.h>

#include <string_view>

#include "common/result.h"

namespace korvan::msi {

// What a repair or a change of the installed package started without an enabled
// Administrators group is told, before it changes anything.
inline constexpr std::string_view NOT_ADMINISTRATOR_TEXT =
    "KorvanVPN can be repaired or changed only by an administrator. Run msiexec from an "
    "elevated prompt (Run as administrator); KorvanVPN has changed nothing.";

// True when BUILTIN\Administrators is in `token` and enabled. False when it is missing
// or deny-only, as in the filtered token UAC gives an administrator's programs that run
// without elevation. `token` is an impersonation token with TOKEN_QUERY, or nullptr for
// the calling thread's own: its impersonation token, else its process's token.
// Errors: "CreateWellKnownSid: {}", "CheckTokenMembership: {}", each with the Windows
// API text of the failed call (a primary token given here fails with
// ERROR_NO_IMPERSONATION_TOKEN).
Result<bool> administrators_enabled(HANDLE token);

}  // namespace korvan::msi
