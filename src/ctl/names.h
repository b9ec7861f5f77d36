#pragma once

// The control tool's own name; the service's names are in common/names.h.

#include <string_view>

namespace korvan::ctl {

inline constexpr std::string_view PROGRAM_NAME = "korvan-vpn-ctl";

}  // namespace korvan::ctl
