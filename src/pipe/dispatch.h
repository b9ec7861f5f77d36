#pragma once

// Turning one decoded request into its response: the only place where a client's
// request reaches the core supervisor.

#include <windows.h>

#include "core/supervisor.h"
#include "pipe/control_policy.h"
#include "proto/message.h"

namespace korvan::pipe {

// A ping's answer: the protocol's and the service's versions.
proto::response::Pong pong();

// Ping does not touch the supervisor. Status, Stop and Start are the supervisor's
// status, stop and start, each under its lock; none holds the lock once it returns, so
// no lock is held while the response is written. Start and Stop first ask the machine's
// policy (control_policy.h) about `caller`, the admitted caller's token (TOKEN_QUERY);
// a caller it refuses gets "forbidden" with the policy's message, and the core is left
// as it was. Ping and Status never consult it. Never fails: every outcome is a
// response. Writes no log line of its own (a faulty policy value is logged once).
// `policy` names where the policy is read and the lock it is read under; tests name
// their own.
proto::Response handle_request(const proto::Request& request, core::Supervisor& supervisor,
                               HANDLE caller, const PolicySource& policy = {});

}  // namespace korvan::pipe
