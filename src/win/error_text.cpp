#include "win/error_text.h"

#include <array>
#include <cstdio>

#include "common/quote.h"
#include "win/utf.h"

namespace korvan::win {

namespace {

std::string format_message(std::uint32_t code, DWORD& format_error) {
    std::array<wchar_t, 2048> buffer{};
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
    format_error = length == 0 ? GetLastError() : ERROR_SUCCESS;
    std::wstring_view message(buffer.data(), length);
    while (!message.empty() && (message.back() == L' ' || message.back() == L'\t' ||
                                message.back() == L'\r' || message.back() == L'\n')) {
        message.remove_suffix(1);
    }
    return narrow(message);
}

std::string hex_hresult(std::uint32_t hresult) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hresult));
    return text;
}

// The message, or the text that says there is none, as the file-and-process form
// and the diagnostic form show it.
std::string message_or_fallback(DWORD code) {
    DWORD format_error = ERROR_SUCCESS;
    std::string message = format_message(code, format_error);
    if (format_error != ERROR_SUCCESS) {
        return "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
               std::to_string(format_error) + ")";
    }
    return message;
}

}  // namespace

std::string system_message(std::uint32_t code) {
    DWORD format_error = ERROR_SUCCESS;
    return format_message(code, format_error);
}

std::uint32_t hresult_from_win32(DWORD code) {
    if (static_cast<std::int32_t>(code) <= 0) {
        return code;
    }
    return (code & 0xFFFFu) | 0x80070000u;
}

std::string winapi_error_text(DWORD code) {
    const std::uint32_t hresult = hresult_from_win32(code);
    std::string message = system_message(hresult);
    if (message.empty()) {
        return hex_hresult(hresult);
    }
    return message + " (" + hex_hresult(hresult) + ")";
}

std::string os_error_text(DWORD code) {
    return message_or_fallback(code) + " (os error " + std::to_string(code) + ")";
}

std::string_view error_kind(DWORD code) {
    switch (code) {
        case ERROR_ACCESS_DENIED:
            return "PermissionDenied";
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "NotFound";
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
        case ERROR_SERVICE_EXISTS:
            return "AlreadyExists";
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return "BrokenPipe";
        case ERROR_INVALID_PARAMETER:
            return "InvalidInput";
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return "OutOfMemory";
        case ERROR_SEM_TIMEOUT:
        case WAIT_TIMEOUT:
        case ERROR_TIMEOUT:
        case ERROR_SERVICE_REQUEST_TIMEOUT:
            return "TimedOut";
        case ERROR_CALL_NOT_IMPLEMENTED:
            return "Unsupported";
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return "StorageFull";
        case ERROR_BUSY:
            return "ResourceBusy";
        default:
            return "Uncategorized";
    }
}

std::string scm_diagnostic_text(DWORD code) {
    std::string text = "Winapi(Os { code: " + std::to_string(code) + ", kind: ";
    text += error_kind(code);
    text += ", message: ";
    append_quoted(text, message_or_fallback(code));
    text += " })";
    return text;
}

Failure winapi_failure(std::string_view step, DWORD code) {
    return prefixed(step, winapi_failure(code));
}

Failure os_failure(std::string_view step, DWORD code) {
    return prefixed(step, os_failure(code));
}

Failure winapi_failure(DWORD code) {
    return Failure{winapi_error_text(code), code};
}

Failure os_failure(DWORD code) {
    return Failure{os_error_text(code), code};
}

Failure scm_failure(std::string_view step, DWORD code) {
    return prefixed(step, Failure{std::string(SCM_ERROR_TEXT), code});
}

Failure scm_diagnostic_failure(DWORD code) {
    return Failure{scm_diagnostic_text(code), code};
}

}  // namespace korvan::win
