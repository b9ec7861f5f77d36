// The control handler in this process, with the listener and the service's end on a
// thread of the test as the service thread would run them, and a stand-in for
// SetServiceStatus. A shutdown is tested here only: the system alone sends it, and
// ControlService refuses SERVICE_CONTROL_SHUTDOWN (ERROR_INVALID_PARAMETER, on Windows
// and under Wine alike).

#include "service/runtime.h"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/launch.h"
#include "core/supervise.h"
#include "log/service_log.h"
#include "pipe/listener.h"
#include "support/core_sandbox.h"
#include "support/frames.h"
#include "support/held_launch.h"
#include "support/pipe_client.h"
#include "support/supervisor_probe.h"

namespace korvan::service {
namespace {

using test_support::Background;
using test_support::CoreSandbox;
using test_support::HeldLaunch;
using win::UniqueHandle;

constexpr char START_BODY[] =
    R"({"op":"start","config_yaml":"mixed-port: 7890\n","secret":"","mixed_port":1,"ctl_port":2})";
constexpr char REFUSED_AS_STOPPING[] =
    R"({"ok":"error","code":"start_failed","message":"service is stopping"})";

// A status report as the stand-in took it, with when it came.
struct Reported {
    DWORD state;
    DWORD exit_code;
    ULONGLONG at;
};

// The service thread, the listener and the service's end, as run_service serves once
// SERVICE_RUNNING is reported, with a stand-in for SetServiceStatus that records.
struct ServiceThread {
    explicit ServiceThread(core::Supervisor::Launch launch = core::start_core_suspended)
        : context{win::make_stop_flag(),
                  std::make_shared<core::Supervisor>(core::InstallFiles{}, launch),
                  std::make_shared<ServiceStatus>(
                      [this](DWORD state, DWORD exit_code) -> Result<void> {
                          std::lock_guard held(reports_lock);
                          reports.push_back({state, exit_code, GetTickCount64()});
                          return {};
                      })},
          thread([this] {
              served = serve(context);
              SetEvent(done.get());
          }) {}
    ~ServiceThread() {
        if (thread.joinable()) {
            context.stop->set();
            context.stop->signal();
            thread.join();
        }
    }

    std::vector<Reported> reported() {
        std::lock_guard held(reports_lock);
        return reports;
    }

    HandlerContext context;
    std::mutex reports_lock;
    std::vector<Reported> reports;
    Result<void> served;
    UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread thread;
};

TEST(ControlHandler, StopAndShutdownEndTheCoreAndTheListener) {
    for (DWORD control : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}}) {
        SCOPED_TRACE(control);
        CoreSandbox sandbox;
        ServiceThread service;
        Result<void> started = service.context.supervisor->start("k: v\n", 1, 2);
        ASSERT_TRUE(started.ok()) << started.error();
        UniqueHandle process;
        {
            core::Supervisor& supervisor = *service.context.supervisor;
            std::lock_guard held(core::SupervisorProbe::lock(supervisor));
            process = test_support::duplicate(
                core::SupervisorProbe::record(supervisor).child->process.get());
        }

        EXPECT_EQ(control_handler(control, 0, nullptr, &service.context),
                  static_cast<DWORD>(NO_ERROR));
        // The core has ended by the time the handler returns.
        EXPECT_EQ(test_support::exit_code_after(process.get(), 0), 1u);
        EXPECT_TRUE(service.context.stop->is_set());
        EXPECT_EQ(WaitForSingleObject(service.done.get(), 10000), WAIT_OBJECT_0);
        // A second stop finds nothing left to do.
        EXPECT_EQ(control_handler(control, 0, nullptr, &service.context),
                  static_cast<DWORD>(NO_ERROR));
        EXPECT_TRUE(service.served);
        const std::vector<Reported> reports = service.reported();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].state, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(reports[0].exit_code, static_cast<DWORD>(NO_ERROR));
        core::Supervisor& supervisor = *service.context.supervisor;
        std::lock_guard held(core::SupervisorProbe::lock(supervisor));
        EXPECT_FALSE(core::SupervisorProbe::record(supervisor).child);
        EXPECT_FALSE(core::SupervisorProbe::record(supervisor).job);
    }
}

