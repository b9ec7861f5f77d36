#include "service/status_report.h"

#include <chrono>
#include <utility>

namespace korvan::service {

void ServiceStatus::attach(StatusReport report) {
    std::lock_guard<std::mutex> held(lock_);
    report_ = std::move(report);
}

Result<void> ServiceStatus::report(DWORD state, DWORD exit_code) {
    std::lock_guard<std::mutex> held(lock_);
    if (stopped_ || !report_) {
        return {};
    }
    Result<void> reported = report_(state, exit_code);
    if (reported && state == SERVICE_STOPPED) {
        stopped_ = true;
        stopped_reported_.notify_all();
    }
    return reported;
}

bool ServiceStatus::stopped_within(DWORD timeout_ms) {
    std::unique_lock<std::mutex> held(lock_);
    return stopped_reported_.wait_for(held, std::chrono::milliseconds(timeout_ms),
                                      [this] { return stopped_; });
}

}  // namespace korvan::service
