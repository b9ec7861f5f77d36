#include "support/test_support.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "win/handle.h"
#include "win/utf.h"

namespace korvan::test_support {

TempDir::TempDir(std::wstring_view label) {
    static std::atomic<int> counter{0};
    std::array<wchar_t, MAX_PATH + 1> temp{};
    const DWORD length = GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
    // The tick count keeps a path from coming back in a later run of the same prefix,
    // where a folder recorded by the service at that path in that run could be met.
    path = std::wstring(temp.data(), length) + L"korvan " + std::wstring(label) + L" " +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) +
           L"-" + std::to_wstring(counter++);
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
}

TempDir::~TempDir() {
    // A process that has only just ended may still hold the folder for a moment.
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::error_code error;
        std::filesystem::remove_all(path, error);
        if (!error) {
            return;
        }
        Sleep(50);
    }
}

std::optional<std::wstring> read_env(const wchar_t* name) {
    std::wstring value(32767, L'\0');
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return std::nullopt;
    }
    value.resize(length);
    return value;
}

ScopedEnv::ScopedEnv(std::wstring name_, const std::optional<std::wstring>& value)
    : name(std::move(name_)), saved(read_env(name.c_str())) {
    SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr);
}

ScopedEnv::~ScopedEnv() {
    SetEnvironmentVariableW(name.c_str(), saved ? saved->c_str() : nullptr);
}

std::optional<std::string> read_file(const std::wstring& path) {
    win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return std::nullopt;
    }
    std::string content;
    std::array<char, 4096> chunk{};
    DWORD got = 0;
    while (ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) &&
           got > 0) {
        content.append(chunk.data(), got);
    }
    return content;
}

bool write_file(const std::wstring& path, std::string_view bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD put = 0;
    const bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
        put == bytes.size();
    CloseHandle(file);
    return ok;
}

std::optional<DWORD> exit_code_after(HANDLE process, DWORD timeout_ms) {
    if (WaitForSingleObject(process, timeout_ms) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
        return std::nullopt;
    }
    return code;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring module_dir() {
    std::array<wchar_t, 32768> path{};
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    const std::wstring full(path.data(), length);
    return full.substr(0, full.find_last_of(L'\\'));
}

std::string expected_message(DWORD code) {
    std::array<wchar_t, 4096> buffer{};
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
    while (length > 0 &&
           std::wstring_view(L" \t\r\n").find(buffer[length - 1]) != std::wstring_view::npos) {
        --length;
    }
    return win::narrow(std::wstring_view(buffer.data(), length));
}

std::string expected_os_text(DWORD code) {
    std::string message = expected_message(code);
    if (message.empty()) {
        // FormatMessageW fails with ERROR_MR_MID_NOT_FOUND for a code it has no text for.
        message = "OS Error " + std::to_string(code) + " (FormatMessageW() returned error 317)";
    }
    return message + " (os error " + std::to_string(code) + ")";
}

std::string expected_winapi_text(DWORD code) {
    char hresult[11];
    std::snprintf(hresult, sizeof hresult, "0x%08X", static_cast<unsigned>(0x80070000u | code));
    return expected_message(0x80070000u | code) + " (" + hresult + ")";
}

HANDLE own_identification_token() {
    HANDLE process_token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &process_token)) {
        return nullptr;
    }
    HANDLE token = nullptr;
    if (!DuplicateToken(process_token, SecurityIdentification, &token)) {
        token = nullptr;
    }
    CloseHandle(process_token);
    return token;
}

HANDLE primary_token_denying(const std::vector<WELL_KNOWN_SID_TYPE>& deny_only) {
    win::UniqueHandle process_token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                          process_token.put())) {
        return nullptr;
    }
    std::vector<std::array<BYTE, SECURITY_MAX_SID_SIZE>> sids(deny_only.size());
    std::vector<SID_AND_ATTRIBUTES> to_disable;
    size_t at = 0;
    for (WELL_KNOWN_SID_TYPE type : deny_only) {
        DWORD size = SECURITY_MAX_SID_SIZE;
        if (!CreateWellKnownSid(type, nullptr, sids[at].data(), &size)) {
            return nullptr;
        }
        to_disable.push_back({sids[at].data(), 0});
        ++at;
    }
    HANDLE restricted = nullptr;
    if (!CreateRestrictedToken(process_token.get(), 0, static_cast<DWORD>(to_disable.size()),
                               to_disable.data(), 0, nullptr, 0, nullptr, &restricted)) {
        return nullptr;
    }
    return restricted;
}

HANDLE impersonation_token_denying(const std::vector<WELL_KNOWN_SID_TYPE>& deny_only) {
    const win::UniqueHandle restricted(primary_token_denying(deny_only));
    if (!restricted) {
        return nullptr;
    }
    HANDLE token = nullptr;
    if (!DuplicateToken(restricted.get(), SecurityImpersonation, &token)) {
        return nullptr;
    }
    return token;
}

}  // namespace korvan::test_support
