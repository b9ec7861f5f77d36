#include "core/launch.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/command_line.h"
#include "core/supervise.h"
#include "win/error_text.h"
#include "log/service_log.h"
#include "win/paths.h"
#include "win/utf.h"
#include "workdir/files.h"
#include "workdir/service_dir.h"

namespace korvan::core {

namespace {

using win::UniqueHandle;
using win::UniqueProcess;

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr wchar_t NULL_DEVICE[] = L"\\\\.\\NUL";

// The size of a file, following links; absent when it cannot be queried.
std::optional<std::uint64_t> file_size(const std::wstring& path) {
    // Backup semantics let the query open a folder as well, like any metadata query.
    UniqueHandle file(CreateFileW(path.c_str(), 0, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        return std::nullopt;
    }
    // The standard information alone: GetFileInformationByHandle reports the same size
    // but also queries the volume, which under Wine takes several times as long as the
    // open itself.
    FILE_STANDARD_INFO info{};
    if (!GetFileInformationByHandleEx(file.get(), FileStandardInfo, &info, sizeof info)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
}

Result<std::wstring> prepare_work_dir() {
    const std::optional<std::wstring> program_data = win::env_var(win::PROGRAM_DATA_VAR);
    if (!program_data) {
        return Failure{std::string(PROGRAM_DATA_NOT_SET)};
    }
    Result<workdir::ServiceDir> work =
        workdir::open_service_dir(*program_data, workdir::Role::Service);
    if (!work) {
        return prefixed(CREATE_WORK_DIR_STEP, work.failure());
    }
    for (const workdir::MovedAside& moved : work->moved) {
        log::write_log(workdir::moved_aside_line(moved));
    }
    return std::move(work->path);
}

// Deletes whatever is at `path` and creates a new file there with all of `bytes`. A
// new file takes the work folder's security, and a link left at `path` is removed,
// never written through.
Result<void> replace_file(const std::wstring& path, std::string_view bytes) {
    if (!DeleteFileW(path.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            return Failure{win::os_error_text(error)};
        }
    }
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return Failure{win::os_error_text(error)};
    }
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), MAXDWORD));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), chunk, &written, nullptr)) {
            const DWORD error = GetLastError();
            return Failure{win::os_error_text(error)};
        }
        if (written == 0) {
            return Failure{std::string(win::WRITE_ZERO_TEXT)};
        }
        bytes.remove_prefix(written);
    }
    return {};
}

Result<std::wstring> locate_core(const std::wstring& install) {
    std::wstring core = win::join_path(install, CORE_EXE_NAME);
    if (!file_size(core)) {
        return Failure{std::string(CORE_NOT_FOUND_AT) + win::narrow(core)};
    }
    return core;
}

// An inheritable handle on the null device, for one of the core's standard streams.
Result<UniqueHandle> open_null_device(DWORD access) {
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;
    UniqueHandle device(CreateFileW(NULL_DEVICE, access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inheritable, OPEN_EXISTING, 0, nullptr));
    if (!device) {
        const DWORD error = GetLastError();
        return win::os_failure(SPAWN_CORE_STEP, error);
    }
    return device;
}

