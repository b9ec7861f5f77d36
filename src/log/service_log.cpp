#include "log/service_log.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "win/handle.h"
#include "win/paths.h"
#include "win/secure_dir.h"

namespace korvan::log {

namespace {

struct LogFile {
    win::UniqueHandle file;
    std::uint64_t size = 0;
};

// Opens service.log for appending, creating it when missing. A log that is a junction
// or link, or that has another name elsewhere, is not written to: it may have been
// put there before the work folder was protected, to lead the service's writes to
// another file.
LogFile open_log(const std::wstring& path) {
    // Append-only access: every write lands at the end of the file as it is then, even
    // with other processes appending to it.
    LogFile log{win::UniqueHandle(
        CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr))};
    // Not GetFileInformationByHandle: it also queries the volume, which under Wine costs
    // more than the rest of the line.
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    if (!log.file ||
        !GetFileInformationByHandleEx(log.file.get(), FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(log.file.get(), FileStandardInfo, &standard,
                                      sizeof standard) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || standard.NumberOfLinks != 1) {
        return {};
    }
    log.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    return log;
}

void append_line(const std::wstring& program_data, std::string_view message,
                 std::uint64_t size_limit) {
    // A folder that cannot be made safe loses the line.
    const Result<win::ServiceDir> folder = win::open_service_dir(program_data);
    if (!folder) {
        return;
    }
    // Text and line feed in one write, so no other writer's line can land between.
    std::string line;
    line.reserve(message.size() + 1);
    line.append(message).push_back('\n');
    if (line.size() > MAXDWORD) {
        return;
    }
    const std::wstring path = win::join_path(folder->path, LOG_FILE_NAME);
    LogFile log = open_log(path);
    if (!log.file) {
        return;
    }
    if (log.size > 0 && log.size + line.size() > size_limit) {
        log.file.reset();
        MoveFileExW(path.c_str(), win::join_path(folder->path, OLD_LOG_FILE_NAME).c_str(),
                    MOVEFILE_REPLACE_EXISTING);
        log = open_log(path);
        if (!log.file) {
            return;
        }
    }
    DWORD written = 0;
    WriteFile(log.file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
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
        append_line(shared.program_data, repeated_line(shared.left_out), size_limit);
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
            append_line(program_data, message, size_limit);
            shared.program_data = std::move(program_data);
            shared.last.assign(message);
            shared.written_at = now_ms;
            shared.left_out = 0;
        }
    }
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
