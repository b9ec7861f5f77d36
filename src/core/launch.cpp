#include "core/launch.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/command_line.h"
#include "core/supervise.h"
#include "win/error_text.h"
#include "win/paths.h"
#include "win/secure_dir.h"
#include "win/utf.h"

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

Result<win::ServiceDir> prepare_work_dir() {
    const std::optional<std::wstring> program_data = win::env_var(win::PROGRAM_DATA_VAR);
    if (!program_data) {
        return Failure{std::string(PROGRAM_DATA_NOT_SET)};
    }
    Result<win::ServiceDir> work = win::open_service_dir(*program_data);
    if (!work) {
        return prefixed(CREATE_WORK_DIR_STEP, work.failure());
    }
    return work;
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

// Creates the core suspended: it runs no code until it is inside its job, so nothing
// it starts can escape the job. The null-device handles close on return, the core
// holds its own inherited copies.
Result<UniqueProcess> spawn_core(const std::wstring& core, const std::wstring& work,
                                 const std::wstring& config) {
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
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input->get();
    startup.hStdOutput = output->get();
    startup.hStdError = error_output->get();
    // CreateProcessW may write into the command text, so it gets its own buffer.
    std::wstring text = command_line(core, {L"-d", work, L"-f", config});
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(core.c_str(), text.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, nullptr,
                        work.c_str(), &startup, &created)) {
        const DWORD error = GetLastError();
        return win::os_failure(SPAWN_CORE_STEP, error);
    }
    return UniqueProcess{UniqueHandle(created.hProcess), UniqueHandle(created.hThread)};
}

// Ends a started core that will not be recorded, which no later stop could reach. The
// wait is bounded because the caller holds the state lock.
void end_unrecorded(HANDLE process) {
    TerminateProcess(process, TERMINATED_EXIT_CODE);
    WaitForSingleObject(process, BOUNDED_WAIT_MS);
}

}  // namespace

Result<void> provision_wintun(const std::wstring& install, const std::wstring& work,
                              bool work_as_left) {
    const std::wstring source = win::join_path(install, WINTUN_SOURCE_NAME);
    const std::optional<std::uint64_t> source_size = file_size(source);
    if (!source_size) {
        return prefixed(WINTUN_SOURCE_MISSING_STEP, Failure{win::narrow(source)});
    }
    const std::wstring destination = win::join_path(work, WINTUN_NAME);
    DWORD copy_flags = 0;
    if (work_as_left) {
        // Only the size is compared: neither time stamps nor content.
        if (file_size(destination) == source_size) {
            return {};
        }
    } else {
        // Copying over a file keeps that file's security, so an untrusted one goes
        // first, and whatever appears in its place meanwhile is not copied over either.
        if (!DeleteFileW(destination.c_str())) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND) {
                return win::os_failure(PROVISION_WINTUN_STEP, error);
            }
        }
        copy_flags = COPY_FILE_FAIL_IF_EXISTS;
    }
    if (!CopyFileExW(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr, copy_flags)) {
        const DWORD error = GetLastError();
        return win::os_failure(PROVISION_WINTUN_STEP, error);
    }
    return {};
}

Result<LaunchedCore> start_core(std::string_view config_yaml) {
    // Held until the core has started: the folders checked are the folders used.
    Result<win::ServiceDir> work_folder = prepare_work_dir();
    if (!work_folder) {
        return work_folder.failure();
    }
    const std::wstring& work = work_folder->path;
    const std::wstring config = win::join_path(work, CONFIG_NAME);
    if (Result<void> written = replace_file(config, config_yaml); !written) {
        return prefixed(WRITE_CONFIG_STEP, written.failure());
    }
    Result<std::wstring> install = exe_dir();
    if (!install) {
        return install.failure();
    }
    if (Result<void> provisioned = provision_wintun(install.value(), work, !work_folder->put_right);
        !provisioned) {
        return provisioned.failure();
    }
    Result<std::wstring> core = locate_core(install.value());
    if (!core) {
        return core.failure();
    }
    Result<UniqueProcess> child = spawn_core(core.value(), work, config);
    if (!child) {
        return child.failure();
    }
    Result<UniqueHandle> job = attach_job(child->process.get());
    if (!job) {
        end_unrecorded(child->process.get());
        return prefixed(ATTACH_JOB_STEP, job.failure());
    }
    if (ResumeThread(child->thread.get()) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        end_unrecorded(child->process.get());
        return win::os_failure(SPAWN_CORE_STEP, error);
    }
    return LaunchedCore{std::move(child.value()), std::move(job.value())};
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
