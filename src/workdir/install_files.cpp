#include "workdir/install_files.h"

#include <utility>

#include "win/paths.h"

namespace korvan::workdir {

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

InstallFiles open_install_files(std::wstring folder) {
    InstallFiles files{std::move(folder), {}, {}};
    hold_wintun_source(files);
    hold_core_exe(files);
    return files;
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

}  // namespace korvan::workdir
