#include "bench_support.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <numeric>

#include "support/installed_service.h"

namespace korvan::bench {

double now_us() {
    static const double ticks_per_us = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1e6;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticks_per_us;
}

Summary summarize(std::vector<double> samples) {
    Summary summary;
    if (samples.empty()) {
        return summary;
    }
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    summary.count = n;
    summary.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    // Nearest rank.
    summary.p99 = samples[std::min(n - 1, (n * 99 + 99) / 100 - 1)];
    summary.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(n);
    summary.max = samples.back();
    return summary;
}

win::UniqueHandle open_pipe(const wchar_t* name, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (unsigned attempt = 0;; ++attempt) {
        win::UniqueHandle pipe(
            CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        const DWORD error = GetLastError();
        if (pipe) {
            return pipe;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)) {
            return pipe;
        }
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(name, static_cast<DWORD>(deadline - now));
        } else if (attempt < 20) {
            // The echo server closes one instance before it creates the next; that gap
            // is short, and a sleep would be longer than the round trip itself.
            Sleep(0);
        } else {
            Sleep(1);
        }
    }
}

std::optional<std::string> round_trip(const wchar_t* name, std::string_view frame) {
    win::UniqueHandle pipe = open_pipe(name);
    if (!pipe || !test_support::send_bytes(pipe.get(), frame)) {
        return std::nullopt;
    }
    return test_support::read_response(pipe.get());
}

std::wstring module_dir() {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\'));
}

std::optional<Child> start_child(const std::wstring& program, const std::wstring& arguments) {
    Child child;
    child.job.reset(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!child.job || !SetInformationJobObject(child.job.get(), JobObjectExtendedLimitInformation,
                                               &limits, sizeof limits)) {
        return std::nullopt;
    }
    const std::wstring path = module_dir() + L"\\" + program;
    std::wstring command = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &created)) {
        return std::nullopt;
    }
    child.process = {win::UniqueHandle(created.hProcess), win::UniqueHandle(created.hThread)};
    child.pid = created.dwProcessId;
    if (!AssignProcessToJobObject(child.job.get(), created.hProcess)) {
        TerminateProcess(created.hProcess, 1);
        return std::nullopt;
    }
    ResumeThread(created.hThread);
    return child;
}

std::optional<Child> start_echo_server() {
    std::optional<Child> echo = start_child(L"echo_server.exe", ECHO_PIPE);
    if (!echo) {
        return std::nullopt;
    }
    // Waits for an instance without taking it.
    for (int waited = 0; waited < 20'000; waited += 5) {
        if (WaitNamedPipeW(ECHO_PIPE, 0)) {
            return echo;
        }
        Sleep(5);
    }
    return std::nullopt;
}

std::optional<DWORD> service_pid() {
    const std::optional<SERVICE_STATUS_PROCESS> status = test_support::query_service();
    if (!status || status->dwCurrentState != SERVICE_RUNNING) {
        return std::nullopt;
    }
    return status->dwProcessId;
}

namespace {

// The handle count that NtQuerySystemInformation gives for `pid`.
std::optional<DWORD> listed_handle_count(DWORD pid) {
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(
            SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            break;
        }
        // STATUS_INFO_LENGTH_MISMATCH
        if (static_cast<ULONG>(status) != 0xC0000004 || buffer.size() >= (64u << 20)) {
            return std::nullopt;
        }
        buffer.resize(buffer.size() * 2);
    }
    for (size_t at = 0;;) {
        const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(&buffer[at]);
        if (static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId)) == pid) {
            return entry->HandleCount;
        }
        if (entry->NextEntryOffset == 0) {
            return std::nullopt;
        }
        at += entry->NextEntryOffset;
    }
}

}  // namespace

std::optional<Counters> counters_of(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    DWORD handles = 0;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                              sizeof memory) ||
        !GetProcessHandleCount(process, &handles)) {
        return std::nullopt;
    }
    Counters counters{memory.PrivateUsage, memory.WorkingSetSize, handles};
    // Wine 8 leaves PrivateUsage at 0 and fills PagefileUsage, which on Windows is the
    // same figure (the process's commit charge); it reads the resident anonymous memory
    // of the Unix process.
    if (counters.private_bytes == 0) {
        counters.private_bytes = memory.PagefileUsage;
        counters.private_from_pagefile = true;
    }
    // Wine 8 answers GetProcessHandleCount with 0 and lists the count with the process.
    if (counters.handles == 0) {
        const std::optional<DWORD> listed = listed_handle_count(GetProcessId(process));
        if (!listed) {
            return std::nullopt;
        }
        counters.handles = *listed;
        counters.handles_listed = true;
    }
    return counters;
}

void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

}  // namespace korvan::bench
