#pragma once

// The bytes a client sends that come from a file, or from a handle such as standard
// input.

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "common/result.h"

namespace korvan::client {

// The bytes of the file at `path` (UTF-8), read unchanged and up to `limit` bytes;
// anything after that is left unread.
// Errors: the system error in the file form, as
// "The system cannot find the file specified. (os error 2)", with its code.
Result<std::string> read_file(std::string_view path, size_t limit);

// The same from `from` (borrowed), read until its end: a pipe's writer closing its end
// counts as the end.
Result<std::string> read_handle(HANDLE from, size_t limit);

// The configuration for a start, from the file at `path`: at most MAX_FRAME_LEN bytes.
// Errors: "read config {path}: {read_file error}" and "config {path} is larger than
// 1048576 bytes, the most a request carries", the path quoted as typed
// (in_quotes_as_typed).
Result<std::string> read_config(std::string_view path);

// The same from `from` (borrowed), named `source` in the error texts in place of the
// quoted path, as in "read config standard input: ...".
Result<std::string> read_config(HANDLE from, std::string_view source);

}  // namespace korvan::client
