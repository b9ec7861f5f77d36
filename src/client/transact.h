#pragma once

// One request and its reply, from opening the pipe to the reply's last byte.

#include <string>
#include <string_view>

#include "win/deadline.h"
#include "client/scm_query.h"
#include "common/result.h"

namespace korvan::client {

struct Target {
    // A full pipe name, \\.\pipe\...
    std::string pipe_name;
    win::Deadline deadline;
    // Whether the pipe's server must be the installed service's process
    // (server_identity.h), and what its refusals end with.
    bool server_check = true;
    std::string check_hint;
    // How the Service Control Manager is asked, by the server check and while the
    // service's pipe is missing.
    ServiceQuery query_service = client::query_service;
};

// Opens the target's pipe, checks its server, sends `body` (1 to MAX_FRAME_LEN bytes)
// and returns the reply's body; the pipe is closed again before it returns. The
// deadline is looked at before each step: once it has passed, the server is not checked
// and nothing is sent. Errors: those of open_pipe, verify_pipe_server and exchange,
// unchanged, and timed_out_before_sending's (exchange.h) when the deadline passed
// before the server check or the exchange began.
Result<std::string> transact(const Target& target, std::string_view body);

}  // namespace korvan::client
