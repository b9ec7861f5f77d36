#include "log/service_log.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "workdir/log_file.h"
#include "workdir/program_data.h"
#include "workdir/service_dir.h"

namespace korvan::log {

namespace {

// Text and line feed in one write, so no other writer's line can land between.
void append_to(const std::wstring& folder, std::string_view message, std::uint64_t size_limit,
               workdir::Role role) {
    std::string line;
    line.reserve(message.size() + 1);
    line.append(message).push_back('\n');
    workdir::append_log_line(folder, line, size_limit, role);
}

void append_line(const std::wstring& program_data, std::string_view message,
                 std::uint64_t size_limit, workdir::Role role) {
    // Only a start makes or moves levels: a line whose folder is not the service's own,
    // or is missing, is lost.
    const Result<std::wstring> folder = workdir::find_service_dir(program_data);
    if (!folder) {
        return;
    }
    append_to(folder.value(), message, size_limit, role);
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

void write_log_at(std::string_view message, std::uint64_t size_limit, std::uint64_t now_ms) {
    const DWORD caller_error = GetLastError();
    std::wstring program_data = workdir::program_data_for_log();
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
    append_line(workdir::program_data_for_log(), message, LOG_SIZE_LIMIT, workdir::Role::Guest);
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
