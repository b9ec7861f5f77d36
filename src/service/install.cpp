#include "service/install.h"

#include <windows.h>

#include "core/command_line.h"
#include "log/service_log.h"
#include "service/failure_actions.h"
#include "service/identity.h"
#include "win/error_text.h"
#include "win/handle.h"
#include "win/paths.h"
#include "workdir/provision.h"

namespace korvan::service {

Result<void> install_service() {
    Result<std::wstring> exe = win::current_exe();
    if (!exe) {
        return prefixed("current_exe", exe.failure());
    }
    return install_service_at(exe.value(), ChangeServiceConfig2W);
}

Result<void> install_service_at(const std::wstring& exe, ChangeServiceConfig2Call change) {
    win::UniqueServiceHandle scm(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!scm) {
        const DWORD error = GetLastError();
        return win::scm_failure("open SCM", error);
    }
    const std::wstring image_path = core::quoted_image_path(exe);
    win::UniqueServiceHandle service(
        CreateServiceW(scm.get(), SERVICE_NAME, DISPLAY_NAME, SERVICE_CHANGE_CONFIG | SERVICE_START,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       image_path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD error = GetLastError();
        return win::scm_failure("create service", error);
    }
    std::wstring description = DESCRIPTION;
    SERVICE_DESCRIPTIONW described{description.data()};
    // A service without its description still works.
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &described);
    // Nor does a service that is not started again after a crash fail its install; the
    // console keeps its lines, so the failure goes to the log, once its folder exists.
    const Result<void> restart = set_restart_on_failure(service.get(), change);
    // Before the service runs, whose own start makes them too: one process at a time.
    // Missing levels only: moving a level someone else made can wait on them, and a
    // process cannot exit while that wait is pending, so the installer would hang.
    (void)workdir::prepare_work_dir(workdir::Role::Installer);
    if (!restart) {
        log::write_log(prefixed("install: restart on failure", restart.failure()).text);
    }
    if (!StartServiceW(service.get(), 0, nullptr)) {
        const DWORD error = GetLastError();
        return win::scm_failure("start service", error);
    }
    return {};
}

Result<void> uninstall_service() {
    win::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) {
        const DWORD error = GetLastError();
        return win::scm_failure("open SCM", error);
    }
    win::UniqueServiceHandle service(OpenServiceW(scm.get(), SERVICE_NAME, SERVICE_STOP | DELETE));
    if (!service) {
        const DWORD error = GetLastError();
        return win::scm_failure("open service", error);
    }
    SERVICE_STATUS ignored{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
    if (!DeleteService(service.get())) {
        const DWORD error = GetLastError();
        return win::scm_failure("delete service", error);
    }
    return {};
}

}  // namespace korvan::service
