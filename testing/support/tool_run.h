#pragma once

// Runs a program of the build as a child process, as a shell would: its arguments
// quoted into one command line, bytes on its standard input, and its standard output,
// standard error and exit code captured.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "support/process_run.h"

namespace korvan::test_support {

struct ToolResult {
    // Nothing when the program did not end within the guard of run_tool.
    std::optional<DWORD> exit_code;
    std::string out;
    std::string err;
};

// A started child and the threads that feed and drain its pipes.
using RunningTool = Captured;

// Starts `program` with `args`; `input` is written to its standard input, which is
// then closed.
RunningTool start_tool(const std::wstring& program, const std::vector<std::wstring>& args,
                       std::string input = {});

// Waits for the child (a minute at most: a guard against a hung child, which is
// ended then) and collects what it wrote.
ToolResult finish_tool(RunningTool& running);

inline ToolResult run_tool(const std::wstring& program, const std::vector<std::wstring>& args,
                           std::string input = {}) {
    RunningTool running = start_tool(program, args, std::move(input));
    return finish_tool(running);
}

// One argument quoted as CommandLineToArgvW reads it back.
std::wstring quote_argument(std::wstring_view arg);

}  // namespace korvan::test_support
