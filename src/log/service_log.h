#pragma once

// The service log: {ProgramData}\KorvanVPN\service\service.log, one UTF-8 line per
// message, only ever appended to.

#include <string_view>

namespace korvan::log {

// The log's ProgramData when the variable is not set.
inline constexpr wchar_t FALLBACK_PROGRAM_DATA[] = L"C:\\ProgramData";
inline constexpr wchar_t LOG_FILE_NAME[] = L"service.log";

// Appends `message` and a line feed to the log, creating the folders and the file
// when they are missing. The work folder is made safe first, as for the core
// (win::open_service_dir). The file is opened and closed on every call and shared for
// reading, writing and deleting; a log that is a junction, a link or a hard link is
// not written to. Never fails towards the caller: a line that cannot be written is
// lost. Leaves the caller's GetLastError() as it was.
void write_log(std::string_view message);

}  // namespace korvan::log
