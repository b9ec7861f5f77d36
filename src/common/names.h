#pragma once

// The service's name, its pipe's and its policy's, in both forms the code needs: UTF-8 for texts
// and the portable code, UTF-16 for Windows calls. Each pair is checked to be the
// same text when this header compiles.

#include <string_view>

namespace korvan::names {

inline constexpr std::string_view SERVICE_NAME_TEXT = "korvan-vpn-service";
inline constexpr wchar_t SERVICE_NAME[] = L"korvan-vpn-service";

inline constexpr std::string_view PIPE_PREFIX_TEXT = "\\\\.\\pipe\\";
inline constexpr std::string_view PIPE_NAME_TEXT = "\\\\.\\pipe\\korvan-vpn-service";
inline constexpr wchar_t PIPE_NAME[] = L"\\\\.\\pipe\\korvan-vpn-service";

// The machine policy for who may start and stop the core: one REG_SZ value holding a
// SID in string form, read from the Group Policy key first, then from the product's own
// key (which the MSI writes), both under HKEY_LOCAL_MACHINE.
inline constexpr std::string_view POLICY_KEY_TEXT = "SOFTWARE\\Policies\\KorvanVPN\\Service";
inline constexpr wchar_t POLICY_KEY[] = L"SOFTWARE\\Policies\\KorvanVPN\\Service";
inline constexpr std::string_view PRODUCT_KEY_TEXT = "SOFTWARE\\KorvanVPN\\Service";
inline constexpr wchar_t PRODUCT_KEY[] = L"SOFTWARE\\KorvanVPN\\Service";
inline constexpr std::string_view START_ALLOWED_FOR_TEXT = "StartAllowedFor";
inline constexpr wchar_t START_ALLOWED_FOR[] = L"StartAllowedFor";

constexpr bool same_ascii(std::string_view text, std::wstring_view wide) {
    if (text.size() != wide.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (static_cast<wchar_t>(text[i]) != wide[i]) {
            return false;
        }
    }
    return true;
}

static_assert(same_ascii(SERVICE_NAME_TEXT, SERVICE_NAME));
static_assert(same_ascii(PIPE_NAME_TEXT, PIPE_NAME));
static_assert(same_ascii(POLICY_KEY_TEXT, POLICY_KEY));
static_assert(same_ascii(PRODUCT_KEY_TEXT, PRODUCT_KEY));
static_assert(same_ascii(START_ALLOWED_FOR_TEXT, START_ALLOWED_FOR));
static_assert(PIPE_NAME_TEXT.starts_with(PIPE_PREFIX_TEXT) &&
              PIPE_NAME_TEXT.substr(PIPE_PREFIX_TEXT.size()) == SERVICE_NAME_TEXT);

}  // namespace korvan::names
