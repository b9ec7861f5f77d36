#pragma once

// The service's fixed identity, as registered with the Service Control Manager.

#include "common/names.h"

namespace korvan::service {

inline constexpr const wchar_t* SERVICE_NAME = names::SERVICE_NAME;
inline constexpr wchar_t DISPLAY_NAME[] = L"KorvanVPN 服务";
inline constexpr wchar_t DESCRIPTION[] = L"KorvanVPN TUN 模式系统服务（托管 mihomo + WinTUN）";

}  // namespace korvan::service
