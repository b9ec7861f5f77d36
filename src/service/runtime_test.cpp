// The control handler in this process, with the listener on a thread of the test as the
// service thread would run it. A shutdown is tested here only: the system alone sends
// it, and ControlService refuses SERVICE_CONTROL_SHUTDOWN (ERROR_INVALID_PARAMETER, on
// Windows and under Wine alike).

#include "service/runtime.h"

#include <gtest/gtest.h>

#include <thread>

#include "pipe/listener.h"
#include "support/core_sandbox.h"
#include "support/supervisor_probe.h"

namespace korvan::service {
namespace {

using test_support::CoreSandbox;
using win::UniqueHandle;

struct ServiceThread {
    ServiceThread()
        : thread([this] {
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

    HandlerContext context{win::make_stop_flag(), std::make_shared<core::Supervisor>()};
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
