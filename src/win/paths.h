#pragma once

// Environment, path joining, folder creation and the executable's own path.

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace korvan::win {

// The environment variable that names the machine's ProgramData folder.
inline constexpr wchar_t PROGRAM_DATA_VAR[] = L"ProgramData";

// The value of an environment variable of this process. Absent when the variable is
// not set (or cannot be read); a variable that is set to the empty text gives "".
std::optional<std::wstring> env_var(const wchar_t* name);

// `base` and `part` joined with one backslash. No separator is added when `base`
// already ends in one, and an empty `base` gives `part` alone (a relative path).
std::wstring join_path(std::wstring_view base, std::wstring_view part);

// The folder that holds `path`: everything before its last component, keeping the
// separator of a root ("C:\x" gives "C:\", "\x" gives "\"). Absent when `path` has no
// separator or is itself a root.
std::optional<std::wstring> parent_path(std::wstring_view path);

// Creates the folder `path` and every missing folder above it. A folder that already
// exists is success. A failure yields the system error in the file-and-process form.
Result<void> create_dir_all(const std::wstring& path);

// The full path of the running executable. Error: the system error in the
// file-and-process form.
Result<std::wstring> current_exe();

}  // namespace korvan::win
