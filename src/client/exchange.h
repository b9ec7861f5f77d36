#pragma once

// One request and its reply on an open client end of the control pipe.

#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "win/deadline.h"
#include "common/result.h"

namespace korvan::client {

// The failure of a request that the deadline left no time to send; nothing was sent:
// "send request: the timeout of {span} passed before anything was sent", ERROR_TIMEOUT.
Failure timed_out_before_sending(const win::Deadline& deadline);

// Sends `body` (1 to MAX_FRAME_LEN bytes) as one frame on `client`, opened by
// open_pipe, and reads one reply frame, both before the deadline. Once the deadline has
// passed nothing more is written, and nothing at all when it passed before the first
// byte. Borrows `client`.
// Errors, with their system error:
//   timed_out_before_sending's
//   "send request: the server took no request within {span}", ERROR_TIMEOUT
//   "send request: {frame write error}", the write's error
//   "read reply: no answer within {span}", ERROR_TIMEOUT
//   "read reply: the connection closed without an answer", ERROR_BROKEN_PIPE
//   "read reply: the connection closed in the middle of the answer", ERROR_BROKEN_PIPE
//   "read reply: {frame read error}", as "read reply: frame length out of range: 0"
//   (0), or with the read's error
//   "CreateEventW: {system error}"
Result<std::vector<std::uint8_t>> exchange(HANDLE client, std::span<const std::uint8_t> body,
                                           const win::Deadline& deadline);

}  // namespace korvan::client
