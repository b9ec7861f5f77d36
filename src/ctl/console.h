#pragma once

// The tool's output. Text is UTF-8; a console gets it as UTF-16 whatever its code
// page, a file or pipe gets the bytes unchanged.

#include <windows.h>

#include <string_view>

namespace korvan::ctl {

// `which` is STD_OUTPUT_HANDLE or STD_ERROR_HANDLE. Failures are ignored: there is
// nowhere left to report them.
void write_text(DWORD which, std::string_view text);
// The text and a line feed.
void write_line(DWORD which, std::string_view text);

}  // namespace korvan::ctl
