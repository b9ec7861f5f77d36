#pragma once

// Turning one decoded request into its response: the only place where a client's
// request reaches the core supervisor.

#include "core/core_state.h"
#include "proto/message.h"

namespace korvan::pipe {

// Ping takes no lock. Status, Stop and Start take `state.lock` for their whole work on
// the record and release it before returning, so no lock is held while the response
// is written. Start ends any earlier core before it launches the new one, also when the
// launch then fails. Never fails: every outcome is a response. Writes no log line.
proto::Response handle_request(const proto::Request& request, core::CoreState& state);

}  // namespace korvan::pipe
