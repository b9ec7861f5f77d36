#include "log/service_log.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "win/handle.h"
#include "win/paths.h"
#include "workdir/files.h"
#include "workdir/service_dir.h"

namespace korvan::log {

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
    const std::wstring path = win::join_path(folder, workdir::LOG_FILE_NAME);
    log.file.reset();
    for (const wchar_t* name : {workdir::OLD_LOG_FILE_NAME, workdir::SPARE_LOG_FILE_NAME}) {
        if (MoveFileExW(path.c_str(), win::join_path(folder, name).c_str(),
                        MOVEFILE_REPLACE_EXISTING)) {
            return true;
        }
    }
    if (!log.plain) {
        const Result<std::wstring> aside = workdir::foreign_name(path);
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

// Appends one whole line to service.log in `folder`, a folder of the service's own.
void append_to(const std::wstring& folder, std::string_view message, std::uint64_t size_limit,
               workdir::Role role) {
    // Text and line feed in one write, so no other writer's line can land between.
    std::string line;
    line.reserve(message.size() + 1);
    line.append(message).push_back('\n');
    if (line.size() > MAXDWORD) {
        return;
    }
    const std::wstring path = win::join_path(folder, workdir::LOG_FILE_NAME);
    const bool service = role == workdir::Role::Service;
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

void append_line(const std::wstring& program_data, std::string_view message,
                 std::uint64_t size_limit, workdir::Role role) {
    // A folder that cannot be made the service's own loses the line.
    const Result<workdir::ServiceDir> folder = workdir::open_service_dir(program_data, role);
    if (!folder) {
        return;
    }
    for (const workdir::MovedAside& moved : folder->moved) {
        append_to(folder->path, workdir::moved_aside_line(moved), size_limit, role);
    }
    append_to(folder->path, message, size_limit, role);
}

// The last line written, and how many lines equal to it have been left out since.
// Shared by every thread that logs.
struct Repeats {
    std::mutex lock;
    std::wstring program_data;
    std::string last;
    std::uint64_t written_at = 0;
    std::uint64_t left_out = 0;
};

Repeats& repeats() {
    static Repeats shared;
    return shared;
}

std::string repeated_line(std::uint64_t count) {
    return std::string(REPEATED_PREFIX) + std::to_string(count) + " times";
}

// With `shared.lock` held.
void write_left_out(Repeats& shared, std::uint64_t size_limit) {
    if (shared.left_out > 0) {
        append_line(shared.program_data, repeated_line(shared.left_out), size_limit,
                    workdir::Role::Service);
        shared.left_out = 0;
    }
}

}  // namespace

void write_log(std::string_view message) {
    write_log_at(message, LOG_SIZE_LIMIT, GetTickCount64());
}

void write_log_limited(std::string_view message, std::uint64_t size_limit) {
    write_log_at(message, size_limit, GetTickCount64());
}

void write_log_at(std::string_view message, std::uint64_t size_limit, std::uint64_t now_ms) {
    const DWORD caller_error = GetLastError();
    std::wstring program_data = win::env_var(win::PROGRAM_DATA_VAR).value_or(FALLBACK_PROGRAM_DATA);
    Repeats& shared = repeats();
    {
        std::lock_guard<std::mutex> held(shared.lock);
        if (program_data == shared.program_data && message == shared.last &&
            now_ms - shared.written_at < REPEAT_WINDOW_MS) {
            ++shared.left_out;
        } else {
            // A count for another log (ProgramData changed) is dropped rather than
            // written into a folder that may be gone.
            if (program_data == shared.program_data) {
                write_left_out(shared, size_limit);
            }
            append_line(program_data, message, size_limit, workdir::Role::Service);
            shared.program_data = std::move(program_data);
            shared.last.assign(message);
            shared.written_at = now_ms;
            shared.left_out = 0;
        }
    }
    SetLastError(caller_error);
}

void write_log_as_guest(std::string_view message) {
    const DWORD caller_error = GetLastError();
    append_line(win::env_var(win::PROGRAM_DATA_VAR).value_or(FALLBACK_PROGRAM_DATA), message,
                LOG_SIZE_LIMIT, workdir::Role::Guest);
    SetLastError(caller_error);
}

void flush_log() {
    const DWORD caller_error = GetLastError();
    Repeats& shared = repeats();
    {
        std::lock_guard<std::mutex> held(shared.lock);
        write_left_out(shared, LOG_SIZE_LIMIT);
        shared.last.clear();
    }
    SetLastError(caller_error);
}

}  // namespace korvan::log
