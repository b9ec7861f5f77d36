#pragma once

// Where the service finds ProgramData. The two rules differ on purpose: a start needs
// the variable and fails without it, while the log, which must reach someone whatever
// went wrong, falls back to C:\ProgramData.

#include <string>
#include <string_view>

#include "common/result.h"

namespace korvan::workdir {

inline constexpr std::string_view PROGRAM_DATA_NOT_SET = "ProgramData not set";
// The log's ProgramData when the variable is not set.
inline constexpr wchar_t FALLBACK_PROGRAM_DATA[] = L"C:\\ProgramData";

// The ProgramData variable, as it is (an empty value too), or "ProgramData not set".
Result<std::wstring> program_data_for_start();

// The ProgramData variable, or FALLBACK_PROGRAM_DATA when it is not set.
std::wstring program_data_for_log();

}  // namespace korvan::workdir
