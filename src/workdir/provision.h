#pragma once

// A start's file work in the work folder: the folder made the service's own, the core's
// configuration written anew, and the WinTUN library copied from the install folder.
// Nothing is ever written into a file that was there, nor through a link: every file
// is new under its name.

#include <windows.h>

#include <string>
#include <string_view>

#include "common/result.h"
#include "workdir/service_dir.h"

namespace korvan::workdir {

// Failures. A step name is followed by ": " and the system error, or by the path.
inline constexpr std::string_view CREATE_WORK_DIR_STEP = "create work dir";
inline constexpr std::string_view WRITE_CONFIG_STEP = "write config";
inline constexpr std::string_view PROVISION_WINTUN_STEP = "provision wintun.dll";

// Makes {ProgramData}\KorvanVPN\service the service's own, open to SYSTEM and
// Administrators only (open_service_dir as `role`: the Service, or the Installer, which
// makes missing levels and moves nothing), with ProgramData taken as a start takes it
// (program_data_for_start). The levels moved aside on the way are in the result, for
// the caller to log (moved_aside_line). Errors: "ProgramData not set", "create work dir: {os
// error}".
Result<ServiceDir> prepare_work_dir(Role role = Role::Service);

// Deletes whatever is at config.yaml in `work` and creates a new file there holding
// `config_yaml` byte for byte; a new file takes the work folder's security, and a link
// left at the name is removed, never written through. Error: "write config: {os error}".
Result<void> write_config(const std::wstring& work, std::string_view config_yaml);

// Renames the file `from` over `to`, replacing it. NO_ERROR, or the system error.
using RenameOver = DWORD (*)(const std::wstring& from, const std::wstring& to);

// MoveFileExW with MOVEFILE_REPLACE_EXISTING.
DWORD rename_over(const std::wstring& from, const std::wstring& to);

// A rename over wintun.dll refused with ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION
// (a core that is still exiting keeps it mapped, and NTFS refuses to replace a mapped
// image) is tried again every REPLACE_RETRY_INTERVAL_MS, at most REPLACE_RETRIES times:
// about five seconds. Any other error ends the tries at once.
inline constexpr DWORD REPLACE_RETRY_INTERVAL_MS = 100;
inline constexpr int REPLACE_RETRIES = 50;

// Makes wintun.dll in `work` a copy of the file behind `source`, the install folder's
// WinTUN library that the caller holds open for reading (core/install_files.h): its path
// is never opened here, and the handle's position is moved. A wintun.dll that is a plain
// file of one name with exactly the source's bytes is kept; anything else is replaced by
// writing a new copy as wintun.dll.new and renaming it over the name with `rename`,
// retried as above. A failure yields "provision wintun.dll: {os error}" (a source that
// cannot be read, a wintun.dll that a running process still has loaded after the
// retries, ...).
Result<void> provision_wintun(HANDLE source, const std::wstring& work,
                              RenameOver rename = rename_over);

}  // namespace korvan::workdir
