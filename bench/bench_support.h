#pragma once

// What the Windows benchmark programs share: a clock, sample summaries, a plain client
// of a framed pipe, the bare echo server as a child, and process counters.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/pipe_client.h"
#include "win/handle.h"

namespace korvan::bench {

inline constexpr wchar_t SERVICE_PIPE[] = L"\\\\.\\pipe\\korvan-vpn-service";
inline constexpr wchar_t ECHO_PIPE[] = L"\\\\.\\pipe\\korvan-bench-echo";

inline constexpr char PING[] = R"({"op":"ping"})";
inline constexpr char STATUS[] = R"({"op":"status"})";
inline constexpr char STOP[] = R"({"op":"stop"})";
inline constexpr char PONG[] = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
inline constexpr char IDLE_STATUS[] =
    R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})";
inline constexpr char STOPPED[] = R"({"ok":"stopped"})";

// Microseconds on the performance counter.
double now_us();

struct Summary {
    size_t count = 0;
    double median = 0;
    double p99 = 0;
    double mean = 0;
    double max = 0;
};
Summary summarize(std::vector<double> samples);

// Frames, and writing and reading them on a client's handle.
using test_support::framed;
using test_support::read_response;
using test_support::send_bytes;

// Opens the pipe `name` for a client. A busy pipe is waited for with WaitNamedPipeW,
// a pipe with no instance (the server is between two) is tried again; an invalid
// handle once `timeout_ms` has passed.
win::UniqueHandle open_pipe(const wchar_t* name, DWORD timeout_ms = 10'000);

// One connection: opens `name`, sends `frame`, reads the response frame, closes.
std::optional<std::string> round_trip(const wchar_t* name, std::string_view frame);

// The folder of the running program.
std::wstring module_dir();

// A child program inside a kill-on-close job, so that it never outlives the benchmark.
struct Child {
    win::UniqueHandle job;
    win::UniqueProcess process;
    DWORD pid = 0;
};

// Starts `program` (beside this one) with `arguments` in a kill-on-close job.
std::optional<Child> start_child(const std::wstring& program, const std::wstring& arguments);

// Starts echo_server.exe on ECHO_PIPE and waits until its pipe has an instance.
std::optional<Child> start_echo_server();

// The process id of the running service, from the SCM.
std::optional<DWORD> service_pid();

// GetProcessMemoryInfo (PROCESS_MEMORY_COUNTERS_EX) and GetProcessHandleCount. Where
// Wine leaves a figure at 0, the same figure is taken from where Wine does give it,
// and the flag says so: PagefileUsage for the private bytes, the process list of
// NtQuerySystemInformation for the handles.
struct Counters {
    std::uint64_t private_bytes = 0;
    std::uint64_t working_set = 0;
    DWORD handles = 0;
    bool private_from_pagefile = false;
    bool handles_listed = false;
};
std::optional<Counters> counters_of(HANDLE process);

// Prints to standard output and flushes, so that a reader of the log sees it at once.
void say(const char* format, ...);

}  // namespace korvan::bench
