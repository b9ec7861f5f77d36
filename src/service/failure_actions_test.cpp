// The failure actions the install asks the Service Control Manager for, seen through a
// stand-in for ChangeServiceConfig2W: Wine's SCM accepts them and keeps nothing, so only
// Windows reads them back (service_test.cpp).

#include "service/failure_actions.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace korvan::service {
namespace {

// What the stand-in was asked, copied out of the caller's structure.
struct Asked {
    SC_HANDLE service = nullptr;
    DWORD level = 0;
    DWORD reset_period_s = 0;
    std::optional<std::wstring> reboot_message;
    std::optional<std::wstring> command;
    std::vector<std::pair<SC_ACTION_TYPE, DWORD>> actions;
};

// Every call the stand-in got, in order.
std::vector<Asked> calls;
DWORD refusal = ERROR_SUCCESS;

BOOL WINAPI change_stand_in(SC_HANDLE service, DWORD level, LPVOID info) {
    Asked& asked = calls.emplace_back();
    asked.service = service;
    asked.level = level;
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const auto* given = static_cast<const SERVICE_FAILURE_ACTIONSW*>(info);
        asked.reset_period_s = given->dwResetPeriod;
        if (given->lpRebootMsg) {
            asked.reboot_message = given->lpRebootMsg;
        }
        if (given->lpCommand) {
            asked.command = given->lpCommand;
        }
        for (DWORD i = 0; i < given->cActions; ++i) {
            asked.actions.emplace_back(given->lpsaActions[i].Type, given->lpsaActions[i].Delay);
        }
    }
    if (refusal != ERROR_SUCCESS) {
        SetLastError(refusal);
        return FALSE;
    }
    return TRUE;
}

SC_HANDLE some_handle() {
    return reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(0x1234));
}

// One call, with the actions: anything else, such as FAILURE_ACTIONS_FLAG set beside
// them, would change what a stop reported with an exit code does.
TEST(SetRestartOnFailure, AsksForRestartsAfter5And10And60SecondsCountedAfreshAfterADay) {
    refusal = ERROR_SUCCESS;
    calls.clear();
    ASSERT_TRUE(set_restart_on_failure(some_handle(), change_stand_in));
    ASSERT_EQ(calls.size(), 1u);
    const Asked& asked = calls.front();
    EXPECT_EQ(asked.service, some_handle());
    EXPECT_EQ(asked.level, static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS));
    EXPECT_EQ(asked.reset_period_s, 86400u);
    EXPECT_EQ(asked.reboot_message, std::nullopt);
    EXPECT_EQ(asked.command, std::nullopt);
    const std::vector<std::pair<SC_ACTION_TYPE, DWORD>> restarts = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}};
    EXPECT_EQ(asked.actions, restarts);
}

TEST(SetRestartOnFailure, FailsWithTheRefusalInTheWindowsApiForm) {
    refusal = ERROR_ACCESS_DENIED;
    calls.clear();
    const Result<void> set = set_restart_on_failure(some_handle(), change_stand_in);
    refusal = ERROR_SUCCESS;
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error(),
              "ChangeServiceConfig2W: " + test_support::expected_winapi_text(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace korvan::service
