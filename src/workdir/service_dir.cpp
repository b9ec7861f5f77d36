#include "workdir/service_dir.h"

#include <bcrypt.h>
#include <sddl.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>

#include "win/error_text.h"
#include "win/paths.h"
#include "win/utf.h"
#include "workdir/files.h"
#include "workdir/folder_record.h"

namespace korvan::workdir {

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Making both levels takes three rounds; the rest allows for a level someone else puts
// in place between a move and the making of the service's own.
constexpr int MAX_ROUNDS = 5;

enum class Verdict { Own, Missing, Foreign, Unusable };

struct Judged {
    Verdict verdict = Verdict::Unusable;
    // Open on the level itself, never on what a reparse point leads to.
    win::UniqueHandle level;
    std::optional<FILE_ID_INFO> id;
    DWORD error = ERROR_SUCCESS;
};

win::UniqueHandle open_level(const std::wstring& path, DWORD access) {
    // Attribute access takes no part in sharing: the open succeeds whoever holds the
    // level, and it keeps nobody from anything.
    return win::UniqueHandle(CreateFileW(path.c_str(), access, SHARE_ALL, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                         nullptr));
}

// The record is kept by full path, the same whatever the current folder.
std::wstring full_path(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            return path;
        }
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

Judged judge(const std::wstring& path) {
    Judged judged;
    judged.level = open_level(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    if (!judged.level) {
        judged.error = GetLastError();
        judged.verdict =
            judged.error == ERROR_FILE_NOT_FOUND || judged.error == ERROR_PATH_NOT_FOUND
                ? Verdict::Missing
                : Verdict::Unusable;
        return judged;
    }
    judged.verdict = Verdict::Foreign;
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(judged.level.get(), FileBasicInfo, &basic, sizeof basic)) {
        return judged;
    }
    if (Result<FILE_ID_INFO> id = file_id(judged.level.get())) {
        judged.id = id.value();
    } else {
        return judged;
    }
    const std::optional<FILE_ID_INFO> recorded = made_folder(full_path(path));
    if (plain_folder(basic.FileAttributes) && recorded && same_file(*recorded, *judged.id)) {
        judged.verdict = Verdict::Own;
    }
    return judged;
}

// Renames the level behind `judged` (not whatever now has its name) to a name nobody
// can know in advance, beside it.
Result<MovedAside> move_aside(const Judged& judged, const std::wstring& path) {
    if (moved_folders_left() >= MAX_MOVED_FOLDERS) {
        return Failure{win::os_error_text(ERROR_ALREADY_EXISTS)};
    }
    Result<std::wstring> named = foreign_name(path);
    if (!named) {
        return named.failure();
    }
    const std::wstring& aside = named.value();
    // The same file reopened through the handle, not by its path.
    win::UniqueHandle movable(
        ReOpenFile(judged.level.get(), DELETE | SYNCHRONIZE, SHARE_ALL,
                   FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS));
    if (!movable) {
        const DWORD error = GetLastError();
        return Failure{win::os_error_text(error)};
    }
    const size_t name_bytes = aside.size() * sizeof(wchar_t);
    std::vector<std::byte> buffer(offsetof(FILE_RENAME_INFO, FileName) + name_bytes +
                                  sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(rename->FileName, aside.c_str(), name_bytes + sizeof(wchar_t));
    if (!SetFileInformationByHandle(movable.get(), FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size()))) {
        const DWORD error = GetLastError();
        return Failure{win::os_error_text(error)};
    }
    if (judged.id) {
        // A move left unrecorded only counts one fewer against the bound.
        (void)record_moved_folder(full_path(aside), *judged.id);
    }
    return MovedAside{path, aside};
}

// Makes a level with the service's security and records it. A level that someone else
// made first is left for the next round to judge.
Result<void> make_level(const std::wstring& path, PSECURITY_DESCRIPTOR security) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
    if (!CreateDirectoryW(path.c_str(), &attributes)) {
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS) {
            return {};
        }
        return Failure{win::os_error_text(error)};
    }
    const win::UniqueHandle made = open_level(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    if (!made) {
        const DWORD error = GetLastError();
        return Failure{win::os_error_text(error)};
    }
    Result<FILE_ID_INFO> id = file_id(made.get());
    if (!id) {
        return id.failure();
    }
    return record_made_folder(full_path(path), id.value());
}

