#pragma once

// The machine's policy for who may start and stop the core. Without it every admitted
// caller may; with it, only members of one group (or account) that an administrator
// names by its SID. Ping and status never consult it.
//
// The value StartAllowedFor (REG_SZ, one SID in string form) is read from
// HKLM\SOFTWARE\Policies\KorvanVPN\Service, where Group Policy writes it, and only when
// it is absent there from HKLM\SOFTWARE\KorvanVPN\Service, where the MSI writes it. A
// value that is present and empty means "no restriction" and hides the one below it.
// Both are read anew for every start and stop, so a change applies to the next one, and
// only while Group Policy's lock is held (policy_section.h).

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "pipe/policy_section.h"

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
// "StartAllowedFor policy: Group Policy is being applied; try again": Group Policy's
// lock was not had within POLICY_SECTION_WAIT_MS.
inline constexpr std::string_view POLICY_BEING_APPLIED = "Group Policy is being applied; try again";
// The log line when Group Policy's lock cannot be entered at all and the policy is read
// without it: "StartAllowedFor policy: read without Group Policy's lock:
// EnterCriticalPolicySection: {Windows API error}".
inline constexpr std::string_view READ_WITHOUT_LOCK = "read without Group Policy's lock";
inline constexpr std::string_view ENTER_SECTION_STEP = "EnterCriticalPolicySection";

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

// Where the policy is read, and the lock it is read under. Tests name their own.
struct PolicySource {
    PolicyKeys keys = machine_policy_keys();
    PolicySection* section = &machine_policy_section();
};

// policy_allows on what read_policy finds under the source's keys, read while its lock
// is held. A faulty value is also logged, once for each value it changes to. When the
// lock is not had within its bound, the caller is refused with POLICY_BEING_APPLIED and
// nothing is read; when it cannot be entered at all, the keys are read without it, and
// READ_WITHOUT_LOCK is logged when that failure is news (PolicySection::Hold).
Result<void> may_start_and_stop(HANDLE token, const PolicySource& source = {});

}  // namespace korvan::pipe
