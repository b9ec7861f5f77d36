#include "core/supervisor.h"

#include <string>
#include <utility>

#include "core/supervise.h"

namespace korvan::core {

Supervisor::Supervisor(InstallFiles install, Launch launch)
    : install_(std::move(install)), launch_(launch) {}

Result<void> Supervisor::start(std::string_view config_yaml, std::uint16_t mixed_port,
                               std::uint16_t ctl_port) {
    std::lock_guard<std::mutex> request(requests_);
    {
        std::lock_guard<std::mutex> held(lock_);
        if (stopping_) {
            return Failure{std::string(SERVICE_STOPPING)};
        }
        keep_outlived(stop_core(record_));
    }
    Result<LaunchedCore> launched = launch_(install_, config_yaml);
    if (!launched) {
        return launched.failure();
    }
    // The service's stop may have come during the file work: a core it could not see
    // must not run past it.
    std::lock_guard<std::mutex> held(lock_);
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
    record_.child = std::move(launched->child);
    record_.mixed_port = mixed_port;
    record_.ctl_port = ctl_port;
    return {};
}

void Supervisor::stop() {
    std::lock_guard<std::mutex> request(requests_);
    std::lock_guard<std::mutex> held(lock_);
    keep_outlived(stop_core(record_));
}

CoreStatus Supervisor::status() {
    std::lock_guard<std::mutex> held(lock_);
    if (!core_running(record_)) {
        return {};
    }
    return CoreStatus{true, record_.mixed_port, record_.ctl_port};
}

void Supervisor::shut_down() {
    std::lock_guard<std::mutex> held(lock_);
    stopping_ = true;
    keep_outlived(stop_core(record_));
}

void Supervisor::release_install_files() {
    std::lock_guard<std::mutex> request(requests_);
    install_.wintun_source.reset();
    install_.core_exe.reset();
}

bool Supervisor::await_outlived_cores(DWORD bound_ms) {
    const std::uint64_t deadline = GetTickCount64() + bound_ms;
    std::lock_guard<std::mutex> held(lock_);
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
