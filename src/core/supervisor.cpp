#include "core/supervisor.h"

#include <string>
#include <utility>

#include "core/supervise.h"

namespace korvan::core {

Supervisor::Supervisor(workdir::InstallFiles install, Launch launch)
    : install_(std::move(install)), launch_(launch) {}

Result<void> Supervisor::start(std::string_view config_yaml, std::uint16_t mixed_port,
                               std::uint16_t ctl_port) {
    std::lock_guard<std::mutex> request(requests_);
    {
        std::lock_guard<std::mutex> held(lock_);
        if (stopping_) {
            return Failure{std::string(SERVICE_STOPPING)};
        }
        stop_core(record_);
    }
    Result<LaunchedCore> launched = launch_(install_, config_yaml);
    if (!launched) {
        return launched.failure();
    }
    // The service's stop may have come during the file work: a core it could not see
    // must not run past it.
    std::lock_guard<std::mutex> held(lock_);
    if (stopping_) {
        end_unrecorded(launched->child.process.get());
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
    stop_core(record_);
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
    stop_core(record_);
}

}  // namespace korvan::core
