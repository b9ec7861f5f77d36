#pragma once

// UTF-8 <-> UTF-16 at the edge of the Windows API. Malformed input never fails:
// ill-formed sequences become U+FFFD.

#include <string>
#include <string_view>

namespace korvan::win {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

}  // namespace korvan::win
