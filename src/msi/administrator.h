#pragma once

// Whether the user a maintenance run of the package belongs to may run it: an
// administrator, seen in the token the run's immediate actions see. That token holds
// the Administrators group enabled when msiexec was started elevated or by LocalSystem;
// an administrator who started the run without elevation (from Settings, from Programs
// and Features, from a prompt that is not elevated) has UAC's limited token there, with
// the group deny-only, and the administrator's full token linked to it.

#include <windows.h>

#include <functional>
#include <string_view>

#include "common/result.h"

namespace korvan::msi {

// What a repair or a change of the installed package started by anyone but an
// administrator is told, before it changes anything.
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

// The token's TokenElevationType. Error: "GetTokenInformation(TokenElevationType): {}".
Result<TOKEN_ELEVATION_TYPE> token_elevation_type(HANDLE token);

// Whether the token has restricting SIDs (a restricted token, as CreateRestrictedToken
// makes one for a sandbox). Error: "GetTokenInformation(TokenRestrictedSids): {}".
Result<bool> token_restricted(HANDLE token);

// Whether Administrators is enabled in the token linked to `token` (TokenLinkedToken):
// for UAC's limited token, the full token of the same logon. A caller without
// SeTcbPrivilege, as an impersonated custom action is, gets the linked token at
// identification level, which is enough for CheckTokenMembership. Errors:
// "GetTokenInformation(TokenLinkedToken): {}" (for a token with no linked token, the
// system's error), "linked token: {administrators_enabled's error}".
Result<bool> linked_administrators_enabled(HANDLE token);

// What maintainer() reads of a token beyond its own groups: each reader is given a
// token with TOKEN_QUERY. The system's readers are the three functions above; a test
// may stand in for any of them (Wine filters no token, so none of its tokens is an
// administrator's limited one with Administrators deny-only).
struct ElevationReaders {
    std::function<Result<TOKEN_ELEVATION_TYPE>(HANDLE token)> elevation_type = token_elevation_type;
    std::function<Result<bool>(HANDLE token)> restricted = token_restricted;
    std::function<Result<bool>(HANDLE token)> linked_administrators_enabled =
        msi::linked_administrators_enabled;
};

// How the user behind a token may maintain the package.
enum class Maintainer {
    // Administrators is enabled in the token: an elevated administrator's run, or one of
    // LocalSystem's, as a deployment tool starts it.
    Administrator,
    // UAC's limited token of an administrator (TokenElevationTypeLimited), not
    // restricted, whose linked token has Administrators enabled: an administrator's run
    // started without elevation.
    LinkedAdministrator,
    // Anyone else: a standard user (one an administrator elevated over the shoulder
    // too: the run's token is still the user's), a token whose Administrators is
    // deny-only with no administrator's token linked to it, a restricted token.
    Refused,
};

// Decides for `token` (as administrators_enabled takes it; nullptr for the calling
// thread's own): Administrator when the group is enabled in it, else LinkedAdministrator
// when the readers find it limited, not restricted and linked to a token with the group
// enabled, else Refused. The readers are asked only as far as needed, in that order.
// Errors: administrators_enabled's, the readers', and for nullptr "OpenThreadToken: {}"
// or "OpenProcessToken: {}".
Result<Maintainer> maintainer(HANDLE token, const ElevationReaders& readers = {});

}  // namespace korvan::msi
