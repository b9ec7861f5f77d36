#include "client/input.h"

#include <algorithm>

#include "common/quote.h"
#include "proto/frame.h"
#include "win/error_text.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::client {

namespace {

constexpr size_t CHUNK = 64 * 1024;

Result<std::string> checked_config(Result<std::string> config, std::string_view source) {
    if (!config) {
        return prefixed("read config " + std::string(source), config.failure());
    }
    if (config->size() > proto::MAX_FRAME_LEN) {
        return Failure{"config " + std::string(source) + " is larger than " +
                       std::to_string(proto::MAX_FRAME_LEN) + " bytes, the most a request carries"};
    }
    return config;
}

}  // namespace

Result<std::string> read_handle(HANDLE from, size_t limit) {
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
            return win::os_failure(error);
        }
        if (!read || got == 0) {
            break;
        }
    }
    return bytes;
}

Result<std::string> read_file(std::string_view path, size_t limit) {
    const std::wstring wide = win::widen(path);
    win::UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = GetLastError();
    if (!file) {
        return win::os_failure(error);
    }
    return read_handle(file.get(), limit);
}

Result<std::string> read_config(std::string_view path) {
    return checked_config(read_file(path, proto::MAX_FRAME_LEN + 1), in_quotes_as_typed(path));
}

Result<std::string> read_config(HANDLE from, std::string_view source) {
    return checked_config(read_handle(from, proto::MAX_FRAME_LEN + 1), source);
}

}  // namespace korvan::client
