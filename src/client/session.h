#pragma once

// One request and its reply, from opening the pipe to the reply's last byte.

#include <string>
#include <string_view>

#include "client/connect.h"
#include "common/result.h"

namespace korvan::client {

struct Target {
    // A full pipe name, \\.\pipe\...
    std::string pipe_name;
    Deadline deadline;
    // Whether the pipe's server must be the installed service's process
    // (server_process.h), and what its refusals end with.
    bool server_check = true;
    std::string check_hint;
};

// Opens the target's pipe, checks its server, sends `body` (1 to MAX_FRAME_LEN bytes)
// and returns the reply's body; the pipe is closed again before it returns. Errors:
// those of open_pipe, verify_pipe_server and exchange, unchanged.
Result<std::string> transact(const Target& target, std::string_view body);

}  // namespace korvan::client
