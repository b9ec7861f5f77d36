#pragma once

// UTF-8 <-> UTF-16 at the edge of the Windows API. Ill-formed sequences become U+FFFD;
// input longer than INT_MAX units, which the system cannot convert, gives an empty text.

#include <string>
#include <string_view>

namespace korvan::win {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

}  // namespace korvan::win