// One process moves and makes at a time, so no level is moved twice.
std::mutex& service_lock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

Result<win::UniqueLocal> service_dir_security() {
    win::UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(SERVICE_DIR_SDDL, SDDL_REVISION_1,
                                                              descriptor.put(), nullptr)) {
        const DWORD error = GetLastError();
        return Failure{win::os_error_text(error)};
    }
    return descriptor;
}

bool plain_folder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

Result<ServiceDir> open_service_dir(std::wstring_view program_data, Role role) {
    ServiceDir dir;
    dir.path = work_dir(program_data);
    // The work folder always has KorvanVPN above it.
    const std::wstring levels[] = {win::parent_path(dir.path).value_or(L""), dir.path};
    if (role == Role::Guest) {
        for (const std::wstring& level : levels) {
            const Judged judged = judge(level);
            if (judged.verdict != Verdict::Own) {
                return Failure{win::os_error_text(
                    judged.verdict == Verdict::Foreign ? ERROR_ALREADY_EXISTS : judged.error)};
            }
        }
        return dir;
    }

    const std::lock_guard<std::mutex> held(service_lock());
    Result<win::UniqueLocal> security = service_dir_security();
    if (!security) {
        return security.failure();
    }
    for (int round = 0; round < MAX_ROUNDS; ++round) {
        size_t index = 0;
        Judged judged;
        for (; index < std::size(levels); ++index) {
            judged = judge(levels[index]);
            if (judged.verdict != Verdict::Own) {
                break;
            }
        }
        if (index == std::size(levels)) {
            return dir;
        }
        if (judged.verdict == Verdict::Unusable) {
            return Failure{win::os_error_text(judged.error)};
        }
        if (judged.verdict == Verdict::Foreign) {
            Result<MovedAside> moved = move_aside(judged, levels[index]);
            if (!moved) {
                return moved.failure();
            }
            dir.moved.push_back(std::move(moved.value()));
        }
        judged = Judged{};
        if (index == 0 && !program_data.empty()) {
            if (Result<void> made = win::create_dir_all(std::wstring(program_data)); !made) {
                return made.failure();
            }
        }
        if (Result<void> made = make_level(levels[index], security->get()); !made) {
            return made.failure();
        }
    }
    return Failure{win::os_error_text(ERROR_ALREADY_EXISTS)};
}

Result<std::wstring> foreign_name(const std::wstring& path) {
    // Loaded only for the few names made: imported, bcrypt.dll would stay in the
    // service for its whole life, and under Wine it brings about 3 MB with it.
    const win::UniqueModule bcrypt(
        LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!bcrypt) {
        const DWORD error = GetLastError();
        return Failure{win::os_error_text(error)};
    }
    using GenRandom = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);
    // Through void*: GCC warns of a cast between unrelated function types.
    const auto gen_random = reinterpret_cast<GenRandom>(
        reinterpret_cast<void*>(GetProcAddress(bcrypt.get(), "BCryptGenRandom")));
    if (gen_random == nullptr) {
        const DWORD error = GetLastError();
        return Failure{win::os_error_text(error)};
    }
    unsigned char bytes[16];
    if (!BCRYPT_SUCCESS(
            gen_random(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return Failure{win::os_error_text(ERROR_GEN_FAILURE)};
    }
    static constexpr wchar_t HEX[] = L"0123456789abcdef";
    std::wstring name = path + FOREIGN_INFIX;
    for (const unsigned char byte : bytes) {
        name += HEX[byte >> 4];
        name += HEX[byte & 0xF];
    }
    return name;
}

std::string moved_aside_line(const MovedAside& moved) {
    return std::string(MOVED_ASIDE_PREFIX) + win::narrow(moved.from) + " -> " +
           win::narrow(moved.to);
}

}  // namespace korvan::workdir
