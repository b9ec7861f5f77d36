#pragma once

// The fixed names the control tool talks to.

#include <string_view>

namespace korvan::ctl {

inline constexpr std::string_view PROGRAM_NAME = "korvan-vpn-ctl";
inline constexpr std::string_view SERVICE_NAME = "korvan-vpn-service";
inline constexpr std::string_view PIPE_PREFIX = "\\\\.\\pipe\\";
inline constexpr std::string_view DEFAULT_PIPE_NAME = "\\\\.\\pipe\\korvan-vpn-service";

}  // namespace korvan::ctl
