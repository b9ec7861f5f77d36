#pragma once

// One request and its reply on an open client end of the control pipe.

#include <windows.h>

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.h"
#include "client/connect.h"

namespace korvan::client {

// Sends `body` (1 to MAX_FRAME_LEN bytes) as one frame on `client`, opened by
// open_pipe, and reads one reply frame, both before the deadline. Borrows `client`.
// Errors, with their system error:
//   "send request: the server took no request within {span}", ERROR_TIMEOUT
//   "send request: {frame write error}", the write's error
//   "read reply: no answer within {span}", ERROR_TIMEOUT
//   "read reply: the connection closed without an answer", ERROR_BROKEN_PIPE
//   "read reply: the connection closed in the middle of the answer", ERROR_BROKEN_PIPE
//   "read reply: {frame read error}", as "read reply: frame length out of range: 0"
//   (0), or with the read's error
Result<std::vector<std::uint8_t>> exchange(HANDLE client, std::span<const std::uint8_t> body,
                                           const Deadline& deadline);

}  // namespace korvan::client
