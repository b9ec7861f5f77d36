#pragma once

// The service log: {ProgramData}\KorvanVPN\service\service.log, one UTF-8 line per
// message, appended to until it reaches its size limit, then begun anew. The file's
// mechanics, how a new log is begun and what happens when it cannot be, are
// workdir/log_file.h's; this is which folder a line goes to, and when.

#include <cstdint>
#include <string_view>

namespace korvan::log {

// The most service.log grows to, unless a single line is longer. Anyone who may use
// the pipe can add lines, so the three files together hold at most about three times
// this.
inline constexpr std::uint64_t LOG_SIZE_LIMIT = 4 * 1024 * 1024;

// A line equal to the last one written to the same log less than this long before is
// left out and counted instead; the count goes into the log as its own line, "last
// message repeated N times", just before the next line that is written, or at
// flush_log. A flood of the same line from clients thus costs one comparison a line.
inline constexpr std::uint64_t REPEAT_WINDOW_MS = 10'000;
inline constexpr std::string_view REPEATED_PREFIX = "last message repeated ";

// Appends `message` and a line feed to the log, as the service, when both levels of
// the work folder are the service's own (workdir::find_service_dir). A line makes and
// moves no folder: in a work folder that is missing or not the service's own, it is
// lost, and the folder is left for the next start to make or put right. In the work
// folder, the line is appended with LOG_SIZE_LIMIT as workdir::append_log_line appends
// it as the Service: the file is created when missing, and a new log is begun before a
// line that would pass the limit (workdir/log_file.h says how).
//
// Never fails towards the caller: a line that cannot be written is lost. Leaves the
// caller's GetLastError() as it was.
void write_log(std::string_view message);

// For a process that is not the service: appends `message` only to an existing plain
// service.log, in levels that are the service's own, with room left below
// LOG_SIZE_LIMIT (workdir::append_log_line as a Guest). Makes, moves, renames and
// empties nothing; otherwise the line is lost. Leaves the caller's GetLastError() as it
// was.
void write_log_as_guest(std::string_view message);

// write_log with `size_limit`, at `now_ms` on GetTickCount64's clock.
void write_log_at(std::string_view message, std::uint64_t size_limit, std::uint64_t now_ms);

// Writes the count of lines left out since the last line written, if any. Called when
// the service stops.
void flush_log();

}  // namespace korvan::log
