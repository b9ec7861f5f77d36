#pragma once

// The executable as its own installer.

#include <string>
#include <string_view>

#include "common/result.h"
#include "service/failure_actions.h"

namespace korvan::service {

inline constexpr std::string_view INSTALLED_LINE = "service installed";
inline constexpr std::string_view UNINSTALLED_LINE = "service uninstalled";
inline constexpr std::string_view INSTALL_FAILED_PREFIX = "install failed: ";
inline constexpr std::string_view UNINSTALL_FAILED_PREFIX = "uninstall failed: ";

// Registers the running executable, unquoted or quoted as quoted_image_path says and
// with no arguments, as an auto-start LocalSystem service of its own process, sets its
// description and its restart after a crash (set_restart_on_failure), makes the work
// folder's missing levels (workdir::prepare_work_dir as the Installer: nothing is moved,
// so the install never waits on a folder someone else holds, and a level someone else
// made is left for the service's own start to move aside) and starts it. Neither the
// description, nor the restart, nor the work folder fails the install: a restart not set
// is logged as "install: restart on failure: {}" when the work folder is the service's
// own. A service that fails to start stays registered.
// Errors: "open SCM: {}", "current_exe: {}" (file-and-process form), "create service: {}",
// "start service: {}", the SCM ones with the short text "IO error in winapi call" and
// the SCM's error code behind it.
Result<void> install_service();

// install_service for the executable `exe`, with the restart after a crash set through
// `change` (ChangeServiceConfig2W, or a test's stand-in). Errors: those of
// install_service but "current_exe: {}".
Result<void> install_service_at(const std::wstring& exe, ChangeServiceConfig2Call change);

// Asks the service to stop, without waiting and whatever the answer, and deletes its
// registration; the SCM removes it once the service has stopped.
// Errors: "open SCM: {}", "open service: {}", "delete service: {}" (short SCM text).
Result<void> uninstall_service();

}  // namespace korvan::service
