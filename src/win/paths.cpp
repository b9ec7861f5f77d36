#include "win/paths.h"

#include <windows.h>

#include "win/error_text.h"

namespace korvan::win {

namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool is_directory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

DWORD create_directory(const std::wstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    return error;
}

}  // namespace

std::optional<std::wstring> env_var(const wchar_t* name) {
    std::wstring value(256, L'\0');
    for (;;) {
        // A variable set to "" also returns 0; only the error code tells it from an
        // unset one, so the stale code of an earlier call must not be seen here.
        SetLastError(ERROR_SUCCESS);
        const DWORD length =
            GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        const DWORD error = GetLastError();
        if (length == 0) {
            if (error != ERROR_SUCCESS) {
                return std::nullopt;
            }
            return std::wstring();
        }
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        // Too small: `length` is the size needed, terminator included.
        value.resize(length);
    }
}

std::wstring join_path(std::wstring_view base, std::wstring_view part) {
    std::wstring joined(base);
    if (!joined.empty() && !is_separator(joined.back())) {
        joined += L'\\';
    }
    joined.append(part);
    return joined;
}

std::optional<std::wstring> parent_path(std::wstring_view path) {
    while (!path.empty() && is_separator(path.back())) {
        path.remove_suffix(1);
    }
    const size_t last = path.find_last_of(L"\\/");
    if (last == std::wstring_view::npos) {
        return std::nullopt;
    }
    std::wstring_view parent = path.substr(0, last);
    while (!parent.empty() && is_separator(parent.back())) {
        parent.remove_suffix(1);
    }
    if (parent.empty() || parent.back() == L':') {
        return std::wstring(path.substr(0, parent.size() + 1));
    }
    return std::wstring(parent);
}

Result<void> create_dir_all(const std::wstring& path) {
    DWORD error = create_directory(path);
    if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) {
        if (const std::optional<std::wstring> parent = parent_path(path)) {
            if (Result<void> made = create_dir_all(*parent); !made) {
                return made;
            }
            error = create_directory(path);
        }
    }
    // ERROR_ALREADY_EXISTS is also the answer for a file of that name, and a root
    // answers ERROR_ACCESS_DENIED on Windows, so only a look at the path tells.
    if (error == ERROR_SUCCESS || is_directory(path)) {
        return {};
    }
    return os_failure(error);
}

Result<std::wstring> current_exe() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        const DWORD error = GetLastError();
        if (length == 0) {
            return os_failure(error);
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        // A path that fills the buffer was cut short.
        path.resize(path.size() * 2);
    }
}

}  // namespace korvan::win
