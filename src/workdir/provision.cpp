#include "workdir/provision.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "win/error_text.h"
#include "win/handle.h"
#include "win/paths.h"
#include "workdir/files.h"
#include "workdir/program_data.h"

namespace korvan::workdir {

namespace {

using win::UniqueHandle;

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Deletes whatever is at `path` and creates a new file there with all of `bytes`. A
// new file takes the work folder's security, and a link left at `path` is removed,
// never written through.
Result<void> replace_file(const std::wstring& path, std::string_view bytes) {
    if (!DeleteFileW(path.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            return win::os_failure(error);
        }
    }
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), MAXDWORD));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), chunk, &written, nullptr)) {
            const DWORD error = GetLastError();
            return win::os_failure(error);
        }
        if (written == 0) {
            return Failure{std::string(win::WRITE_ZERO_TEXT)};
        }
        bytes.remove_prefix(written);
    }
    return {};
}

// Moves a held file's position back to its start, so that a read sees it from there.
Result<void> rewind(HANDLE file) {
    if (!SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN)) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    return {};
}

constexpr DWORD CHUNK = 64 * 1024;

// Whether `destination` is a plain file of one name holding exactly the bytes of the
// held `source`. Anything else there, or nothing, is false. Error: a failed read of the
// source, in the os error form.
Result<bool> same_plain_content(HANDLE source, const std::wstring& destination) {
    UniqueHandle existing(CreateFileW(destination.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!existing) {
        return false;
    }
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(existing.get(), FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(existing.get(), FileStandardInfo, &standard,
                                      sizeof standard) ||
        (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        standard.NumberOfLinks != 1) {
        return false;
    }
    FILE_STANDARD_INFO source_info{};
    if (!GetFileInformationByHandleEx(source, FileStandardInfo, &source_info, sizeof source_info)) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    if (source_info.EndOfFile.QuadPart != standard.EndOfFile.QuadPart) {
        return false;
    }
    if (Result<void> rewound = rewind(source); !rewound) {
        return rewound.failure();
    }
    std::vector<char> expected(CHUNK);
    std::vector<char> found(CHUNK);
    for (;;) {
        DWORD expected_count = 0;
        if (!ReadFile(source, expected.data(), CHUNK, &expected_count, nullptr)) {
            const DWORD error = GetLastError();
            return win::os_failure(error);
        }
        DWORD found_count = 0;
        if (!ReadFile(existing.get(), found.data(), CHUNK, &found_count, nullptr) ||
            found_count != expected_count ||
            std::memcmp(expected.data(), found.data(), expected_count) != 0) {
            return false;
        }
        if (expected_count == 0) {
            return true;
        }
    }
}

// Creates `fresh`, which must not exist, holding every byte of the held `source`.
// Error: the os error form; a file created by then stays, for the caller to delete.
Result<void> copy_to_new(HANDLE source, const std::wstring& fresh) {
    if (Result<void> rewound = rewind(source); !rewound) {
        return rewound;
    }
    UniqueHandle copy(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    std::vector<char> buffer(CHUNK);
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(source, buffer.data(), CHUNK, &count, nullptr)) {
            const DWORD error = GetLastError();
            return win::os_failure(error);
        }
        if (count == 0) {
            return {};
        }
        std::string_view rest(buffer.data(), count);
        while (!rest.empty()) {
            DWORD written = 0;
            if (!WriteFile(copy.get(), rest.data(), static_cast<DWORD>(rest.size()), &written,
                           nullptr)) {
                const DWORD error = GetLastError();
                return win::os_failure(error);
            }
            if (written == 0) {
                return Failure{std::string(win::WRITE_ZERO_TEXT)};
            }
            rest.remove_prefix(written);
        }
    }
}

// `rename`, tried again while it is refused as a mapped image or an open file is.
DWORD rename_with_retries(RenameOver rename, const std::wstring& from, const std::wstring& to) {
    DWORD error = rename(from, to);
    for (int retry = 0; retry < REPLACE_RETRIES &&
                        (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION);
         ++retry) {
        Sleep(REPLACE_RETRY_INTERVAL_MS);
        error = rename(from, to);
    }
    return error;
}

}  // namespace

Result<ServiceDir> prepare_work_dir(Role role) {
    Result<std::wstring> program_data = program_data_for_start();
    if (!program_data) {
        return program_data.failure();
    }
    Result<ServiceDir> work = open_service_dir(program_data.value(), role);
    if (!work) {
        return prefixed(CREATE_WORK_DIR_STEP, work.failure());
    }
    return work;
}

Result<void> write_config(const std::wstring& work, std::string_view config_yaml) {
    if (Result<void> written = replace_file(win::join_path(work, CONFIG_NAME), config_yaml);
        !written) {
        return prefixed(WRITE_CONFIG_STEP, written.failure());
    }
    return {};
}

DWORD rename_over(const std::wstring& from, const std::wstring& to) {
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        return error;
    }
    return NO_ERROR;
}

Result<void> provision_wintun(HANDLE source, const std::wstring& work, RenameOver rename) {
    const std::wstring destination = win::join_path(work, WINTUN_NAME);
    Result<bool> same = same_plain_content(source, destination);
    if (!same) {
        return prefixed(PROVISION_WINTUN_STEP, same.failure());
    }
    if (same.value()) {
        return {};
    }
    // A new file under a name of its own, then renamed over the old name: the directory
    // entry is replaced, so nothing is ever written into a file that was there, nor
    // through a link.
    const std::wstring fresh = win::join_path(work, WINTUN_FRESH_NAME);
    if (!DeleteFileW(fresh.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            return win::os_failure(PROVISION_WINTUN_STEP, error);
        }
    }
    if (Result<void> copied = copy_to_new(source, fresh); !copied) {
        DeleteFileW(fresh.c_str());
        return prefixed(PROVISION_WINTUN_STEP, copied.failure());
    }
    if (const DWORD error = rename_with_retries(rename, fresh, destination); error != NO_ERROR) {
        DeleteFileW(fresh.c_str());
        return win::os_failure(PROVISION_WINTUN_STEP, error);
    }
    return {};
}

}  // namespace korvan::workdir
