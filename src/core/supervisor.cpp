#include "core/supervisor.h"

#include "core/launch.h"
#include "core/supervise.h"

namespace korvan::core {

Result<void> Supervisor::start(std::string_view config_yaml, std::uint16_t mixed_port,
                               std::uint16_t ctl_port) {
    std::lock_guard<std::mutex> held(lock_);
    stop_core(record_);
    Result<LaunchedCore> launched = start_core(config_yaml);
    if (!launched) {
        return launched.failure();
    }
    record_.job = std::move(launched->job);
    record_.child = std::move(launched->child);
    record_.mixed_port = mixed_port;
    record_.ctl_port = ctl_port;
    return {};
}

void Supervisor::stop() {
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

}  // namespace korvan::core
