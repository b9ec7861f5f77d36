#pragma once

// The rule that makes a pipe's full name from what a caller gives. Pure: no Windows in
// here.

#include <optional>
#include <string>
#include <string_view>

namespace korvan::client {

// What full_pipe_name accepts, as its callers' refusals say it: "expected {this}, got ...".
inline constexpr std::string_view PIPE_NAME_RULE =
    "NAME or \\\\.\\pipe\\NAME, the NAME without \\, / or .. and not ending in . or a space";

// `name` as a full pipe name: a full \\.\pipe\NAME is kept, a bare NAME gets the
// prefix. Nothing for a NAME that is empty, holds \, / or .., or ends in . or a space:
// Windows reads such a path as another name (another pipe, or through ..\ a file), or
// drops the dots and spaces at its end, so the name given would not be the name
// opened, nor the one compared with the service's.
std::optional<std::string> full_pipe_name(std::string_view name);

}  // namespace korvan::client
