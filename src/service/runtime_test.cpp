// The control handler in this process, with the listener on a thread of the test as the
// service thread would run it. A shutdown is tested here only: the system alone sends
// it, and ControlService refuses SERVICE_CONTROL_SHUTDOWN (ERROR_INVALID_PARAMETER, on
// Windows and under Wine alike).

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

struct ServiceThread {
    explicit ServiceThread(core::Supervisor::Launch launch = core::start_core_suspended)
        : context{win::make_stop_flag(),
                  std::make_shared<core::Supervisor>(core::InstallFiles{}, launch)},
          thread([this] {
              pipe::run_pipe_listener(*context.stop, *context.supervisor);
              SetEvent(done.get());
          }) {}
    ~ServiceThread() {
        if (thread.joinable()) {
            context.stop->set();
            context.stop->signal();
            thread.join();
        }
    }

    HandlerContext context;
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
    HandlerContext context{win::make_stop_flag(), std::make_shared<core::Supervisor>()};
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
struct Reported {
    DWORD state;
    DWORD exit_code;
    bool files_writable;
    bool operator==(const Reported&) const = default;
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

StatusReport recording(std::vector<Reported>& reports) {
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
    std::vector<Reported> reports;

    ASSERT_TRUE(finish_service(supervisor, recording(reports)));

    EXPECT_EQ(reports, (std::vector<Reported>{{SERVICE_STOPPED, NO_ERROR, true}}));
}

TEST(FinishService, WaitsForACoreThatOutlivedItsStopBeforeItReportsStopped) {
    struct Case {
        const char* name;
        // When the core ends, counted from the wait's start; never when absent.
        std::optional<DWORD> ends_after_ms;
        std::vector<Reported> reports;
        std::optional<std::string> log;
    };
    const Case cases[] = {
        // The core's image stays mapped, and its file cannot be replaced, while it runs.
        {"the core ends within the wait",
         300,
         {{SERVICE_STOP_PENDING, NO_ERROR, false}, {SERVICE_STOPPED, NO_ERROR, true}},
         std::nullopt},
        {"the core still runs at its end",
         std::nullopt,
         {{SERVICE_STOP_PENDING, NO_ERROR, false}, {SERVICE_STOPPED, ERROR_TIMEOUT, false}},
         "stop: a core the service terminated has not ended\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::LoggedSandbox sandbox;
        core::Supervisor supervisor(core::open_install_files());
        const UniqueHandle core = outlive_a_stop(supervisor, sandbox);
        ASSERT_TRUE(core);
        std::vector<Reported> reports;
        std::optional<DWORD> exit_when_stopped;
        StatusReport report = [&](DWORD state, DWORD exit_code) -> Result<void> {
            if (state == SERVICE_STOPPED) {
                exit_when_stopped = test_support::exit_code_after(core.get(), 0);
            }
            return recording(reports)(state, exit_code);
        };
        std::optional<Background> ender;
        if (c.ends_after_ms) {
            ender.emplace([&] {
                Sleep(*c.ends_after_ms);
                TerminateProcess(core.get(), 7);
            });
        }

        ASSERT_TRUE(finish_service(supervisor, report, 2000));

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
