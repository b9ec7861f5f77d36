#pragma once

// Where the service keeps its files: the work folder below ProgramData, and the names
// of what lies in it.

#include <string>
#include <string_view>

namespace korvan::workdir {

// The core's configuration, written anew by every start.
inline constexpr wchar_t CONFIG_NAME[] = L"config.yaml";
// The copy of the install folder's WinTUN library that the core loads, and the name a
// new copy is written under before it is renamed over it.
inline constexpr wchar_t WINTUN_NAME[] = L"wintun.dll";
inline constexpr wchar_t WINTUN_FRESH_NAME[] = L"wintun.dll.new";
// The service log and its older generations.
inline constexpr wchar_t LOG_FILE_NAME[] = L"service.log";
inline constexpr wchar_t OLD_LOG_FILE_NAME[] = L"service.log.1";
inline constexpr wchar_t SPARE_LOG_FILE_NAME[] = L"service.log.2";

// The service's work folder below the given ProgramData value:
// {program_data}\KorvanVPN\service.
std::wstring work_dir(std::wstring_view program_data);

}  // namespace korvan::workdir
