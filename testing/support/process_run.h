#pragma once

// Running a program to its end and capturing what it printed.

#include <windows.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace korvan::test_support {

struct Ran {
    DWORD exit_code = 0;
    std::string out;
    std::string err;

    friend bool operator==(const Ran&, const Ran&) = default;
};

// For test failure messages.
void PrintTo(const Ran& ran, std::ostream* os);

// Runs `command_line` (as CreateProcessW takes it) with the environment of this
// process, plus `extra_env` entries "NAME=value" that replace or add variables.
// Standard input is the null device. nullopt when it cannot be started or does not
// end within `timeout_ms`.
std::optional<Ran> run(const std::wstring& command_line,
                       const std::vector<std::wstring>& extra_env = {}, DWORD timeout_ms = 60000);

}  // namespace korvan::test_support
