#pragma once

// One connected client: the caller check, one request frame, one response frame.

#include <windows.h>

#include <cstdint>
#include <string_view>

#include "common/result.h"
#include "core/supervisor.h"
#include "pipe/authorize.h"
#include "win/sync_io_deadline.h"

namespace korvan::pipe {

// Log prefixes of the two failures that reach no client.
inline constexpr std::string_view REJECT_LOG_PREFIX = "reject unauthenticated client: ";
inline constexpr std::string_view READ_FRAME_LOG_PREFIX = "read frame: ";
// The prefix of a "bad_request" answer's message, before the decoder's text.
inline constexpr std::string_view PARSE_PREFIX = "parse: ";

// How long one client may take over its whole exchange (sending its request and
// reading the response), from the moment it is connected.
inline constexpr DWORD EXCHANGE_BUDGET_MS = 10'000;

// What an exchange works with. The listener owns all of it; the exchange never
// disconnects or closes the pipe.
struct ClientLink {
    // The connected server end of an instance opened for overlapped I/O.
    HANDLE pipe;
    // A manual-reset event for the overlapped calls on `pipe`.
    HANDLE io_event;
    // Bounds the wait for the client to read the response; null skips that wait.
    win::SyncIoDeadline* delivery_bound;
    // GetTickCount64 time by which the exchange gives up on the client.
    std::uint64_t deadline;
};

// Runs the whole exchange with one client; every outcome is handled inside, within
// the link's one deadline.
//
// The caller check (authorize_client with `decide` and `impersonate`) comes first,
// before anything is read. Only when the client cannot be impersonated yet
// (ERROR_CANNOT_IMPERSONATE) is the request's 4-byte length prefix read and the check
// made again; when that fails the same way, the body the prefix announces is read
// (only a length of 1 to MAX_FRAME_LEN), not decoded, and the check made a third time.
// A caller not admitted gets no answer and one log line with the last failure of the
// check, whatever was read or failed to be read; its body is never decoded.
//
// An admitted caller's frame is read on from where the check left it. A frame that
// cannot be read (also one not sent in time) gets no answer and one log line. A frame
// that does not decode is answered "bad_request". Otherwise the request is dispatched
// and its response written, and the exchange returns once the client has read it, has
// gone, or the deadline has passed. A failed response write is dropped without a log
// line.
void serve_client(const ClientLink& link, core::Supervisor& supervisor,
                  AdmissionDecision decide = caller_admitted,
                  Impersonation impersonate = impersonate_pipe_client);

}  // namespace korvan::pipe
