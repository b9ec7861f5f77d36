#pragma once

// Running a program with its standard streams captured.

#include <windows.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "win/handle.h"

namespace korvan::test_support {

struct Ran {
    DWORD exit_code = 0;
    std::string out;
    std::string err;

    friend bool operator==(const Ran&, const Ran&) = default;
};

// For test failure messages.
void PrintTo(const Ran& ran, std::ostream* os);

// A started child and the threads that feed and drain its pipes.
struct Captured {
    win::UniqueProcess child;
    std::thread feed;
    std::thread read_out;
    std::thread read_err;
    // On the heap: the reading threads hold on to it while the record moves.
    std::unique_ptr<Ran> ran = std::make_unique<Ran>();
};

// Starts `command_line` (as CreateProcessW takes it, with no window) with the
// environment of this process plus `extra_env` entries "NAME=value" that replace or
// add variables. `input` is written to its standard input, which is then closed.
// `child.process` is invalid when it could not be started.
Captured start_captured(const std::wstring& command_line,
                        const std::vector<std::wstring>& extra_env = {}, std::string input = {});

// Waits for the child up to `timeout_ms`, ending it after that, and collects what it
// wrote. False when it could not be started, did not end in time, or its exit code
// could not be read.
bool finish_captured(Captured& started, DWORD timeout_ms);

// start_captured and finish_captured in one: nullopt on a false finish.
std::optional<Ran> run(const std::wstring& command_line,
                       const std::vector<std::wstring>& extra_env = {}, DWORD timeout_ms = 60000);

}  // namespace korvan::test_support
