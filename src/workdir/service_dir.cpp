#include "workdir/service_dir.h"

#include <bcrypt.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "win/backup_privileges.h"
#include "win/error_text.h"
#include "win/paths.h"
#include "win/utf.h"
#include "workdir/files.h"
#include "workdir/folder_record.h"
#include "workdir/service_dir_seams.h"

namespace korvan::workdir {

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

enum class Verdict { Own, Missing, Foreign, Unusable };

struct Judged {
    Verdict verdict = Verdict::Unusable;
    // Open on the level itself, never on what a reparse point leads to.
    win::UniqueHandle level;
    std::optional<FILE_ID_INFO> id;
    // Why the level is missing or unusable.
    Failure failure;
};

win::UniqueHandle open_level(const std::wstring& path, DWORD access) {
    // Attribute access takes no part in sharing and breaks no oplock: the open succeeds
    // at once whoever holds the level, and it keeps nobody from anything.
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

Failure no_file_id(const std::wstring& path) {
    return Failure{std::string(NO_FILE_ID_PREFIX) + win::narrow(path)};
}

// The error the seams give a read of `read`, if any.
DWORD seam_error(FILE_INFO_BY_HANDLE_CLASS read, const ServiceDirSeams& seams) {
    return seams.read_error ? seams.read_error(read) : ERROR_SUCCESS;
}

// The attributes of the level behind `handle`. Error: the os error form.
Result<DWORD> read_attributes(HANDLE handle, const ServiceDirSeams& seams) {
    if (const DWORD error = seam_error(FileBasicInfo, seams); error != ERROR_SUCCESS) {
        return win::os_failure(error);
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    return basic.FileAttributes;
}

// The identity of the level behind `handle`, as the seams would have it.
Result<FILE_ID_INFO> read_id(HANDLE handle, const ServiceDirSeams& seams) {
    if (const DWORD error = seam_error(FileIdInfo, seams); error != ERROR_SUCCESS) {
        return win::os_failure(error);
    }
    Result<FILE_ID_INFO> id = file_id(handle);
    if (id && seams.read_id) {
        seams.read_id(id.value());
    }
    return id;
}

Judged judge(const std::wstring& path, const ServiceDirSeams& seams) {
    Judged judged;
    judged.level = open_level(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    if (!judged.level) {
        const DWORD error = GetLastError();
        judged.failure = win::os_failure(error);
        judged.verdict = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                             ? Verdict::Missing
                             : Verdict::Unusable;
        return judged;
    }
    // A level whose identity cannot be read tells no more than one whose file ID tells
    // nothing: it is not moved, whoever made it. Moving it could take the service's own
    // folder away on a passing failure, and the move could not be counted.
    const Result<DWORD> attributes = read_attributes(judged.level.get(), seams);
    if (!attributes) {
        judged.failure = attributes.failure();
        return judged;
    }
    const Result<FILE_ID_INFO> id = read_id(judged.level.get(), seams);
    if (!id) {
        judged.failure = id.failure();
        return judged;
    }
    judged.id = id.value();
    if (!usable_file_id(*judged.id)) {
        judged.failure = no_file_id(path);
        return judged;
    }
    const std::optional<FILE_ID_INFO> recorded = made_folder(full_path(path));
    judged.verdict =
        plain_folder(attributes.value()) && recorded && same_file(*recorded, *judged.id)
            ? Verdict::Own
            : Verdict::Foreign;
    return judged;
}

// A move aside, run on a thread of its own so that a deadline can abandon it: the
// reopen for DELETE and the rename of a folder the service did not make can wait on
// an oplock break that its holder never acknowledges. Shared by that thread and the
// caller; only the thread touches `level`, and the caller reads `error` only once
// `done` is set.
struct MoveTask {
    // The thread's own duplicate of the judged handle, closed as the rename returns.
    win::UniqueHandle level;
    std::vector<std::byte> rename;
    std::function<void()> before_rename;
    std::wstring from;
    win::UniqueHandle done;
    DWORD error = ERROR_SUCCESS;
};

// An abandoned move whose thread may still be running. Only one is ever left behind:
// the next move waits for it first. Its lock is held only for moments, never across a
// wait, so that a stop can cancel the move while a start waits on it.
struct AbandonedMove {
    std::mutex lock;
    std::shared_ptr<MoveTask> task;
    win::UniqueHandle thread;
};

// How often a start that waits on an abandoned move cancels its I/O again.
constexpr DWORD CANCEL_INTERVAL_MS = 100;

std::vector<std::byte> rename_info(const std::wstring& to) {
    const size_t name_bytes = to.size() * sizeof(wchar_t);
    std::vector<std::byte> buffer(offsetof(FILE_RENAME_INFO, FileName) + name_bytes +
                                  sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(rename->FileName, to.c_str(), name_bytes + sizeof(wchar_t));
    return buffer;
}

DWORD reopen_and_rename(MoveTask& task) {
    // The same file reopened through the handle (an empty name relative to it, as
    // ReOpenFile does), never by its path. FILE_COMPLETE_IF_OPLOCKED: the open returns
    // at once rather than waiting for an oplock break; the rename has no such flag.
    UNICODE_STRING same{0, 0, nullptr};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &same, 0, task.level.get(), nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE raw = nullptr;
    const NTSTATUS status =
        NtCreateFile(&raw, DELETE | SYNCHRONIZE, &attributes, &io, nullptr, 0, SHARE_ALL, FILE_OPEN,
                     FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT |
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED,
                     nullptr, 0);
    if (!NT_SUCCESS(status)) {
        return RtlNtStatusToDosError(status);
    }
    const win::UniqueHandle movable(raw);
    if (task.before_rename) {
        task.before_rename();
    }
    if (!SetFileInformationByHandle(movable.get(), FileRenameInfo, task.rename.data(),
                                    static_cast<DWORD>(task.rename.size()))) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI run_move(void* parameter) {
    const std::unique_ptr<std::shared_ptr<MoveTask>> shared(
        static_cast<std::shared_ptr<MoveTask>*>(parameter));
    MoveTask& task = **shared;
    {
        // Backup and restore on this thread only, for the reopen and the rename alone.
        const win::BackupRestoreScope privileges;
        task.error = reopen_and_rename(task);
    }
    task.level.reset();
    SetEvent(task.done.get());
    return 0;
}

AbandonedMove& abandoned_move() {
    static AbandonedMove abandoned;
    return abandoned;
}

Failure timed_out(const std::wstring& path) {
    return Failure{std::string(MOVE_TIMED_OUT_PREFIX) + win::narrow(path)};
}

// Waits, within the bound, for a move abandoned earlier to end, so that no level is
// judged while a rename of it may still land, cancelling its I/O again as it waits.
// With the service lock held: no other move is abandoned meanwhile.
Result<void> settle_abandoned_move(DWORD bound_ms) {
    AbandonedMove& abandoned = abandoned_move();
    std::shared_ptr<MoveTask> task;
    {
        const std::lock_guard<std::mutex> held(abandoned.lock);
        task = abandoned.task;
    }
    if (!task) {
        return {};
    }
    const ULONGLONG deadline = GetTickCount64() + bound_ms;
    for (;;) {
        cancel_abandoned_move();
        const ULONGLONG now = GetTickCount64();
        const DWORD wait =
            now >= deadline
                ? 0
                : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, CANCEL_INTERVAL_MS));
        if (WaitForSingleObject(task->done.get(), wait) == WAIT_OBJECT_0) {
            break;
        }
        if (now >= deadline) {
            return timed_out(task->from);
        }
    }
    const std::lock_guard<std::mutex> held(abandoned.lock);
    abandoned.task.reset();
    abandoned.thread.reset();
    return {};
}

// Renames the level behind `judged` to `aside` on a thread of its own, waiting for it
// at most the seams' bound.
Result<void> rename_within_bound(HANDLE judged, const std::wstring& path, const std::wstring& aside,
                                 const ServiceDirSeams& seams) {
    auto task = std::make_shared<MoveTask>();
    if (!DuplicateHandle(GetCurrentProcess(), judged, GetCurrentProcess(), task->level.put(), 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    task->done = win::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!task->done) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    task->rename = rename_info(aside);
    task->before_rename = seams.before_rename;
    task->from = path;
    auto* parameter = new std::shared_ptr<MoveTask>(task);
    win::UniqueHandle thread(CreateThread(nullptr, 0, run_move, parameter, 0, nullptr));
    if (!thread) {
        const DWORD error = GetLastError();
        delete parameter;
        return win::os_failure(error);
    }
    if (WaitForSingleObject(task->done.get(), seams.move_bound_ms) != WAIT_OBJECT_0) {
        // Ends the wait where the system allows it; where not, the rename may still
        // land later, unrecorded. Cancelled again by the next start and by the stop.
        CancelSynchronousIo(thread.get());
        AbandonedMove& abandoned = abandoned_move();
        const std::lock_guard<std::mutex> held(abandoned.lock);
        abandoned.task = std::move(task);
        abandoned.thread = std::move(thread);
        return timed_out(path);
    }
    if (task->error != ERROR_SUCCESS) {
        return win::os_failure(task->error);
    }
    return {};
}

// Renames the level behind `judged` (not whatever now has its name) to a name nobody
// can know in advance, beside it. `full` is the level's full path.
Result<MovedAside> move_aside(const Judged& judged, const std::wstring& path,
                              const std::wstring& full, const ServiceDirSeams& seams) {
    // A level at a marked path was put there after the service had freed the path.
    const bool counted = !replacing(full);
    if (counted && moved_folders_left() >= MAX_MOVED_FOLDERS) {
        return win::os_failure(ERROR_ALREADY_EXISTS);
    }
    Result<std::wstring> named = foreign_name(path);
    if (!named) {
        return named.failure();
    }
    const std::wstring& aside = named.value();
    if (Result<void> marked = mark_replacing(full); !marked) {
        return marked.failure();
    }
    if (seams.before_move) {
        seams.before_move(path);
    }
    if (Result<void> renamed = rename_within_bound(judged.level.get(), path, aside, seams);
        !renamed) {
        return renamed.failure();
    }
    if (counted && judged.id) {
        // A move left unrecorded only counts one fewer against the bound.
        (void)record_moved_folder(full_path(aside), *judged.id);
    }
    return MovedAside{path, aside};
}

// Makes a level with the service's security and records it. A level that someone else
// made first, in the gap since the path was freed, fails this start.
Result<void> make_level(const std::wstring& path, const std::wstring& full,
                        PSECURITY_DESCRIPTOR security, const ServiceDirSeams& seams) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
    if (!CreateDirectoryW(path.c_str(), &attributes)) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    const win::UniqueHandle made = open_level(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    if (!made) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    Result<FILE_ID_INFO> id = read_id(made.get(), seams);
    if (!id) {
        return id.failure();
    }
    if (!usable_file_id(id.value())) {
        return no_file_id(path);
    }
    return record_made_folder(full, id.value());
}

// One thread moves and makes at a time, so no level is moved twice.
std::mutex& service_lock() {
    static std::mutex lock;
    return lock;
}

// The two levels, KorvanVPN first: the work folder always has KorvanVPN above it.
std::vector<std::wstring> levels_of(const std::wstring& work) {
    return {win::parent_path(work).value_or(L""), work};
}

}  // namespace

Result<win::UniqueLocal> service_dir_security() {
    win::UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(SERVICE_DIR_SDDL, SDDL_REVISION_1,
                                                              descriptor.put(), nullptr)) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    return descriptor;
}

bool plain_folder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

Result<ServiceDir> open_service_dir(std::wstring_view program_data, Role role) {
    return open_service_dir(program_data, role, ServiceDirSeams{});
}

Result<ServiceDir> open_service_dir(std::wstring_view program_data, Role role,
                                    const ServiceDirSeams& seams) {
    ServiceDir dir;
    if (role == Role::Guest) {
        Result<std::wstring> found = find_service_dir(program_data);
        if (!found) {
            return found.failure();
        }
        dir.path = std::move(found.value());
        return dir;
    }
    dir.path = work_dir(program_data);

    const std::lock_guard<std::mutex> held(service_lock());
    if (Result<void> settled = settle_abandoned_move(seams.move_bound_ms); !settled) {
        return settled.failure();
    }
    Result<win::UniqueLocal> security = service_dir_security();
    if (!security) {
        return security.failure();
    }
    const std::vector<std::wstring> levels = levels_of(dir.path);
    for (const std::wstring& level : levels) {
        Judged judged = judge(level, seams);
        if (judged.verdict == Verdict::Own) {
            continue;
        }
        if (judged.verdict == Verdict::Unusable) {
            return judged.failure;
        }
        if (judged.verdict == Verdict::Foreign && role == Role::Installer) {
            return win::os_failure(ERROR_ALREADY_EXISTS);
        }
        const std::wstring full = full_path(level);
        if (judged.verdict == Verdict::Foreign) {
            Result<MovedAside> moved = move_aside(judged, level, full, seams);
            if (!moved) {
                return moved.failure();
            }
            dir.moved.push_back(std::move(moved.value()));
        } else {
            // A folder made later at this path may get the file ID of the one that is
            // gone, on a file system that reuses them.
            forget_made_folder(full);
            if (Result<void> marked = mark_replacing(full); !marked) {
                return marked.failure();
            }
        }
        judged = Judged{};
        if (&level == &levels.front() && !program_data.empty()) {
            if (Result<void> made = win::create_dir_all(std::wstring(program_data)); !made) {
                return made.failure();
            }
        }
        if (seams.before_make) {
            seams.before_make(level);
        }
        if (Result<void> made = make_level(level, full, security->get(), seams); !made) {
            return made.failure();
        }
        unmark_replacing(full);
    }
    return dir;
}

void cancel_abandoned_move() {
    AbandonedMove& abandoned = abandoned_move();
    const std::lock_guard<std::mutex> held(abandoned.lock);
    if (abandoned.task && WaitForSingleObject(abandoned.task->done.get(), 0) != WAIT_OBJECT_0) {
        CancelSynchronousIo(abandoned.thread.get());
    }
}

Result<std::wstring> find_service_dir(std::wstring_view program_data) {
    std::wstring work = work_dir(program_data);
    for (const std::wstring& level : levels_of(work)) {
        const Judged judged = judge(level, ServiceDirSeams{});
        if (judged.verdict == Verdict::Foreign) {
            return win::os_failure(ERROR_ALREADY_EXISTS);
        }
        if (judged.verdict != Verdict::Own) {
            return judged.failure;
        }
    }
    return work;
}

Result<std::wstring> foreign_name(const std::wstring& path) {
    // Loaded only for the few names made: imported, bcrypt.dll would stay in the
    // service for its whole life, and under Wine it brings about 3 MB with it.
    const win::UniqueModule bcrypt(
        LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!bcrypt) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    using GenRandom = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);
    // Through void*: GCC warns of a cast between unrelated function types.
    const auto gen_random = reinterpret_cast<GenRandom>(
        reinterpret_cast<void*>(GetProcAddress(bcrypt.get(), "BCryptGenRandom")));
    if (gen_random == nullptr) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    unsigned char bytes[16];
    if (!BCRYPT_SUCCESS(
            gen_random(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return win::os_failure(ERROR_GEN_FAILURE);
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
