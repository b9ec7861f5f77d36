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

#include "core/supervise.h"
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
                  std::make_shared<core::Supervisor>(workdir::InstallFiles{}, launch)},
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

TEST(ControlHandler, AStartWhoseLastBytesArriveAfterTheStopIsRefused) {
    CoreSandbox sandbox;
    ServiceThread service;
    const std::string frame = test_support::framed(START_BODY);
    const UniqueHandle pipe = test_support::open_pipe();
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(test_support::send_bytes(pipe.get(), frame.substr(0, 10)));

    EXPECT_EQ(control_handler(SERVICE_CONTROL_STOP, 0, nullptr, &service.context),
              static_cast<DWORD>(NO_ERROR));
    ASSERT_TRUE(test_support::send_bytes(pipe.get(), frame.substr(10)));
    EXPECT_EQ(test_support::read_response(pipe.get()), REFUSED_AS_STOPPING);
    EXPECT_EQ(WaitForSingleObject(service.done.get(), 10000), WAIT_OBJECT_0);
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

}  // namespace
}  // namespace korvan::service
