#include "workdir/program_data.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace korvan::workdir {
namespace {

using test_support::ScopedEnv;

TEST(ProgramData, AStartNeedsTheVariableAndTheLogFallsBackToCProgramData) {
    struct Case {
        const char* name;
        std::optional<std::wstring> value;
        std::optional<std::wstring> for_start;
        std::wstring for_log;
    };
    const std::vector<Case> cases = {
        {"set", L"D:\\Data", L"D:\\Data", L"D:\\Data"},
        {"empty", L"", L"", L""},
        {"unset", std::nullopt, std::nullopt, L"C:\\ProgramData"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScopedEnv program_data(L"ProgramData", c.value);
        const Result<std::wstring> start = program_data_for_start();
        if (c.for_start) {
            ASSERT_TRUE(start.ok()) << start.error();
            EXPECT_EQ(start.value(), *c.for_start);
        } else {
            ASSERT_FALSE(start.ok());
            EXPECT_EQ(start.error(), "ProgramData not set");
        }
        EXPECT_EQ(program_data_for_log(), c.for_log);
    }
}

}  // namespace
}  // namespace korvan::workdir
