#pragma once

// The bytes the tool sends that come from a file or from standard input.

#include <cstddef>
#include <string>
#include <string_view>

#include "common/result.h"

namespace korvan::ctl {

// The bytes of the file at `path` (UTF-8), or of standard input for "-", read
// unchanged and up to `limit` bytes; anything after that is left unread.
// Errors: the system error in the file form, as
// "The system cannot find the file specified. (os error 2)".
Result<std::string> read_input(std::string_view path, size_t limit);

}  // namespace korvan::ctl
