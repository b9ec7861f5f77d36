#include "workdir/log_file.h"

#include <windows.h>

#include "win/handle.h"
#include "win/paths.h"
#include "workdir/files.h"

namespace korvan::workdir {

namespace {

struct LogFile {
    win::UniqueHandle file;
    std::uint64_t size = 0;
    // A plain file of one name: not a directory, no junction or link, no hard link that
    // would lead the service's writes into another file.
    bool plain = false;
};

// Opens service.log for appending; `disposition` OPEN_ALWAYS creates it when missing.
LogFile open_log(const std::wstring& path, DWORD disposition) {
    // Append-only access: every write lands at the end of the file as it is then, even
    // with other processes appending to it. Backup semantics let a directory planted
    // under the name be opened too, so that it can be seen and moved away.
    LogFile log{win::UniqueHandle(CreateFileW(
        path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
        nullptr))};
    // Not GetFileInformationByHandle: it also queries the volume, which under Wine costs
    // more than the rest of the line.
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    if (!log.file ||
        !GetFileInformationByHandleEx(log.file.get(), FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(log.file.get(), FileStandardInfo, &standard,
                                      sizeof standard)) {
        return {};
    }
    log.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    log.plain =
        (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        !standard.Directory && standard.NumberOfLinks == 1;
    return log;
}

// Makes room for a new service.log: renames the name service.log (whatever it is; a
// rename moves the name, never what a link leads to) to service.log.1, or, when that
// cannot be replaced (a directory, or a file held without delete sharing), to
// service.log.2. Failing both, a plain log is emptied in place through its own handle,
// and anything else is moved aside under a name of its own (it cannot replace a file
// when it is a directory). True when service.log can be begun anew.
bool begin_new_log(const std::wstring& folder, LogFile& log) {
    const std::wstring path = win::join_path(folder, LOG_FILE_NAME);
    log.file.reset();
    for (const wchar_t* name : {OLD_LOG_FILE_NAME, SPARE_LOG_FILE_NAME}) {
        if (MoveFileExW(path.c_str(), win::join_path(folder, name).c_str(),
                        MOVEFILE_REPLACE_EXISTING)) {
            return true;
        }
    }
    if (!log.plain) {
        const Result<std::wstring> aside = foreign_name(path);
        return aside && MoveFileExW(path.c_str(), aside->c_str(), 0);
    }
    LogFile current = open_log(path, OPEN_EXISTING);
    if (!current.plain) {
        return false;
    }
    win::UniqueHandle writable(ReOpenFile(current.file.get(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          FILE_FLAG_OPEN_REPARSE_POINT));
    FILE_END_OF_FILE_INFO empty{};
    return writable &&
           SetFileInformationByHandle(writable.get(), FileEndOfFileInfo, &empty, sizeof empty);
}

bool past_limit(const LogFile& log, size_t line_size, std::uint64_t size_limit) {
    return log.size > 0 && log.size + line_size > size_limit;
}

}  // namespace

void append_log_line(const std::wstring& folder, std::string_view line, std::uint64_t size_limit,
                     Role role) {
    if (line.size() > MAXDWORD) {
        return;
    }
    const std::wstring path = win::join_path(folder, LOG_FILE_NAME);
    const bool service = role == Role::Service;
    LogFile log = open_log(path, service ? OPEN_ALWAYS : OPEN_EXISTING);
    if (!log.file) {
        return;
    }
    if (!log.plain || past_limit(log, line.size(), size_limit)) {
        if (!service || !begin_new_log(folder, log)) {
            return;
        }
        log = open_log(path, OPEN_ALWAYS);
        if (!log.plain || past_limit(log, line.size(), size_limit)) {
            return;
        }
    }
    DWORD written = 0;
    WriteFile(log.file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace korvan::workdir
