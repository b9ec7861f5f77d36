#pragma once

// The texts of system errors. Each form has exactly one formatter; call sites pass
// the code they read from GetLastError() right after the failing call.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"

namespace korvan::win {

// The short text every failed SCM call shows on the console.
inline constexpr std::string_view SCM_ERROR_TEXT = "IO error in winapi call";

// The system's message for a Win32 code or an HRESULT, with trailing blanks, tabs
// and line breaks removed; empty when the system has none.
std::string system_message(std::uint32_t code);

// HRESULT_FROM_WIN32: codes above 0 become 0x8007xxxx; 0 and HRESULTs pass unchanged.
std::uint32_t hresult_from_win32(DWORD code);

// Direct Windows API calls: "Access is denied. (0x80070005)", or "0x80070005" alone
// when the system has no message for the code.
std::string winapi_error_text(DWORD code);

// File, folder and process operations: "Access is denied. (os error 5)".
std::string os_error_text(DWORD code);

// The file-and-process form of a write that accepted no bytes.
inline constexpr std::string_view WRITE_ZERO_TEXT = "failed to write whole buffer";

// SCM errors in the service log: Winapi(Os { code: 5, kind: PermissionDenied,
// message: "Access is denied." })
std::string scm_diagnostic_text(DWORD code);

// The category word of the diagnostic form: PermissionDenied, NotFound, ...,
// Uncategorized for codes outside the small table of common ones.
std::string_view error_kind(DWORD code);

// "step: <winapi text>" and "step: <os text>", carrying `code`.
Failure winapi_failure(std::string_view step, DWORD code);
Failure os_failure(std::string_view step, DWORD code);

// "<winapi text>" and "<os text>" alone, carrying `code`, for a caller that names the
// step itself.
Failure winapi_failure(DWORD code);
Failure os_failure(DWORD code);

// "step: IO error in winapi call", the console's form of a failed SCM call, carrying
// `code` although its text does not show it.
Failure scm_failure(std::string_view step, DWORD code);

// The diagnostic form alone (scm_diagnostic_text), carrying `code`.
Failure scm_diagnostic_failure(DWORD code);

}  // namespace korvan::win
