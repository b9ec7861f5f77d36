#include "core/install_files.h"

#include <optional>
#include <utility>

#include "win/paths.h"

namespace korvan::core {

namespace {

// Reading, sharing read only. CreateProcessW's own open of the core's image asks for
// reading and executing and shares read and delete, so it is never refused by this
// handle; a writer, a deleter, a renamer and an open without read sharing all are.
DWORD hold(const std::wstring& folder, const wchar_t* name, win::UniqueHandle& held) {
    if (held) {
        return NO_ERROR;
    }
    const std::wstring path = win::join_path(folder, name);
    held.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held) {
        const DWORD error = GetLastError();
        return error;
    }
    return NO_ERROR;
}

}  // namespace

Result<std::wstring> exe_dir() {
    Result<std::wstring> path = win::current_exe();
    if (!path) {
        return prefixed(CURRENT_EXE_STEP, path.failure());
    }
    std::optional<std::wstring> parent = win::parent_path(path.value());
    if (!parent) {
        return Failure{std::string(EXE_HAS_NO_PARENT)};
    }
    return std::move(*parent);
}

InstallFiles open_install_files() {
    Result<std::wstring> folder = exe_dir();
    if (!folder) {
        return {};
    }
    return open_install_files(std::move(folder.value()));
}

InstallFiles open_install_files(std::wstring folder) {
    InstallFiles files{std::move(folder), {}, {}};
    hold_wintun_source(files);
    hold_core_exe(files);
    return files;
}

Result<void> find_install_folder(InstallFiles& files) {
    if (!files.folder.empty()) {
        return {};
    }
    Result<std::wstring> folder = exe_dir();
    if (!folder) {
        return folder.failure();
    }
    files.folder = std::move(folder.value());
    return {};
}

DWORD hold_wintun_source(InstallFiles& files) {
    return hold(files.folder, WINTUN_SOURCE_NAME, files.wintun_source);
}

DWORD hold_core_exe(InstallFiles& files) {
    return hold(files.folder, CORE_EXE_NAME, files.core_exe);
}

bool is_missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace korvan::core
