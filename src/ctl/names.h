#pragma once

// The fixed names the control tool talks to.

#include <string_view>

#include "common/names.h"

namespace korvan::ctl {

inline constexpr std::string_view PROGRAM_NAME = "korvan-vpn-ctl";
inline constexpr std::string_view SERVICE_NAME = names::SERVICE_NAME_TEXT;
inline constexpr std::string_view PIPE_PREFIX = names::PIPE_PREFIX_TEXT;
inline constexpr std::string_view DEFAULT_PIPE_NAME = names::PIPE_NAME_TEXT;

}  // namespace korvan::ctl
