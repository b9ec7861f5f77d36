#pragma once

// A start's file work in the work folder: the folder made the service's own, the core's
// configuration written anew, and the WinTUN library copied from the install folder.
// Nothing is ever written into a file that was there, nor through a link: every file
// is new under its name.

#include <string>
#include <string_view>

#include "common/result.h"
#include "workdir/service_dir.h"

namespace korvan::workdir {

// The install folder's WinTUN library, the source of wintun.dll.
inline constexpr wchar_t WINTUN_SOURCE_NAME[] = L"wintun-x86_64.dll";

// Failures. A step name is followed by ": " and the system error, or by the path.
inline constexpr std::string_view CREATE_WORK_DIR_STEP = "create work dir";
inline constexpr std::string_view WRITE_CONFIG_STEP = "write config";
inline constexpr std::string_view WINTUN_SOURCE_MISSING_STEP = "wintun source missing";
inline constexpr std::string_view PROVISION_WINTUN_STEP = "provision wintun.dll";

// Makes {ProgramData}\KorvanVPN\service the service's own, open to SYSTEM and
// Administrators only (open_service_dir as the Service), with ProgramData taken as a
// start takes it (program_data_for_start). The levels moved aside on the way are in
// the result, for the caller to log. Errors: "ProgramData not set",
// "create work dir: {os error}".
Result<ServiceDir> prepare_work_dir();

// Deletes whatever is at config.yaml in `work` and creates a new file there holding
// `config_yaml` byte for byte; a new file takes the work folder's security, and a link
// left at the name is removed, never written through. Error: "write config: {os error}".
Result<void> write_config(const std::wstring& work, std::string_view config_yaml);

// Makes wintun.dll in `work` a copy of wintun-x86_64.dll in `install`. A wintun.dll
// that is a plain file of one name with exactly the source's bytes is kept; anything
// else is replaced by renaming a new copy over its name. A failure yields
// "wintun source missing: {source}" or "provision wintun.dll: {os error}"; a
// wintun.dll that a running process has loaded cannot be replaced.
Result<void> provision_wintun(const std::wstring& install, const std::wstring& work);

}  // namespace korvan::workdir