TEST(ControlHandler, TheListenerIsLetGoOnlyOnceTheCoreHasEnded) {
    CoreSandbox sandbox;
    ServiceThread service;
    core::Supervisor& supervisor = *service.context.supervisor;
    Result<void> started = supervisor.start("k: v\n", 1, 2);
    ASSERT_TRUE(started.ok()) << started.error();
    std::unique_lock held(core::SupervisorProbe::lock(supervisor));
    const UniqueHandle process =
        test_support::duplicate(core::SupervisorProbe::record(supervisor).child->process.get());
    {
        // The record's lock is held as a request would hold it.
        Background handler(
            [&] { control_handler(SERVICE_CONTROL_STOP, 0, nullptr, &service.context); });
        EXPECT_EQ(WaitForSingleObject(service.done.get(), 500), static_cast<DWORD>(WAIT_TIMEOUT))
            << "the listener ended while the core still ran";
        EXPECT_FALSE(handler.done_within(0));
        held.unlock();
        EXPECT_TRUE(handler.done_within(core::BOUNDED_WAIT_MS + 5000));
    }
    EXPECT_EQ(test_support::exit_code_after(process.get(), 0), 1u);
    EXPECT_EQ(WaitForSingleObject(service.done.get(), 10000), WAIT_OBJECT_0);
}

