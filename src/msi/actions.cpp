// korvan-msi-actions.dll: the package's custom actions that need more than its tables,
// carried in its Binary table and run by the installer, never installed.

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

#include "msi/service_state.h"
#include "win/utf.h"

namespace {

void log_line(MSIHANDLE install, const std::string& text) {
    PMSIHANDLE record = MsiCreateRecord(0);
    const std::wstring wide = korvan::win::widen(text);
    MsiRecordSetStringW(record, 0, wide.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

}  // namespace

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
