#pragma once

// A place to launch the stand-in core (testing/fake_core) from the code under test.

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/launch.h"
#include "support/test_support.h"

namespace korvan::test_support {

// The stand-in WinTUN library's content; only its size matters to the launch.
inline const std::string WINTUN_STANDIN(3000, 'W');

// ProgramData points into a fresh folder whose path holds a space, the stand-in core
// writes its record there, and wintun-x86_64.dll lies beside the test executable.
// Both variables are put back at the end.
struct CoreSandbox {
    CoreSandbox();

    TempDir root{L"core"};
    std::wstring program_data = root.path + L"\\program data";
    std::wstring work = program_data + L"\\KorvanVPN\\service";
    std::wstring record = root.path + L"\\record.txt";
    std::wstring child_record = record + L".child";
    ScopedEnv program_data_env{L"ProgramData", program_data};
    ScopedEnv record_env{L"KORVAN_FAKE_CORE_RECORD", record};
};

// A CoreSandbox whose work folder the service has made, as its install and its own
// start do: the log writes only there.
struct LoggedSandbox : CoreSandbox {
    LoggedSandbox();
};

// What the stand-in core wrote about itself, by key.
using CoreRecord = std::map<std::string, std::string>;

// Waits (up to ten seconds) for a record file to appear and reads it.
std::optional<CoreRecord> wait_for_record(const std::wstring& path);

// A second handle on a process, to look at it after the code under test closed its own.
win::UniqueHandle duplicate(HANDLE process);

// A launch all the way to a running core, as the supervisor's start makes it but
// without the supervisor: core::start_core_suspended, then core::resume_core.
Result<core::LaunchedCore> start_core(core::InstallFiles& install, std::string_view config_yaml);

// Ends a core the test launched and waits for it, so that its folder can be removed.
void end_core(core::LaunchedCore& core);

}  // namespace korvan::test_support
