#pragma once

// One request and its reply on an open client end of the control pipe.

#include <windows.h>

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.h"
#include "ctl/connect.h"

namespace korvan::ctl {

// Sends `body` (1 to MAX_FRAME_LEN bytes) as one frame on `client`, opened by
// open_pipe, and reads one reply frame, both before the deadline. Borrows `client`.
// Errors:
//   "send request: the server took no request within {n} s"
//   "send request: {frame write error}"
//   "read reply: no answer within {n} s"
//   "read reply: the connection closed without an answer"
//   "read reply: the connection closed in the middle of the answer"
//   "read reply: {frame read error}", as "read reply: frame length out of range: 0"
Result<std::vector<std::uint8_t>> exchange(HANDLE client, std::span<const std::uint8_t> body,
                                           const Deadline& deadline);

}  // namespace korvan::ctl
