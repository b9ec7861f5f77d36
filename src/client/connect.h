#pragma once

// Opening the client end of the control pipe within a deadline, and which pipe name is
// the service's.

#include <string_view>

#include "win/deadline.h"
#include "client/scm_query.h"
#include "common/result.h"
#include "win/handle.h"

namespace korvan::client {

// Whether the full pipe name `name` (UTF-8, \\.\pipe\...) names the service's pipe as
// Windows compares pipe names: without regard to case, by the system's own upper-case
// table (CompareStringOrdinal), which maps some letters outside ASCII to ASCII ones.
bool is_service_pipe(std::string_view name);

// Opens the client end of the pipe `name` (UTF-8, \\.\pipe\...) for reading and
// writing with overlapped I/O. The server may identify the caller but not act as it.
// While every instance is busy it waits with WaitNamedPipeW. While the pipe does not
// exist it tries again shortly; when `name` is the service's pipe (is_service_pipe), it
// first asks `query` (at most every 250 ms) and gives up at once when the service will
// not make its pipe (absent_service), but waits while the service starts, runs, or
// cannot be asked. A refusal (ERROR_ACCESS_DENIED) of the service's pipe is tried again
// every 10 ms for up to 500 ms: the service's pipe refuses everyone in the moment it
// makes its instances. Nothing is tried once the deadline has passed. The caller owns
// the handle.
// Errors, each after "connect {name}: ", with their system error:
//   those of absent_service
//   "the pipe does not exist (is the service running?)", ERROR_FILE_NOT_FOUND
//   "every instance of the pipe stayed busy for {span}", ERROR_PIPE_BUSY, also when it
//   was missing at the end after having been busy
//   "CreateFileW: {system error}"
Result<win::UniqueHandle> open_pipe(std::string_view name, const win::Deadline& deadline,
                                    const ServiceQuery& query);

}  // namespace korvan::client
