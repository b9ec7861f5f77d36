#pragma once

// The install folder, the folder of the running executable, and its two files that a
// start uses, the WinTUN library and the core's executable, held open by the service
// for its life. While a file is held, nobody can open it for writing or deleting, rename
// it, or open it without sharing read: nobody can replace it, administrators included,
// and nobody can hold a start shut by opening it without sharing.

#include <windows.h>

#include <string>
#include <string_view>

#include "common/result.h"
#include "win/handle.h"

namespace korvan::core {

// The install folder's WinTUN library, the source of the work folder's wintun.dll.
inline constexpr wchar_t WINTUN_SOURCE_NAME[] = L"wintun-x86_64.dll";
// The core's executable.
inline constexpr wchar_t CORE_EXE_NAME[] = L"mihomo-x86_64-pc-windows-msvc.exe";

// Failures of exe_dir: the step is followed by ": " and the system error.
inline constexpr std::string_view CURRENT_EXE_STEP = "current_exe";
inline constexpr std::string_view EXE_HAS_NO_PARENT = "exe has no parent";

// The two files of `folder`, each open for reading and sharing read only, or no
// handle while it is not held. The record owns both handles; one owner, the
// Supervisor (supervisor.h), holds it for the service's life and serializes its use.
struct InstallFiles {
    // The install folder; empty while it is not known.
    std::wstring folder;
    win::UniqueHandle wintun_source;
    win::UniqueHandle core_exe;
};

// The folder of the running executable, or "current_exe: {os error}" or
// "exe has no parent".
Result<std::wstring> exe_dir();

// The install folder's files as the service holds them from its start: the folder of
// the running executable (exe_dir) and each of its two files that can be opened. When
// the folder cannot be found, nothing is held and each start tries again
// (find_install_folder). Never fails.
InstallFiles open_install_files();

// The record of `folder` with each of its two files that can be opened held. A file
// that cannot be opened (missing, or held by someone without read sharing) is left
// unheld, for a later hold_ call to try again; this never fails.
InstallFiles open_install_files(std::wstring folder);

// Sets files.folder to exe_dir unless it is known already, so that the folder is found
// once and kept. Error: exe_dir's.
Result<void> find_install_folder(InstallFiles& files);

// Holds wintun-x86_64.dll, or the core's executable, of files.folder unless it is held
// already. NO_ERROR when it is held on return; otherwise the system error of the open,
// and the file stays unheld.
DWORD hold_wintun_source(InstallFiles& files);
DWORD hold_core_exe(InstallFiles& files);

// Whether the error of a hold_ call says that the file is not there.
bool is_missing(DWORD error);

}  // namespace korvan::core
