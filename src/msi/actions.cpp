// korvan-msi-actions.dll: the package's custom actions that need more than its tables,
// carried in its Binary table and run by the installer, never installed.

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

#include "msi/administrator.h"
#include "msi/service_start.h"
#include "msi/service_state.h"
#include "win/utf.h"

namespace {

// INSTALLMESSAGE_INFO goes to the log only; a warning or an error is also shown to an
// interactive user. The text is the record's template: brackets in it would be
// formatted, and none of these texts holds one.
void post(MSIHANDLE install, INSTALLMESSAGE kind, const std::string& text) {
    PMSIHANDLE record = MsiCreateRecord(0);
    const std::wstring wide = korvan::win::widen(text);
    MsiRecordSetStringW(record, 0, wide.c_str());
    MsiProcessMessage(install, kind, record);
}

void log_line(MSIHANDLE install, const std::string& text) {
    post(install, INSTALLMESSAGE_INFO, text);
}

// The bound on the wait for SERVICE_RUNNING once the start has been accepted; the
// service reports it as soon as its control handler is registered.
constexpr DWORD START_TIMEOUT_MS = 30000;

}  // namespace

// Immediate, impersonated, first in the sequence of a repair or a change of the installed
// package: refuses it, before anything is changed, unless an administrator started it.
// The installer's service runs every such run as LocalSystem, for any user it lets start
// one, and the run stops the service and its core. An immediate action runs with the
// token of the user who started msiexec, not the elevated one a UAC consent gives the
// installer's deferred work: so the run passes with Administrators enabled in that
// token, or with UAC's limited token of an administrator, whose linked full token has
// it enabled (msi::maintainer). Also refuses when the token cannot be read.
extern "C" __declspec(dllexport) UINT __stdcall KorvanCheckAdministrator(MSIHANDLE install) {
    const korvan::Result<korvan::msi::Maintainer> maintainer = korvan::msi::maintainer(nullptr);
    if (!maintainer) {
        log_line(install, "KorvanCheckAdministrator: " + maintainer.error());
        return ERROR_INSTALL_FAILURE;
    }
    switch (maintainer.value()) {
        case korvan::msi::Maintainer::Administrator:
            log_line(install,
                     "KorvanCheckAdministrator: the Administrators group is enabled in the token");
            return ERROR_SUCCESS;
        case korvan::msi::Maintainer::LinkedAdministrator:
            log_line(install,
                     "KorvanCheckAdministrator: the token is UAC's limited token of an "
                     "administrator: the Administrators group is enabled in its linked token");
            return ERROR_SUCCESS;
        case korvan::msi::Maintainer::Refused:
            break;
    }
    log_line(install,
             "KorvanCheckAdministrator: the Administrators group is not enabled in the token");
    post(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR),
         std::string(korvan::msi::NOT_ADMINISTRATOR_TEXT));
    return ERROR_INSTALL_FAILURE;
}

// Immediate: sets KorvanServiceRestart to 1 when the registered service runs and is not
// disabled, before the script stops it, so that a repair or an upgrade starts it again
// and leaves a stopped or disabled one as it is. Fails the installation when the
// service's state cannot be read.
extern "C" __declspec(dllexport) UINT __stdcall KorvanReadServiceState(MSIHANDLE install) {
    const korvan::Result<bool> restart = korvan::msi::service_to_restart();
    if (!restart) {
        log_line(install, "KorvanReadServiceState: " + restart.error());
        return ERROR_INSTALL_FAILURE;
    }
    log_line(install, restart.value() ? "KorvanReadServiceState: the service runs"
                                      : "KorvanReadServiceState: the service does not run");
    if (restart.value()) {
        return MsiSetPropertyW(install, L"KorvanServiceRestart", L"1");
    }
    return ERROR_SUCCESS;
}

// Deferred, in the system's context, after InstallFiles of a repair or an upgrade: starts
// again the service that ran before. The package marks it to go on whatever it returns:
// a service that does not start leaves the new files and the registration in place, and
// the warning says why, in the log and to an interactive user.
extern "C" __declspec(dllexport) UINT __stdcall KorvanStartService(MSIHANDLE install) {
    const korvan::Result<void> started = korvan::msi::start_service(START_TIMEOUT_MS);
    if (!started) {
        post(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_WARNING | MB_OK | MB_ICONWARNING),
             std::string(korvan::msi::NOT_STARTED_PREFIX) + started.error() +
                 std::string(korvan::msi::NOT_STARTED_SUFFIX));
        return ERROR_INSTALL_FAILURE;
    }
    log_line(install, "KorvanStartService: the service runs");
    return ERROR_SUCCESS;
}