// Whether `destination` is a plain file of one name holding exactly the bytes of
// `source`. Anything else there, or nothing, is false. Error: a failed read of the
// source, in the os error form.
Result<bool> same_plain_content(const std::wstring& source, const std::wstring& destination) {
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
    UniqueHandle original(CreateFileW(source.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
    FILE_STANDARD_INFO source_info{};
    if (!original || !GetFileInformationByHandleEx(original.get(), FileStandardInfo, &source_info,
                                                   sizeof source_info)) {
        const DWORD error = GetLastError();
        return Failure{win::os_error_text(error)};
    }
    if (source_info.EndOfFile.QuadPart != standard.EndOfFile.QuadPart) {
        return false;
    }
    constexpr DWORD CHUNK = 64 * 1024;
    std::vector<char> expected(CHUNK);
    std::vector<char> found(CHUNK);
    for (;;) {
        DWORD expected_count = 0;
        if (!ReadFile(original.get(), expected.data(), CHUNK, &expected_count, nullptr)) {
            const DWORD error = GetLastError();
            return Failure{win::os_error_text(error)};
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

// PROC_THREAD_ATTRIBUTE_LIST storage, deleted with its owner once initialized.
struct AttributeList {
    AttributeList() = default;
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;
    AttributeList(AttributeList&& other) noexcept
        : storage(std::move(other.storage)), initialized(std::exchange(other.initialized, false)) {}
    ~AttributeList() {
        if (initialized) {
            DeleteProcThreadAttributeList(list());
        }
    }

    LPPROC_THREAD_ATTRIBUTE_LIST list() {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    }

    std::vector<std::byte> storage;
    bool initialized = false;
};

// An attribute list naming `handles` as the only ones a new process inherits. The
// handles must stay open, and the array in place, until the process is created.
Result<AttributeList> handle_list(std::span<HANDLE> handles) {
    AttributeList attributes;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    attributes.storage.resize(size);
    if (!InitializeProcThreadAttributeList(attributes.list(), 1, 0, &size)) {
        const DWORD error = GetLastError();
        return win::os_failure(SPAWN_CORE_STEP, error);
    }
    attributes.initialized = true;
    if (!UpdateProcThreadAttribute(attributes.list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                   handles.data(), handles.size_bytes(), nullptr, nullptr)) {
        const DWORD error = GetLastError();
        return win::os_failure(SPAWN_CORE_STEP, error);
    }
    return attributes;
}

}  // namespace

Result<void> provision_wintun(const std::wstring& install, const std::wstring& work) {
    const std::wstring source = win::join_path(install, WINTUN_SOURCE_NAME);
    if (!file_size(source)) {
        return prefixed(WINTUN_SOURCE_MISSING_STEP, Failure{win::narrow(source)});
    }
    const std::wstring destination = win::join_path(work, workdir::WINTUN_NAME);
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
    const std::wstring fresh = win::join_path(work, workdir::WINTUN_FRESH_NAME);
    if (!DeleteFileW(fresh.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            return win::os_failure(PROVISION_WINTUN_STEP, error);
        }
    }
    if (!CopyFileExW(source.c_str(), fresh.c_str(), nullptr, nullptr, nullptr,
                     COPY_FILE_FAIL_IF_EXISTS)) {
        const DWORD error = GetLastError();
        DeleteFileW(fresh.c_str());
        return win::os_failure(PROVISION_WINTUN_STEP, error);
    }
    if (!MoveFileExW(fresh.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        DeleteFileW(fresh.c_str());
        return win::os_failure(PROVISION_WINTUN_STEP, error);
    }
    return {};
}

Result<LaunchedCore> start_core_suspended(std::string_view config_yaml) {
    Result<std::wstring> work = prepare_work_dir();
    if (!work) {
        return work.failure();
    }
    const std::wstring config = win::join_path(work.value(), workdir::CONFIG_NAME);
    if (Result<void> written = replace_file(config, config_yaml); !written) {
        return prefixed(WRITE_CONFIG_STEP, written.failure());
    }
    Result<std::wstring> install = exe_dir();
    if (!install) {
        return install.failure();
    }
    if (Result<void> provisioned = provision_wintun(install.value(), work.value()); !provisioned) {
        return provisioned.failure();
    }
    Result<std::wstring> core = locate_core(install.value());
    if (!core) {
        return core.failure();
    }
    Result<UniqueProcess> child = spawn_core(core.value(), work.value(), config);
    if (!child) {
        return child.failure();
    }
    Result<UniqueHandle> job = attach_job(child->process.get());
    if (!job) {
        end_unrecorded(child->process.get());
        return prefixed(ATTACH_JOB_STEP, job.failure());
    }
    return LaunchedCore{std::move(child.value()), std::move(job.value())};
}

Result<LaunchedCore> start_core(std::string_view config_yaml) {
    Result<LaunchedCore> core = start_core_suspended(config_yaml);
    if (!core) {
        return core;
    }
    if (Result<void> resumed = resume_core(core.value()); !resumed) {
        return resumed.failure();
    }
    return core;
}

Result<void> resume_core(const LaunchedCore& core) {
    if (ResumeThread(core.child.thread.get()) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        end_unrecorded(core.child.process.get());
        return win::os_failure(SPAWN_CORE_STEP, error);
    }
    return {};
}

Result<UniqueProcess> spawn_core(const std::wstring& core, const std::wstring& work,
                                 const std::wstring& config) {
    // Suspended, so that it runs no code until it is inside its job and nothing it
    // starts can be outside it. The null-device handles close on return; the core holds
    // its own inherited copies.
    Result<UniqueHandle> input = open_null_device(GENERIC_READ);
    if (!input) {
        return input.failure();
    }
    Result<UniqueHandle> output = open_null_device(GENERIC_WRITE);
    if (!output) {
        return output.failure();
    }
    Result<UniqueHandle> error_output = open_null_device(GENERIC_WRITE);
    if (!error_output) {
        return error_output.failure();
    }
    // Inheritance is on only for the handles in this list: no other handle of the
    // service that happens to be inheritable reaches the core.
    HANDLE inherited[] = {input->get(), output->get(), error_output->get()};
    Result<AttributeList> attributes = handle_list(inherited);
    if (!attributes) {
        return attributes.failure();
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input->get();
    startup.StartupInfo.hStdOutput = output->get();
    startup.StartupInfo.hStdError = error_output->get();
    startup.lpAttributeList = attributes->list();
    // CreateProcessW may write into the command text, so it gets its own buffer.
    std::wstring text = command_line(core, {L"-d", work, L"-f", config});
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(core.c_str(), text.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED |
                            EXTENDED_STARTUPINFO_PRESENT,
                        nullptr, work.c_str(), &startup.StartupInfo, &created)) {
        const DWORD error = GetLastError();
        return win::os_failure(SPAWN_CORE_STEP, error);
    }
    return UniqueProcess{UniqueHandle(created.hProcess), UniqueHandle(created.hThread)};
}

Result<std::wstring> exe_dir() {
    Result<std::wstring> path = win::current_exe();
    if (!path) {
        return prefixed(CURRENT_EXE_STEP, path.failure());
    }
    std::optional<std::wstring> parent = win::parent_path(path.value());
    if (!parent) {
        return Failure{std::string(EXE_HAS_NO_PARENT)};
    }
    return std::move(*parent);
}

Result<UniqueHandle> attach_job(HANDLE process) {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        const DWORD error = GetLastError();
        return win::winapi_failure(CREATE_JOB_STEP, error);
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    static_assert(sizeof limits == 144);
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
        const DWORD error = GetLastError();
        return win::winapi_failure(SET_JOB_LIMITS_STEP, error);
    }
    if (!AssignProcessToJobObject(job.get(), process)) {
        const DWORD error = GetLastError();
        return win::winapi_failure(ASSIGN_JOB_STEP, error);
    }
    return job;
}

}  // namespace korvan::core
