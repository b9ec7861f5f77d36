#pragma once

// The service log: {ProgramData}\KorvanVPN\service\service.log, one UTF-8 line per
// message, appended to until it reaches its size limit, then begun anew with the
// earlier lines kept in service.log.1.

#include <cstdint>
#include <string_view>

namespace korvan::log {

// The log's ProgramData when the variable is not set.
inline constexpr wchar_t FALLBACK_PROGRAM_DATA[] = L"C:\\ProgramData";
inline constexpr wchar_t LOG_FILE_NAME[] = L"service.log";
inline constexpr wchar_t OLD_LOG_FILE_NAME[] = L"service.log.1";

// The most service.log grows to, unless a single line is longer. Anyone who may use
// the pipe can add lines, so the two files together hold at most about twice this.
inline constexpr std::uint64_t LOG_SIZE_LIMIT = 4 * 1024 * 1024;

// A line equal to the last one written to the same log less than this long before is
// left out and counted instead; the count goes into the log as its own line, "last
// message repeated N times", just before the next line that is written, or at
// flush_log. A flood of the same line from clients thus costs one comparison a line.
inline constexpr std::uint64_t REPEAT_WINDOW_MS = 10'000;
inline constexpr std::string_view REPEATED_PREFIX = "last message repeated ";

// Appends `message` and a line feed to the log, creating the folders and the file
// when they are missing. The work folder is made safe first, as for the core
// (win::open_service_dir). The file is opened and closed on every call and shared for
// reading, writing and deleting; a log that is a junction, a link or a hard link is
// not written to. A line that would take a log that is not empty past LOG_SIZE_LIMIT
// first renames it to service.log.1, replacing the older one, and goes into a new
// service.log; when that rename fails, the line is appended all the same.
//
// Never fails towards the caller: a line that cannot be written is lost. Leaves the
// caller's GetLastError() as it was.
void write_log(std::string_view message);

// write_log with `size_limit` in place of LOG_SIZE_LIMIT.
void write_log_limited(std::string_view message, std::uint64_t size_limit);

// write_log with `size_limit`, at `now_ms` on GetTickCount64's clock.
void write_log_at(std::string_view message, std::uint64_t size_limit, std::uint64_t now_ms);

// Writes the count of lines left out since the last line written, if any. Called when
// the service stops.
void flush_log();

}  // namespace korvan::log
