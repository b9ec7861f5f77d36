#pragma once

// The fixed names a client talks to, and the rule that makes a pipe's full name from
// what a caller gives. Pure: no Windows in here.

#include <optional>
#include <string>
#include <string_view>

#include "common/names.h"

namespace korvan::client {

inline constexpr std::string_view SERVICE_NAME = names::SERVICE_NAME_TEXT;
inline constexpr std::string_view PIPE_PREFIX = names::PIPE_PREFIX_TEXT;
inline constexpr std::string_view DEFAULT_PIPE_NAME = names::PIPE_NAME_TEXT;

// `name` as a full pipe name: a full \\.\pipe\NAME path is kept, a bare NAME (no
// slash, no backslash) gets the prefix; nothing for an empty name or any other path.
std::optional<std::string> full_pipe_name(std::string_view name);

}  // namespace korvan::client
