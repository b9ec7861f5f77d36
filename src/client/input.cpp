#include "ctl/input.h"

#include <windows.h>

#include <algorithm>

#include "win/error_text.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::ctl {

namespace {

constexpr size_t CHUNK = 64 * 1024;

Result<std::string> read_all(HANDLE from, size_t limit) {
    std::string bytes;
    while (bytes.size() < limit) {
        const size_t offset = bytes.size();
        const size_t wanted = std::min(CHUNK, limit - offset);
        bytes.resize(offset + wanted);
        DWORD got = 0;
        const BOOL read =
            ReadFile(from, bytes.data() + offset, static_cast<DWORD>(wanted), &got, nullptr);
        const DWORD error = read ? ERROR_SUCCESS : GetLastError();
        bytes.resize(offset + got);
        // A pipe on standard input reports its writer's end as ERROR_BROKEN_PIPE.
        if (!read && error != ERROR_BROKEN_PIPE) {
            return Failure{win::os_error_text(error)};
        }
        if (!read || got == 0) {
            break;
        }
    }
    return bytes;
}

}  // namespace

Result<std::string> read_input(std::string_view path, size_t limit) {
    if (path == "-") {
        return read_all(GetStdHandle(STD_INPUT_HANDLE), limit);
    }
    const std::wstring wide = win::widen(path);
    win::UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = GetLastError();
    if (!file) {
        return Failure{win::os_error_text(error)};
    }
    return read_all(file.get(), limit);
}

}  // namespace korvan::ctl
