#pragma once

// What the reliability programs share: the service's exact answers, its process as the
// Service Control Manager reports it, figures about that process, and timing.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "support/installed_service.h"
#include "support/test_support.h"
#include "win/handle.h"

namespace korvan::reliability {

inline constexpr wchar_t CORE_IMAGE[] = L"mihomo-x86_64-pc-windows-msvc.exe";

inline constexpr std::string_view PONG = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
inline constexpr std::string_view STOPPED = R"({"ok":"stopped"})";
inline constexpr std::string_view STATUS_IDLE =
    R"({"ok":"status","running":false,"mixed_port":null,"ctl_port":null})";
inline constexpr std::uint16_t MIXED_PORT = 7890;
inline constexpr std::uint16_t CTL_PORT = 9090;
inline constexpr std::string_view STATUS_RUNNING =
    R"({"ok":"status","running":true,"mixed_port":7890,"ctl_port":9090})";
inline constexpr std::string_view STARTED = R"({"ok":"started","mixed_port":7890,"ctl_port":9090})";
// A start that reaches the core's supervisor once the service's stop has begun.
inline constexpr std::string_view START_REFUSED_STOPPING =
    R"({"ok":"error","code":"start_failed","message":"service is stopping"})";

// A start request for MIXED_PORT and CTL_PORT whose configuration is `config_yaml`.
std::string start_request(std::string_view config_yaml);
// A configuration that makes the stand-in core write its record, with its pid, to
// `record_path`.
std::string recording_config(const std::wstring& record_path);
// The exact "bad_request" answer carrying `decoder_message`.
std::string bad_request_answer(std::string_view decoder_message);

// The service's status and a wait for one of its states.
using test_support::query_service;
using test_support::wait_for_service_state;

// Figures of another process. Each is nullopt when the system refuses it.
struct ProcessFigures {
    // GetProcessHandleCount.
    std::optional<DWORD> handles;
    // The entries of the system's handle table (NtQuerySystemInformation) owned by it.
    std::optional<DWORD> table_handles;
    // PROCESS_MEMORY_COUNTERS_EX from GetProcessMemoryInfo.
    std::optional<SIZE_T> private_bytes;
    std::optional<SIZE_T> working_set;
    DWORD handles_error = ERROR_SUCCESS;
    DWORD memory_error = ERROR_SUCCESS;
};
ProcessFigures process_figures(DWORD pid);

// Ids of the running processes whose image is named `image` (case-insensitive).
std::vector<DWORD> processes_named(std::wstring_view image);

// The exit code of a process that has ended in time.
using test_support::exit_code_after;

// The first "pid=N" of the stand-in core's record at `record_path`, once the record
// exists (waiting up to `timeout_ms`).
std::optional<DWORD> recorded_pid(const std::wstring& record_path, DWORD timeout_ms);

// A monotonic clock in microseconds.
std::uint64_t now_us();

// The q-th quantile (0..1) of `samples` by the nearest-rank rule; 0 when empty. Sorts.
std::uint64_t quantile(std::vector<std::uint64_t>& samples, double q);

// "12.3 ms" from microseconds.
std::string millis(std::uint64_t us);

// Prints one line to standard output, as it is (LF only).
void print_line(std::string_view line);

}  // namespace korvan::reliability
