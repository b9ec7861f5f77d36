// The pipe names a caller may give, and the full names they stand for.

#include "client/pipe_name.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace korvan::client {
namespace {

TEST(FullPipeName, ABareNameGetsThePrefixAFullNameIsKeptAndOneWindowsWouldChangeIsRefused) {
    struct Case {
        std::string given;
        std::optional<std::string> full;
    };
    const std::vector<Case> cases = {
        {"korvan-vpn-service", "\\\\.\\pipe\\korvan-vpn-service"},
        {"\\\\.\\pipe\\korvan-vpn-service", "\\\\.\\pipe\\korvan-vpn-service"},
        {"my test pipe", "\\\\.\\pipe\\my test pipe"},
        {"", std::nullopt},
        {"\\\\.\\pipe\\", std::nullopt},
        {"C:\\tmp\\x", std::nullopt},
        {"a/b", std::nullopt},
        {"a\\b", std::nullopt},
        {"a.b c", "\\\\.\\pipe\\a.b c"},
        // Windows would open another name than the one given.
        {"\\\\.\\pipe\\..\\C:\\Windows\\win.ini", std::nullopt},
        {"\\\\.\\pipe\\x\\..\\korvan-vpn-service", std::nullopt},
        {"\\\\.\\pipe\\x/y", std::nullopt},
        {"..", std::nullopt},
        {"a..b", std::nullopt},
        {".", std::nullopt},
        {"korvan-vpn-service.", std::nullopt},
        {"korvan-vpn-service ", std::nullopt},
        {"\\\\.\\pipe\\korvan-vpn-service.", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(full_pipe_name(c.given), c.full) << c.given;
    }
}

}  // namespace
}  // namespace korvan::client
