#include "win/utf.h"

#include <windows.h>

#include <climits>

namespace korvan::win {

std::wstring widen(std::string_view utf8) {
    if (utf8.empty() || utf8.size() > INT_MAX) {
        return {};
    }
    const int in_len = static_cast<int>(utf8.size());
    const int out_len = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in_len, nullptr, 0);
    std::wstring out(static_cast<size_t>(out_len), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in_len, out.data(), out_len);
    return out;
}

std::string narrow(std::wstring_view utf16) {
    if (utf16.empty() || utf16.size() > INT_MAX) {
        return {};
    }
    const int in_len = static_cast<int>(utf16.size());
    const int out_len =
        WideCharToMultiByte(CP_UTF8, 0, utf16.data(), in_len, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(out_len), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), in_len, out.data(), out_len, nullptr, nullptr);
    return out;
}

}  // namespace korvan::win
