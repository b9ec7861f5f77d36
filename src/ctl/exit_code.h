#pragma once

// The tool's exit codes.

namespace korvan::ctl {

// The service answered with success.
inline constexpr int EXIT_OK = 0;
// The service answered with an "error" response.
inline constexpr int EXIT_ANSWER_ERROR = 1;
// No usable answer: the pipe cannot be reached, its server is not the service, the
// reply did not come in time, or it is not a well-formed response.
inline constexpr int EXIT_NO_ANSWER = 2;
// The command line is wrong, or a file it names cannot be used.
inline constexpr int EXIT_USAGE = 64;

}  // namespace korvan::ctl
