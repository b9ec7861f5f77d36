#pragma once

// The machine's policy for who may start and stop the core. Without it every admitted
// caller may; with it, only members of one group (or account) that an administrator
// names by its SID. Ping and status never consult it.
//
// The value StartAllowedFor (REG_SZ, one SID in string form) is read from
// HKLM\SOFTWARE\Policies\KorvanVPN\Service, where Group Policy writes it, and only when
// it is absent there from HKLM\SOFTWARE\KorvanVPN\Service, where the MSI writes it. A
// value that is present and empty means "no restriction" and hides the one below it.
// Both are read anew for every start and stop, so a change applies to the next one.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace korvan::pipe {

// The beginning of every refusal's message and of the log line for a faulty value.
inline constexpr std::string_view POLICY_PREFIX = "StartAllowedFor policy: ";
// "StartAllowedFor policy: start and stop are for members of {SID} only"
inline constexpr std::string_view MEMBERS_ONLY = "start and stop are for members of ";
inline constexpr std::string_view MEMBERS_ONLY_END = " only";
// "StartAllowedFor policy: not a SID: "{value}""
inline constexpr std::string_view NOT_A_SID = "not a SID: ";
// "StartAllowedFor policy: not a string value (type {registry type})"
inline constexpr std::string_view NOT_A_STRING = "not a string value (type ";

// Where the policy is read: the two keys under HKEY_LOCAL_MACHINE, in the order they
// are tried. Tests name keys of their own.
struct PolicyKeys {
    const wchar_t* policy;
    const wchar_t* product;
};
PolicyKeys machine_policy_keys();

// What the two keys hold: absent (no restriction), a text (empty: no restriction), or
// a value of another registry type.
struct PolicyValue {
    enum class Kind { Absent, Text, OtherType };
    Kind kind = Kind::Absent;
    std::wstring text;
    DWORD type = REG_NONE;
};
PolicyValue read_policy(const PolicyKeys& keys);

// The message for a value that is no policy at all: of another type, or a text that
// is not empty and no SID ("S-1-..."). Absent for every other value.
std::optional<std::string> policy_fault(const PolicyValue& value);

// Whether the caller whose token is `token` (an impersonation token opened with
// TOKEN_QUERY) may start and stop the core under `value`. The error is the refusal's
// message: it names the policy and the SID, or the fault of a value that is no SID, and
// never the caller. A faulty value refuses everyone.
Result<void> policy_allows(const PolicyValue& value, HANDLE token);

// policy_allows on what read_policy finds under `keys`. A faulty value is also logged,
// once for each value it changes to.
Result<void> may_start_and_stop(HANDLE token, const PolicyKeys& keys = machine_policy_keys());

}  // namespace korvan::pipe
