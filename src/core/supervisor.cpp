#include "core/supervisor.h"

#include <chrono>
#include <string>
#include <utility>

#include "core/supervise.h"

namespace korvan::core {

namespace {

// A handle on `job` that may only terminate it; none when it cannot be made, and then
// only a holder of the record's lock ends the core.
win::UniqueHandle terminator_of(HANDLE job) {
    win::UniqueHandle terminator;
    DuplicateHandle(GetCurrentProcess(), job, GetCurrentProcess(), terminator.put(),
                    JOB_OBJECT_TERMINATE, FALSE, 0);
    return terminator;
}

}  // namespace

Supervisor::Supervisor(InstallFiles install, Launch launch)
    : install_(std::move(install)), launch_(launch) {}

Result<void> Supervisor::start(std::string_view config_yaml, std::uint16_t mixed_port,
                               std::uint16_t ctl_port) {
    std::lock_guard<std::mutex> request(requests_);
    {
        std::lock_guard<std::timed_mutex> held(lock_);
        if (stopping_) {
            return Failure{std::string(SERVICE_STOPPING)};
        }
        end_recorded(BOUNDED_WAIT_MS);
    }
    Result<LaunchedCore> launched = launch_(install_, config_yaml);
    if (!launched) {
        return launched.failure();
    }
    // The service's stop may have come during the file work: a core it could not see
    // must not run past it.
    std::lock_guard<std::timed_mutex> held(lock_);
    if (stopping_) {
        if (!end_unrecorded(launched->child.process.get())) {
            keep_outlived(std::move(launched->child.process));
        }
        return Failure{std::string(SERVICE_STOPPING)};
    }
    if (Result<void> resumed = resume_core(launched.value()); !resumed) {
        return resumed;
    }
    record_.job = std::move(launched->job);
    {
        std::lock_guard<std::mutex> jobs(job_lock_);
        job_terminator_ = terminator_of(record_.job.get());
    }
    record_.child = std::move(launched->child);
    record_.mixed_port = mixed_port;
    record_.ctl_port = ctl_port;
    return {};
}

void Supervisor::stop() {
    std::lock_guard<std::mutex> request(requests_);
    std::lock_guard<std::timed_mutex> held(lock_);
    end_recorded(BOUNDED_WAIT_MS);
}

CoreStatus Supervisor::status() {
    std::lock_guard<std::timed_mutex> held(lock_);
    if (!core_running(record_)) {
        return {};
    }
    return CoreStatus{true, record_.mixed_port, record_.ctl_port};
}

void Supervisor::shut_down() {
    std::lock_guard<std::timed_mutex> held(lock_);
    stopping_ = true;
    end_recorded(BOUNDED_WAIT_MS);
}

void Supervisor::shut_down_for_system_shutdown() {
    // Before anything else: from here on a start that takes the lock, while this waits
    // for it too, launches and resumes nothing.
    stopping_ = true;
    {
        std::lock_guard<std::mutex> jobs(job_lock_);
        if (job_terminator_) {
            TerminateJobObject(job_terminator_.get(), TERMINATED_EXIT_CODE);
        }
    }
    std::unique_lock<std::timed_mutex> held(lock_,
                                            std::chrono::milliseconds(SHUTDOWN_LOCK_WAIT_MS));
    if (held) {
        end_recorded(SHUTDOWN_CORE_WAIT_MS);
    }
}

void Supervisor::release_install_files() {
    std::lock_guard<std::mutex> request(requests_);
    install_.wintun_source.reset();
    install_.core_exe.reset();
}

bool Supervisor::await_outlived_cores(DWORD bound_ms) {
    const std::uint64_t deadline = GetTickCount64() + bound_ms;
    std::lock_guard<std::timed_mutex> held(lock_);
    for (win::UniqueHandle& core : outlived_) {
        const std::uint64_t now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(core.get(), left) != WAIT_OBJECT_0) {
            return false;
        }
    }
    outlived_.clear();
    return true;
}

void Supervisor::end_recorded(DWORD wait_ms) {
    win::UniqueHandle outlived = stop_core(record_, wait_ms);
    // The job's kill-on-close comes with its last handle: this one, right after the
    // record's.
    {
        std::lock_guard<std::mutex> jobs(job_lock_);
        job_terminator_.reset();
    }
    keep_outlived(std::move(outlived));
}

void Supervisor::keep_outlived(win::UniqueHandle core) {
    // Those that have ended since go, so that the list stays short.
    std::erase_if(outlived_, [](const win::UniqueHandle& kept) {
        return WaitForSingleObject(kept.get(), 0) == WAIT_OBJECT_0;
    });
    if (core) {
        outlived_.push_back(std::move(core));
    }
}

}  // namespace korvan::core
