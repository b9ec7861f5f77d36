// The server check, and what a missing pipe of the service means, against a service the
// Service Control Manager really runs: a stand-in (testing/fake_service) registered for
// the test under the service's name.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/frames.h"
#include "support/pipe_server.h"
#include "support/test_support.h"
#include "support/tool_run.h"
#include "win/handle.h"

namespace korvan::client {
namespace {

using test_support::framed;
using test_support::module_dir;
using test_support::PipeServer;
using test_support::run_tool;
using test_support::ToolResult;
using win::UniqueServiceHandle;

constexpr wchar_t SERVICE[] = L"korvan-vpn-service";
const std::string PONG = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
const std::string HINT = " (--no-server-check skips this check)\n";

std::wstring tool() {
    return module_dir() + L"\\korvan-vpn-ctl.exe";
}

// Polls the service's state until it is `state` (ten seconds at most).
SERVICE_STATUS_PROCESS wait_for_state(SC_HANDLE service, DWORD state) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    for (int waited = 0; waited < 10000; waited += 20) {
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof status, &needed) ||
            status.dwCurrentState == state) {
            break;
        }
        Sleep(20);
    }
    EXPECT_EQ(status.dwCurrentState, state);
    return status;
}

void stop_and_delete(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        wait_for_state(service, SERVICE_STOPPED);
    }
    DeleteService(service);
}

// The stand-in, registered as korvan-vpn-service and started on `pipe`; stopped and
// removed at the end of the scope.
struct InstalledStandIn {
    explicit InstalledStandIn(const std::wstring& pipe) {
        manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        EXPECT_TRUE(manager.valid()) << GetLastError();
        // What an earlier run may have left behind.
        if (UniqueServiceHandle old{OpenServiceW(manager.get(), SERVICE, SERVICE_ALL_ACCESS)}) {
            stop_and_delete(old.get());
        }
        const std::wstring path = L"\"" + module_dir() + L"\\fake_service.exe\"";
        service.reset(CreateServiceW(manager.get(), SERVICE, SERVICE, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
                                     nullptr, nullptr));
        EXPECT_TRUE(service.valid()) << GetLastError();
        const wchar_t* args[] = {pipe.c_str()};
        EXPECT_TRUE(StartServiceW(service.get(), 1, args)) << GetLastError();
        process_id = wait_for_state(service.get(), SERVICE_RUNNING).dwProcessId;
    }
    ~InstalledStandIn() {
        if (service) {
            stop_and_delete(service.get());
        }
    }
    InstalledStandIn(const InstalledStandIn&) = delete;
    InstalledStandIn& operator=(const InstalledStandIn&) = delete;

    void stop() {
        SERVICE_STATUS status{};
        EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
        wait_for_state(service.get(), SERVICE_STOPPED);
    }

    UniqueServiceHandle manager;
    UniqueServiceHandle service;
    DWORD process_id = 0;
};

void expect_result(const ToolResult& got, DWORD exit_code, const std::string& out,
                   const std::string& err) {
    EXPECT_EQ(got.exit_code, exit_code);
    EXPECT_EQ(got.out, out);
    EXPECT_EQ(got.err, err);
}

TEST(ServerCheckWithService, AdmitsThePipeOfTheRunningService) {
    const std::wstring pipe = test_support::unique_pipe_name();
    InstalledStandIn service(pipe);
    ASSERT_NE(service.process_id, 0u);
    ASSERT_NE(service.process_id, GetCurrentProcessId());
    expect_result(run_tool(tool(), {L"ping", L"--pipe", pipe}), 0,
                  "pong: protocol 1, service 1.0.0\n", "");
}

TEST(ServerCheckWithService, RefusesAnotherProcessWhileTheServiceRuns) {
    InstalledStandIn service(test_support::unique_pipe_name());
    ASSERT_NE(service.process_id, 0u);
    PipeServer impostor({{framed(PONG)}});
    expect_result(run_tool(tool(), {L"ping", L"--pipe", impostor.name}), 2, "",
                  "korvan-vpn-ctl: server check: the pipe is served by process " +
                      std::to_string(GetCurrentProcessId()) +
                      ", not by the service korvan-vpn-service (process " +
                      std::to_string(service.process_id) + ")" + HINT);
}

TEST(ServerCheckWithService, RefusesAnyProcessWhileTheServiceIsStopped) {
    InstalledStandIn service(test_support::unique_pipe_name());
    service.stop();
    PipeServer impostor({{framed(PONG)}});
    expect_result(run_tool(tool(), {L"ping", L"--pipe", impostor.name}), 2, "",
                  "korvan-vpn-ctl: server check: the service korvan-vpn-service is not running, "
                  "so process " +
                      std::to_string(GetCurrentProcessId()) + " that serves the pipe is not it" +
                      HINT);
}

// The service's pipe does not exist while the stand-in is stopped: the tool says so at
// once rather than waiting out its 10 s.
TEST(ServerCheckWithService, AStoppedServiceIsReportedAtOnce) {
    InstalledStandIn service(test_support::unique_pipe_name());
    service.stop();
    const ULONGLONG began = GetTickCount64();
    expect_result(run_tool(tool(), {L"ping"}), 2, "",
                  "korvan-vpn-ctl: connect \\\\.\\pipe\\korvan-vpn-service: the service "
                  "korvan-vpn-service is not running\n");
    // A generous bound for "at once": the tool's own start-up included.
    EXPECT_LT(GetTickCount64() - began, 5000u);
}

// A running service may not have made its pipe yet: the tool waits for it within its
// timeout. The stand-in serves a pipe of another name.
TEST(ServerCheckWithService, ARunningServiceWhosePipeIsMissingIsWaitedFor) {
    InstalledStandIn service(test_support::unique_pipe_name());
    ASSERT_NE(service.process_id, 0u);
    expect_result(run_tool(tool(), {L"ping", L"--timeout", L"1"}), 2, "",
                  "korvan-vpn-ctl: connect \\\\.\\pipe\\korvan-vpn-service: the pipe does "
                  "not exist (is the service running?)\n");
}

}  // namespace
}  // namespace korvan::client
