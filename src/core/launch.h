#pragma once

// Launching the core: the work folder with the core's configuration and the WinTUN
// library, then the core process, started from the install folder and bound to a
// kill-on-close job.

#include <windows.h>

#include <string>
#include <string_view>

#include "common/result.h"
#include "win/handle.h"
#include "workdir/install_files.h"

namespace korvan::core {

// Launch failures. A step name is followed by ": " and the system error, the inner
// step or the path; "mihomo not found at " is followed by the path. The work folder's
// own failures are in workdir/provision.h.
inline constexpr std::string_view CURRENT_EXE_STEP = "current_exe";
inline constexpr std::string_view EXE_HAS_NO_PARENT = "exe has no parent";
inline constexpr std::string_view CORE_NOT_FOUND_AT = "mihomo not found at ";
inline constexpr std::string_view SPAWN_CORE_STEP = "spawn mihomo";
inline constexpr std::string_view ATTACH_JOB_STEP = "attach job";
inline constexpr std::string_view CREATE_JOB_STEP = "CreateJobObjectW";
inline constexpr std::string_view SET_JOB_LIMITS_STEP = "SetInformationJobObject";
inline constexpr std::string_view ASSIGN_JOB_STEP = "AssignProcessToJobObject";

// A started core. Both are owned by the holder; closing `job` ends the core and every
// process it started.
struct LaunchedCore {
    win::UniqueProcess child;
    win::UniqueHandle job;
};

// The install folder's files as the service holds them from its start: the folder of
// the running executable (exe_dir) and each of its two files that can be opened
// (workdir::open_install_files). When the folder cannot be found, nothing is held and
// each start tries again. Never fails.
workdir::InstallFiles open_install_files();

// Prepares the work folder (workdir::prepare_work_dir; each level moved aside on the
// way is logged), writes config.yaml there (workdir::write_config), provisions
// wintun.dll from the install folder's held WinTUN library
// (workdir::provision_wintun), and starts the core from the install folder with
// "-d {work folder} -f {config.yaml}", no window, the null device as its standard
// streams and the work folder as its current folder, inside a new job. The core runs
// no code before it is in its job.
//
// `install` is the service's record of the install folder's files; the folder
// (exe_dir) and each file not held yet are found and opened here, and stay held in it.
// The core's executable is started by its path, which the held handle keeps from being
// replaced; the system's own open of the image is compatible with it. The core's
// executable missing yields "mihomo not found at {path}", and one that cannot be
// opened (held by someone without read sharing) "spawn mihomo: {os error}".
//
// The caller has stopped any earlier core and serializes launches. A failure yields
// the text of the first step that failed; a core already started by then is ended
// (waiting for it at most BOUNDED_WAIT_MS), and files written before it stay.
Result<LaunchedCore> start_core(workdir::InstallFiles& install, std::string_view config_yaml);

// start_core up to the last step: the core is in its job, its primary thread still
// suspended. The caller owns it; resuming the thread lets it run.
Result<LaunchedCore> start_core_suspended(workdir::InstallFiles& install,
                                          std::string_view config_yaml);

// Lets a core from start_core_suspended run. A failure ends it (waiting for it at most
// BOUNDED_WAIT_MS) and yields "spawn mihomo: {os error}"; the caller still owns it.
Result<void> resume_core(const LaunchedCore& core);

// Creates the core process, suspended, with the command line, standard streams, folder
// and flags of start_core. It inherits the three null-device handles of its standard
// streams and no other handle. Error: "spawn mihomo: {os error}".
Result<win::UniqueProcess> spawn_core(const std::wstring& core, const std::wstring& work,
                                      const std::wstring& config);

// The folder of the running executable, or "current_exe: {os error}" or
// "exe has no parent".
Result<std::wstring> exe_dir();

// A new unnamed job with the kill-on-close limit and `process` assigned to it. The
// caller owns the returned handle. A failure yields "{call}: {Windows API error}"
// and leaves `process` as it was.
Result<win::UniqueHandle> attach_job(HANDLE process);

}  // namespace korvan::core
