#pragma once

// The rule that makes a pipe's full name from what a caller gives. Pure: no Windows in
// here.

#include <optional>
#include <string>
#include <string_view>

namespace korvan::client {

// `name` as a full pipe name: a full \\.\pipe\NAME path is kept, a bare NAME (no
// slash, no backslash) gets the prefix; nothing for an empty name or any other path.
std::optional<std::string> full_pipe_name(std::string_view name);

}  // namespace korvan::client
