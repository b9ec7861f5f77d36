#pragma once

// Turning one decoded request into its response: the only place where a client's
// request reaches the core supervisor.

#include "core/supervisor.h"
#include "proto/message.h"

namespace korvan::pipe {

// Ping does not touch the supervisor. Status, Stop and Start are the supervisor's
// status, stop and start, each under its lock; none holds the lock once it returns, so
// no lock is held while the response is written. Never fails: every outcome is a
// response. Writes no log line.
proto::Response handle_request(const proto::Request& request, core::Supervisor& supervisor);

}  // namespace korvan::pipe
