#pragma once

// The service's status reports to the Service Control Manager, made by the service
// thread and, at the system's shutdown, by the control handler: SERVICE_STOPPED is
// reported once, by whichever of the two comes first, and nothing after it.

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>

#include "common/result.h"

namespace korvan::service {

// Reports a status of the service: SetServiceStatus, or a stand-in.
using StatusReport = std::function<Result<void>(DWORD state, DWORD exit_code)>;

class ServiceStatus {
  public:
    // Reports go to `report`; until one is attached, nothing is reported.
    explicit ServiceStatus(StatusReport report = {}) : report_(std::move(report)) {}
    ServiceStatus(const ServiceStatus&) = delete;
    ServiceStatus& operator=(const ServiceStatus&) = delete;

    // Reports go to `report` from now on. The service attaches SetServiceStatus once its
    // handler is registered, before it reports SERVICE_RUNNING: no stop or shutdown
    // control comes before that report accepts them.
    void attach(StatusReport report);

    // Reports `state` with `exit_code`, unless SERVICE_STOPPED has been reported: then
    // nothing, and success. Yields the report's failure; a failed SERVICE_STOPPED report
    // does not count as made.
    Result<void> report(DWORD state, DWORD exit_code = NO_ERROR);

    // Whether SERVICE_STOPPED has been reported, waiting for it at most `timeout_ms`.
    bool stopped_within(DWORD timeout_ms);

    // The system is shutting down: the control handler says so before it stops the
    // service, and the service's end skips what does not fit the system's budget.
    void begin_shutdown() { shutdown_ = true; }
    bool shutting_down() const { return shutdown_; }

  private:
    std::mutex lock_;
    std::condition_variable stopped_reported_;
    StatusReport report_;
    bool stopped_ = false;
    std::atomic<bool> shutdown_ = false;
};

}  // namespace korvan::service
