#pragma once

// Helpers for tests that use the real file system, environment and processes.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvan::test_support {

// A new empty folder under the temp folder; its name holds a space so that paths built
// on it need quoting. Removed with everything in it at the end of the scope.
struct TempDir {
    explicit TempDir(std::wstring_view label);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::wstring path;
};

// Sets an environment variable of this process for a scope (nullopt unsets it) and puts
// back what was there before: the old value, or no variable.
struct ScopedEnv {
    ScopedEnv(std::wstring name, const std::optional<std::wstring>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    std::wstring name;
    std::optional<std::wstring> saved;
};

// The value of an environment variable, read here without the code under test.
std::optional<std::wstring> read_env(const wchar_t* name);

// The whole content of a file, or nullopt when it cannot be opened.
std::optional<std::string> read_file(const std::wstring& path);
// Creates or replaces a file with `bytes`; false on any failure.
bool write_file(const std::wstring& path, std::string_view bytes);
bool exists(const std::wstring& path);

// The exit code of `process` once it has ended within `timeout_ms`; nullopt when it
// has not, or its exit code cannot be read.
std::optional<DWORD> exit_code_after(HANDLE process, DWORD timeout_ms);

// An identification-level impersonation token of this process (TOKEN_QUERY), as the
// caller check holds one of an admitted client; invalid on failure.
HANDLE own_identification_token();

// This process's token with the `deny_only` groups made deny-only, as UAC's filtered
// token of an administrator holds Administrators: a primary token, with which this
// process may start another (CreateProcessAsUserW); invalid on failure.
HANDLE primary_token_denying(const std::vector<WELL_KNOWN_SID_TYPE>& deny_only);

// The same as an impersonation token (SecurityImpersonation) that can be queried and
// worn by a thread; invalid on failure.
HANDLE impersonation_token_denying(const std::vector<WELL_KNOWN_SID_TYPE>& deny_only);

// The folder of this test executable, found without the code under test.
std::wstring module_dir();

// Whether this process runs under Wine: its ntdll exports wine_get_version, which
// Windows' does not.
bool running_under_wine();

// The system's texts for a code, made here from FormatMessageW:
// the message with trailing blanks and line breaks removed ("" when there is none),
// "{message} (os error {code})" (with the stand-in text for a code without a message),
// and "{message} (0x8007XXXX)".
std::string expected_message(DWORD code);
std::string expected_os_text(DWORD code);
std::string expected_winapi_text(DWORD code);

}  // namespace korvan::test_support
