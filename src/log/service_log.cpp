#include "log/service_log.h"

#include <windows.h>

#include <string>

#include "win/handle.h"
#include "win/paths.h"

namespace korvan::log {

void write_log(std::string_view message) {
    const DWORD caller_error = GetLastError();
    const std::wstring folder =
        win::work_dir(win::env_var(win::PROGRAM_DATA_VAR).value_or(FALLBACK_PROGRAM_DATA));
    // A folder that cannot be made shows up as a failed open below.
    static_cast<void>(win::create_dir_all(folder));
    // Append-only access: every write lands at the end of the file as it is then, even
    // with other processes appending to it.
    win::UniqueHandle file(CreateFileW(win::join_path(folder, LOG_FILE_NAME).c_str(),
                                       FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        // Text and line feed in one write, so no other writer's line can land between.
        std::string line;
        line.reserve(message.size() + 1);
        line.append(message).push_back('\n');
        if (line.size() <= MAXDWORD) {
            DWORD written = 0;
            WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
    }
    SetLastError(caller_error);
}

}  // namespace korvan::log
