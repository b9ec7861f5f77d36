#pragma once

// The fixed names the control tool uses.

#include <string_view>

#include "client/names.h"

namespace korvan::ctl {

inline constexpr std::string_view PROGRAM_NAME = "korvan-vpn-ctl";
using client::DEFAULT_PIPE_NAME;
using client::PIPE_PREFIX;
using client::SERVICE_NAME;

}  // namespace korvan::ctl
