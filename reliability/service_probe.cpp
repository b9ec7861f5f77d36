#include "reliability/service_probe.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>

#include "win/utf.h"

namespace korvan::reliability {

namespace {

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::optional<DWORD> table_handle_count(DWORD pid) {
    constexpr NTSTATUS INFO_LENGTH_MISMATCH = static_cast<NTSTATUS>(0xC0000004);
    std::vector<std::uint8_t> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(
            SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == INFO_LENGTH_MISMATCH && buffer.size() < (256u << 20)) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
            continue;
        }
        if (status != 0) {
            return std::nullopt;
        }
        break;
    }
    const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    DWORD count = 0;
    for (ULONG i = 0; i < table->Count; ++i) {
        if (table->Handle[i].OwnerPid == pid) {
            ++count;
        }
    }
    return count;
}

}  // namespace

std::string start_request(std::string_view config_yaml) {
    std::string config;
    for (char c : config_yaml) {
        if (c == '\n') {
            config += "\\n";
        } else if (c == '"' || c == '\\') {
            config += '\\';
            config += c;
        } else {
            config += c;
        }
    }
    return R"({"op":"start","config_yaml":")" + config + R"(","secret":"s","mixed_port":)" +
           std::to_string(MIXED_PORT) + R"(,"ctl_port":)" + std::to_string(CTL_PORT) + "}";
}

std::string recording_config(const std::wstring& record_path) {
    return "mode: rule\nfake-core: record " + win::narrow(record_path) + "\n";
}

std::string bad_request_answer(std::string_view decoder_message) {
    return R"({"ok":"error","code":"bad_request","message":)" +
           json_string("parse: " + std::string(decoder_message)) + "}";
}

ProcessFigures process_figures(DWORD pid) {
    ProcessFigures figures;
    win::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!process) {
        const DWORD error = GetLastError();
        figures.handles_error = error;
        figures.memory_error = error;
        return figures;
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(process.get(), &handles)) {
        figures.handles = handles;
    } else {
        figures.handles_error = GetLastError();
    }
    figures.table_handles = table_handle_count(pid);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof memory)) {
        figures.private_bytes = memory.PrivateUsage;
        figures.working_set = memory.WorkingSetSize;
    } else {
        figures.memory_error = GetLastError();
    }
    return figures;
}

std::vector<DWORD> processes_named(std::wstring_view image) {
    std::vector<DWORD> found;
    win::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return found;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, std::wstring(image).c_str()) == 0) {
            found.push_back(entry.th32ProcessID);
        }
    }
    return found;
}

std::optional<DWORD> recorded_pid(const std::wstring& record_path, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        if (const std::optional<std::string> record = test_support::read_file(record_path)) {
            const size_t at = record->find("pid=");
            if (at != std::string::npos) {
                return static_cast<DWORD>(std::stoul(record->substr(at + 4)));
            }
        }
        if (GetTickCount64() >= deadline) {
            return std::nullopt;
        }
        Sleep(10);
    }
}

std::uint64_t now_us() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1'000'000 + ticks % per_second * 1'000'000 / per_second;
}

std::uint64_t quantile(std::vector<std::uint64_t>& samples, double q) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    size_t rank = static_cast<size_t>(q * static_cast<double>(samples.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, samples.size());
    return samples[rank - 1];
}

std::string millis(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(us) / 1000.0);
    return text;
}

void print_line(std::string_view line) {
    std::string text(line);
    text += '\n';
    DWORD put = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &put,
              nullptr);
}

}  // namespace korvan::reliability
