#pragma once

// The service log's file in the work folder: service.log, appended to one whole line at
// a time, begun anew before it would pass its size limit, with the earlier lines kept
// in service.log.1 (or, when that cannot be replaced, in service.log.2).

#include <cstdint>
#include <string>
#include <string_view>

#include "workdir/service_dir.h"

namespace korvan::workdir {

// Appends `line` (a whole line, its line feed included) in one write to service.log in
// `folder`, a folder the caller has judged the service's own. The file is opened on
// every call and closed before it returns, shared for reading, writing and deleting; one
// that someone holds without that sharing keeps the line out.
//
// As the Service: the file is created when missing. A line that would take a log that
// is not empty past `size_limit`, and a service.log that is no plain file of one name
// (a directory, a junction or link, a hard link), first make the log begin anew:
// service.log is renamed to service.log.1, replacing it, or when that fails to
// service.log.2. When both renames fail, a plain service.log is emptied in place and
// anything else is moved aside under a name of its own (foreign_name), so service.log
// never passes its limit and the log goes on once the obstacle is gone.
//
// As a Guest: only an existing plain service.log with room left is appended to;
// nothing is made, renamed, moved or emptied.
//
// A line that cannot be written is lost; nothing is reported.
void append_log_line(const std::wstring& folder, std::string_view line, std::uint64_t size_limit,
                     Role role);

}  // namespace korvan::workdir
