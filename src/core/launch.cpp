#include "core/launch.h"

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/command_line.h"
#include "core/supervise.h"
#include "log/service_log.h"
#include "win/error_text.h"
#include "win/paths.h"
#include "win/utf.h"
#include "workdir/files.h"
#include "workdir/provision.h"
#include "workdir/service_dir.h"

namespace korvan::core {

namespace {

using win::UniqueHandle;
using win::UniqueProcess;

constexpr wchar_t NULL_DEVICE[] = L"\\\\.\\NUL";

// The WinTUN library, held. The step of a copy that cannot begin names the copy.
Result<HANDLE> held_wintun_source(InstallFiles& install) {
    if (const DWORD held = hold_wintun_source(install); held != NO_ERROR) {
        if (is_missing(held)) {
            const std::wstring source = win::join_path(install.folder, WINTUN_SOURCE_NAME);
            return prefixed(WINTUN_SOURCE_MISSING_STEP, Failure{win::narrow(source), held});
        }
        return win::os_failure(workdir::PROVISION_WINTUN_STEP, held);
    }
    return install.wintun_source.get();
}

// The core's executable, held, and its path.
Result<std::wstring> locate_core(InstallFiles& install) {
    std::wstring core = win::join_path(install.folder, CORE_EXE_NAME);
    if (const DWORD held = hold_core_exe(install); held != NO_ERROR) {
        if (is_missing(held)) {
            return Failure{std::string(CORE_NOT_FOUND_AT) + win::narrow(core), held};
        }
        return win::os_failure(SPAWN_CORE_STEP, held);
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

Result<std::wstring> prepare_work_folder() {
    Result<workdir::ServiceDir> work = workdir::prepare_work_dir();
    if (!work) {
        return work.failure();
    }
    for (const workdir::MovedAside& moved : work->moved) {
        log::write_log(workdir::moved_aside_line(moved));
    }
    return std::move(work->path);
}

Result<LaunchedCore> start_core_suspended(InstallFiles& install, std::string_view config_yaml) {
    Result<std::wstring> work = prepare_work_folder();
    if (!work) {
        return work.failure();
    }
    if (Result<void> written = workdir::write_config(work.value(), config_yaml); !written) {
        return written.failure();
    }
    const std::wstring config = win::join_path(work.value(), workdir::CONFIG_NAME);
    if (Result<void> found = find_install_folder(install); !found) {
        return found.failure();
    }
    Result<HANDLE> source = held_wintun_source(install);
    if (!source) {
        return source.failure();
    }
    if (Result<void> provisioned = workdir::provision_wintun(source.value(), work.value());
        !provisioned) {
        return provisioned.failure();
    }
    Result<std::wstring> core = locate_core(install);
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
