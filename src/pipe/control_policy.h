#pragma once

// The machine's policy for who may start and stop the core. Without it every admitted
// caller may; with it, only members of one group (or account) that an administrator
// names by its SID. Ping and status never consult it.
//
// The value StartAllowedFor (REG_SZ, one SID in string form) is read from
// HKLM\SOFTWARE\Policies\KorvanVPN\Service, where Group Policy writes it, and only when
// it is absent there from HKLM\SOFTWARE\KorvanVPN\Service, where the MSI writes it. A
// value that is present and empty means "no restriction" and hides the one below it.
// The service does not read them for each start and stop: a watch (policy_watch.h)
// reads them at the service's start and again whenever either may have changed, under
// Group Policy's lock, and each start and stop is decided on the last value it read.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace korvan::pipe {

// The beginning of every refusal's message and of every log line about the policy.
inline constexpr std::string_view POLICY_PREFIX = "StartAllowedFor policy: ";
// "StartAllowedFor policy: start and stop are for members of {SID} only"
inline constexpr std::string_view MEMBERS_ONLY = "start and stop are for members of ";
inline constexpr std::string_view MEMBERS_ONLY_END = " only";
// "StartAllowedFor policy: not a SID: "{value}""
inline constexpr std::string_view NOT_A_SID = "not a SID: ";
// "StartAllowedFor policy: not a string value (type {registry type})"
inline constexpr std::string_view NOT_A_STRING = "not a string value (type ";
// "StartAllowedFor policy: cannot read HKLM\{key}: RegGetValueW: {Windows API error}":
// the value under a key could not be read for another reason than its absence; the
// keys below it are not consulted.
inline constexpr std::string_view CANNOT_READ = "cannot read HKLM\\";
inline constexpr std::string_view READ_VALUE_STEP = "RegGetValueW";
// "StartAllowedFor policy: not read yet": the service has not finished its first read
// of the policy within FIRST_READ_WAIT_MS (policy_watch.h) of the request.
inline constexpr std::string_view NOT_READ_YET = "not read yet";

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
// The value of the first key that has one. Error: the first that cannot be read,
// "StartAllowedFor policy: cannot read ...", carrying the registry's code.
Result<PolicyValue> read_policy(const PolicyKeys& keys);

// The message for a value that is no policy at all: of another type, or a text that
// is not empty and no SID ("S-1-..."). Absent for every other value.
std::optional<std::string> policy_fault(const PolicyValue& value);

// Whether the caller whose token is `token` (an impersonation token opened with
// TOKEN_QUERY) may start and stop the core under `value`. The error is the refusal's
// message: it names the policy and the SID, or the fault of a value that is no SID, and
// never the caller. A faulty value refuses everyone.
Result<void> policy_allows(const PolicyValue& value, HANDLE token);

class PolicyWatch;
// The service's own watch of the machine's keys (policy_watch.h).
PolicyWatch& machine_policy_watch();

// Whose last reading decides a start or stop: the watch named, or the machine's own
// when none is. Tests name their own.
struct PolicySource {
    PolicyWatch* watch = nullptr;
};

// policy_allows on the last value the source's watch read. Until its first read has
// ended, waits for it at most FIRST_READ_WAIT_MS and is then refused with NOT_READ_YET;
// while its last read failed, is refused with that failure's message. Never takes
// Group Policy's lock, and never waits for a read after the first.
Result<void> may_start_and_stop(HANDLE token, const PolicySource& source = {});

}  // namespace korvan::pipe