TEST(ControlHandler, AStopDuringAStartsFileWorkReturnsAndTheListenerEndsWithNoCore) {
    CoreSandbox sandbox;
    HeldLaunch launch;
    ServiceThread service(test_support::launch_when_released);
    std::optional<std::string> answer;
    {
        Background client([&] { answer = test_support::request(START_BODY); });
        EXPECT_EQ(WaitForSingleObject(launch.entered.get(), 10000), WAIT_OBJECT_0);
        {
            Background handler(
                [&] { control_handler(SERVICE_CONTROL_STOP, 0, nullptr, &service.context); });
            EXPECT_TRUE(handler.done_within(core::BOUNDED_WAIT_MS + 5000))
                << "the stop waited on the start's file work";
            SetEvent(launch.release.get());
        }
        EXPECT_TRUE(client.done_within(10000));
    }
    EXPECT_EQ(answer, REFUSED_AS_STOPPING);
    EXPECT_EQ(WaitForSingleObject(service.done.get(), 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(launch.process);
    EXPECT_EQ(test_support::exit_code_after(launch.process.get(), 10000), 1u);
    EXPECT_FALSE(test_support::exists(sandbox.record)) << "the held start's core has run";
}

TEST(ControlHandler, AStartStillBeingSentWhenTheStopComesIsDroppedAndLaunchesNothing) {
    CoreSandbox sandbox;
    ServiceThread service;
    const std::string frame = test_support::framed(START_BODY);
    const UniqueHandle pipe = test_support::open_pipe();
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(test_support::send_bytes(pipe.get(), frame.substr(0, 10)));

    EXPECT_EQ(control_handler(SERVICE_CONTROL_STOP, 0, nullptr, &service.context),
              static_cast<DWORD>(NO_ERROR));
    // The stop ends the wait for the rest of the frame at once.
    EXPECT_EQ(WaitForSingleObject(service.done.get(), 2000), WAIT_OBJECT_0);
    (void)test_support::send_bytes(pipe.get(), frame.substr(10));
    EXPECT_EQ(test_support::read_response(pipe.get()), std::nullopt);
    Sleep(200);
    EXPECT_FALSE(test_support::exists(sandbox.record)) << "a core was launched after the stop";
}

// Makes the recorded core one that ignores its termination: the record's process handle
// becomes an event that is never signalled, so that TerminateProcess fails on it and a
// wait for it runs to its bound. The real process, still in the record's job, is given
// back.
UniqueHandle ignore_termination(core::Supervisor& supervisor) {
    std::lock_guard held(core::SupervisorProbe::lock(supervisor));
    std::optional<win::UniqueProcess>& child = core::SupervisorProbe::record(supervisor).child;
    if (!child) {
        ADD_FAILURE() << "no core recorded";
        return {};
    }
    UniqueHandle real(child->process.release());
    child->process.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return real;
}

// Whether another thread takes the record's lock within `timeout_ms`.
bool lock_taken_within(core::Supervisor& supervisor, DWORD timeout_ms) {
    std::timed_mutex& lock = core::SupervisorProbe::lock(supervisor);
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (lock.try_lock()) {
        lock.unlock();
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

// The worst a stop meets: a core, recorded by a first start, that ignores its
// termination, and a second start, sent through the pipe, that ends that core first,
// waiting core::BOUNDED_WAIT_MS for it with the record's lock held, and then is held in
// its file work until the test lets it go.
struct StartBehindACoreThatDoesNotEnd {
    void set_up() {
        SetEvent(launch.release.get());
        const Result<void> first = service.context.supervisor->start("k: v\n", 1, 2);
        ASSERT_TRUE(first.ok()) << first.error();
        ResetEvent(launch.release.get());
        ResetEvent(launch.entered.get());
        first_core = ignore_termination(*service.context.supervisor);
        ASSERT_TRUE(first_core);
        client.emplace([this] { answer = test_support::request(START_BODY); });
        ASSERT_TRUE(lock_taken_within(*service.context.supervisor, 10000))
            << "the second start did not come";
    }

    // Destroyed in reverse: the held launch is let go before the client and the service
    // thread are waited for.
    test_support::LoggedSandbox sandbox;
    ServiceThread service{test_support::launch_when_released};
    std::optional<std::string> answer;
    std::optional<Background> client;
    HeldLaunch launch;
    UniqueHandle first_core;
};

// The system's budget at shutdown that the service keeps.
constexpr ULONGLONG SHUTDOWN_BUDGET_MS = 4000;

TEST(ControlHandler, AShutdownReportsStoppedWithin4sBehindAStartAndACoreThatDoNotEnd) {
    StartBehindACoreThatDoesNotEnd worst;
    worst.set_up();
    ASSERT_FALSE(HasFatalFailure());
    const ULONGLONG sent = GetTickCount64();
    {
        Background handler(
            [&] { control_handler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, &worst.service.context); });
        EXPECT_TRUE(handler.done_within(SHUTDOWN_BUDGET_MS));
    }
    const ULONGLONG returned = GetTickCount64();
    // Ended by the termination of its job, with the record's lock still held by the start.
    EXPECT_EQ(test_support::exit_code_after(worst.first_core.get(), 0), core::TERMINATED_EXIT_CODE);
    std::vector<Reported> reports = worst.service.reported();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(reports[0].exit_code, static_cast<DWORD>(NO_ERROR));
    EXPECT_LE(reports[0].at - sent, SHUTDOWN_BUDGET_MS);
    EXPECT_LE(returned - sent, SHUTDOWN_BUDGET_MS);
    // The handler reported it: the service thread still waits for the start.
    EXPECT_EQ(WaitForSingleObject(worst.service.done.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    SetEvent(worst.launch.release.get());
    EXPECT_TRUE(worst.client->done_within(core::BOUNDED_WAIT_MS + 10000));
    EXPECT_EQ(WaitForSingleObject(worst.service.done.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(worst.answer, REFUSED_AS_STOPPING);
    // The service thread's own SERVICE_STOPPED came after the handler's: not reported.
    reports = worst.service.reported();
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_TRUE(worst.service.served);
    ASSERT_TRUE(worst.launch.process);
    EXPECT_EQ(test_support::exit_code_after(worst.launch.process.get(), 10000),
              core::TERMINATED_EXIT_CODE);
}

// A stop's worst case, besides a start's file work: the record's lock behind a start's
// wait for its old core, then the wait for the core the handler ends, the start's end of
// the core it launched, the pipe's wait for a client to take its answer, and the wait for
// a core that outlived its stop (docs/WINDOWS.md).
constexpr ULONGLONG STOP_BOUND_MS = 3 * core::BOUNDED_WAIT_MS + 1000 + OUTLIVED_CORE_WAIT_MS;

TEST(ControlHandler, AStopKeepsItsLongerWaitsBehindAStartAndACoreThatDoNotEnd) {
    StartBehindACoreThatDoesNotEnd worst;
    worst.set_up();
    ASSERT_FALSE(HasFatalFailure());
    const ULONGLONG sent = GetTickCount64();
    {
        Background handler(
            [&] { control_handler(SERVICE_CONTROL_STOP, 0, nullptr, &worst.service.context); });
        // The stop waits for the record's lock as long as the start holds it.
        EXPECT_FALSE(handler.done_within(core::SHUTDOWN_LOCK_WAIT_MS + 1000));
        EXPECT_TRUE(handler.done_within(core::BOUNDED_WAIT_MS + 5000));
    }
    SetEvent(worst.launch.release.get());
    EXPECT_TRUE(worst.client->done_within(10000));
    EXPECT_EQ(worst.answer, REFUSED_AS_STOPPING);
    EXPECT_EQ(WaitForSingleObject(worst.service.done.get(), OUTLIVED_CORE_WAIT_MS + 10000),
              WAIT_OBJECT_0);
    EXPECT_TRUE(worst.service.served);
    // Ended when the start closed its job.
    EXPECT_TRUE(test_support::exit_code_after(worst.first_core.get(), 0).has_value());
    const std::vector<Reported> reports = worst.service.reported();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].state, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(reports[1].state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(reports[1].exit_code, static_cast<DWORD>(ERROR_TIMEOUT));
    // GetTickCount64 moves in steps of up to 16 ms.
    EXPECT_GE(reports[1].at - reports[0].at + 16, OUTLIVED_CORE_WAIT_MS);
    EXPECT_LE(reports[1].at - sent, STOP_BOUND_MS);
    log::flush_log();
    const std::optional<std::string> log =
        test_support::read_file(worst.sandbox.work + L"\\service.log");
    ASSERT_TRUE(log);
    EXPECT_NE(log->find(std::string(CORE_OUTLIVED_STOP_LOG) + "\n"), std::string::npos);
}

TEST(ControlHandler, OtherControlsChangeNothing) {
    struct Case {
        DWORD control;
        DWORD result;
    };
    const Case cases[] = {
        {SERVICE_CONTROL_INTERROGATE, NO_ERROR},
        {SERVICE_CONTROL_PAUSE, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_CONTINUE, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_PARAMCHANGE, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_NETBINDADD, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_NETBINDDISABLE, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_HARDWAREPROFILECHANGE, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_POWEREVENT, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_SESSIONCHANGE, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_PRESHUTDOWN, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_TIMECHANGE, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_TRIGGEREVENT, ERROR_CALL_NOT_IMPLEMENTED},
        {128, ERROR_CALL_NOT_IMPLEMENTED},
        {255, ERROR_CALL_NOT_IMPLEMENTED},
        {0x1000, ERROR_CALL_NOT_IMPLEMENTED},
    };
    HandlerContext context{win::make_stop_flag(), std::make_shared<core::Supervisor>(),
                           std::make_shared<ServiceStatus>()};
    ASSERT_TRUE(context.stop);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        EXPECT_EQ(control_handler(c.control, 0, nullptr, &context), c.result);
        EXPECT_FALSE(context.stop->is_set());
        EXPECT_EQ(WaitForSingleObject(context.stop->event(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
}

// What the service reported, and whether an installer could then have replaced the
// install folder's two files.
struct ReportedAtTheEnd {
    DWORD state;
    DWORD exit_code;
    bool files_writable;
    bool operator==(const ReportedAtTheEnd&) const = default;
};

bool install_files_writable() {
    for (const wchar_t* name : {core::CORE_EXE_NAME, core::WINTUN_SOURCE_NAME}) {
        const std::wstring path = test_support::module_dir() + L"\\" + name;
        const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) {
            return false;
        }
    }
    return true;
}

StatusReport recording(std::vector<ReportedAtTheEnd>& reports) {
    return [&reports](DWORD state, DWORD exit_code) -> Result<void> {
        reports.push_back({state, exit_code, install_files_writable()});
        return {};
    };
}

// A core that a stop terminated and that had not ended when its wait ran out: here one
// that was never terminated at all.
UniqueHandle outlive_a_stop(core::Supervisor& supervisor, const CoreSandbox& sandbox) {
    Result<win::UniqueProcess> spawned =
        core::spawn_core(test_support::module_dir() + L"\\" + core::CORE_EXE_NAME,
                         sandbox.root.path, sandbox.root.path + L"\\config.yaml");
    EXPECT_TRUE(spawned.ok()) << spawned.error();
    if (!spawned) {
        return {};
    }
    UniqueHandle process = test_support::duplicate(spawned->process.get());
    std::lock_guard held(core::SupervisorProbe::lock(supervisor));
    core::SupervisorProbe::outlived(supervisor).push_back(std::move(spawned->process));
    return process;
}

TEST(FinishService, ReleasesTheInstallFilesBeforeItReportsStopped) {
    CoreSandbox sandbox;
    core::Supervisor supervisor(core::open_install_files());
    ASSERT_FALSE(install_files_writable()) << "the service does not hold its install files";
    std::vector<ReportedAtTheEnd> reports;
    ServiceStatus status(recording(reports));

    ASSERT_TRUE(finish_service(supervisor, status));

    EXPECT_EQ(reports, (std::vector<ReportedAtTheEnd>{{SERVICE_STOPPED, NO_ERROR, true}}));
}

TEST(FinishService, WaitsForACoreThatOutlivedItsStopBeforeItReportsStoppedButNotAtShutdown) {
    struct Case {
        const char* name;
        bool shutdown;
        // When the core ends, counted from the wait's start; never when absent.
        std::optional<DWORD> ends_after_ms;
        std::vector<ReportedAtTheEnd> reports;
        std::optional<std::string> log;
    };
    const Case cases[] = {
        // The core's image stays mapped, and its file cannot be replaced, while it runs.
        {"the core ends within the wait",
         false,
         300,
         {{SERVICE_STOP_PENDING, NO_ERROR, false}, {SERVICE_STOPPED, NO_ERROR, true}},
         std::nullopt},
        {"the core still runs at its end",
         false,
         std::nullopt,
         {{SERVICE_STOP_PENDING, NO_ERROR, false}, {SERVICE_STOPPED, ERROR_TIMEOUT, false}},
         "stop: a core the service terminated has not ended\n"},
        // The job's kill-on-close ends it with the process.
        {"the system shuts down",
         true,
         std::nullopt,
         {{SERVICE_STOPPED, NO_ERROR, false}},
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::LoggedSandbox sandbox;
        core::Supervisor supervisor(core::open_install_files());
        const UniqueHandle core = outlive_a_stop(supervisor, sandbox);
        ASSERT_TRUE(core);
        std::vector<ReportedAtTheEnd> reports;
        std::optional<DWORD> exit_when_stopped;
        ServiceStatus status([&](DWORD state, DWORD exit_code) -> Result<void> {
            if (state == SERVICE_STOPPED) {
                exit_when_stopped = test_support::exit_code_after(core.get(), 0);
            }
            return recording(reports)(state, exit_code);
        });
        if (c.shutdown) {
            status.begin_shutdown();
        }
        std::optional<Background> ender;
        if (c.ends_after_ms) {
            ender.emplace([&] {
                Sleep(*c.ends_after_ms);
                TerminateProcess(core.get(), 7);
            });
        }

        ASSERT_TRUE(finish_service(supervisor, status, 2000));

        ender.reset();
        EXPECT_EQ(reports, c.reports);
        EXPECT_EQ(exit_when_stopped.has_value(), c.ends_after_ms.has_value());
        log::flush_log();
        EXPECT_EQ(test_support::read_file(sandbox.work + L"\\service.log"), c.log);
        TerminateProcess(core.get(), 7);
        WaitForSingleObject(core.get(), 10000);
    }
}

}  // namespace
}  // namespace korvan::service
