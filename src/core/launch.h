#pragma once

// Launching the core: the work folder with the core's configuration and the WinTUN
// library, then the core process, started from the install folder and bound to a
// kill-on-close job.

#include <windows.h>

#include <string>
#include <string_view>

#include "common/result.h"
#include "core/install_files.h"
#include "win/handle.h"

namespace korvan::core {

// Launch failures. A step name is followed by ": " and the system error, the inner
// step or the path; "mihomo not found at " is followed by the path. The work folder's
// own failures are in workdir/provision.h, the install folder's in install_files.h.
inline constexpr std::string_view WINTUN_SOURCE_MISSING_STEP = "wintun source missing";
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

// Makes the work folder the service's own as a start does (workdir::prepare_work_dir
// as the Service) and logs each level moved aside on the way, one line each
// (workdir::moved_aside_line). The service's own start calls it before it serves
// anyone, and so does every launch. Its path, or prepare_work_dir's failure.
Result<std::wstring> prepare_work_folder();

// Prepares the work folder (prepare_work_folder), writes config.yaml there
// (workdir::write_config), provisions wintun.dll from the install folder's held WinTUN
// library (workdir::provision_wintun), and creates the core from the install folder with
// "-d {work folder} -f {config.yaml}", no window, the null device as its standard
// streams and the work folder as its current folder, inside a new job, its primary
// thread still suspended: the core runs no code before it is in its job. The caller
// owns it; resume_core lets it run.
//
// `install` is the service's record of the install folder's files; the folder
// (find_install_folder) and each file not held yet are found and opened here, and stay
// held in it. The WinTUN library missing yields "wintun source missing: {path}", and
// one that cannot be opened "provision wintun.dll: {os error}". The core's executable is
// started by its path, which the held handle keeps from being replaced; the system's own
// open of the image is compatible with it. The core's executable missing yields
// "mihomo not found at {path}", and one that cannot be opened (held by someone without
// read sharing) "spawn mihomo: {os error}". Both "missing" failures carry the open's
// error code.
//
// The caller has stopped any earlier core and serializes launches. A failure yields
// the text of the first step that failed; a core already created by then is ended
// (waiting for it at most BOUNDED_WAIT_MS), and files written before it stay.
Result<LaunchedCore> start_core_suspended(InstallFiles& install, std::string_view config_yaml);

// Lets a core from start_core_suspended run. A failure ends it (waiting for it at most
// BOUNDED_WAIT_MS) and yields "spawn mihomo: {os error}"; the caller still owns it.
Result<void> resume_core(const LaunchedCore& core);

// Creates the core process, suspended, with the command line, standard streams, folder
// and flags of start_core_suspended. It inherits the three null-device handles of its
// standard streams and no other handle. Error: "spawn mihomo: {os error}".
Result<win::UniqueProcess> spawn_core(const std::wstring& core, const std::wstring& work,
                                      const std::wstring& config);

// A new unnamed job with the kill-on-close limit and `process` assigned to it. The
// caller owns the returned handle. A failure yields "{call}: {Windows API error}"
// and leaves `process` as it was.
Result<win::UniqueHandle> attach_job(HANDLE process);

}  // namespace korvan::core
