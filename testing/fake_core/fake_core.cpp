// A stand-in for the core, installed under its file name beside the tests.
//
// On start it writes a record of how it was started to the file named by
// KORVAN_FAKE_CORE_RECORD, or to the path a line "fake-core: record PATH" of its
// config.yaml names (for a core started by the installed service, whose environment
// is not the test's): one "key=value" line each for command_line, current_dir,
// stdin_null, stdin_reads, stdout_null, stdout_writes, stderr_null, stderr_writes,
// config_present, config_size and pid, handle_count: how many handles the process held
// as its main began (what it inherited, beside what every process starts with), and
// probe_handle: the name of the object behind
// the handle value KORVAN_FAKE_CORE_PROBE_HANDLE gives, if this process has a handle of
// that value (empty otherwise), to tell which handles it inherited. The record is written under a
// temporary name and then renamed, so a reader never sees half of it.
//
// What it does next is chosen by a line in the config.yaml of its current folder:
//   fake-core: exit N   exits at once with code N;
//   fake-core: child    starts a copy of itself, which writes "pid=..." to
//                       {record}.child and runs until killed, then runs until killed;
//   (neither)           runs until killed.

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "support/test_support.h"
#include "win/handle.h"
#include "win/utf.h"

namespace {

using korvan::test_support::read_file;
using korvan::win::narrow;
using korvan::win::UniqueHandle;

constexpr wchar_t RECORD_VAR[] = L"KORVAN_FAKE_CORE_RECORD";
constexpr wchar_t CHILD_SWITCH[] = L"--record-child";
constexpr wchar_t PROBE_HANDLE_VAR[] = L"KORVAN_FAKE_CORE_PROBE_HANDLE";

std::wstring record_path() {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(RECORD_VAR, buffer, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) {
        return {};
    }
    return std::wstring(buffer, length);
}

std::wstring object_name(HANDLE handle) {
    alignas(8) unsigned char buffer[4096];
    ULONG length = 0;
    if (NtQueryObject(handle, ObjectNameInformation, buffer, sizeof buffer, &length) != 0) {
        return {};
    }
    const auto* info = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer);
    return std::wstring(info->Name.Buffer, info->Name.Length / sizeof(wchar_t));
}

// Windows names the null device \Device\Null; Wine names the Unix file it maps it to,
// as in \??\Z:\dev\null.
bool is_null_device(HANDLE handle) {
    const std::wstring name = object_name(handle);
    return name == L"\\Device\\Null" ||
           (name.starts_with(L"\\??\\") && name.ends_with(L":\\dev\\null"));
}

// The name of the object behind the probed handle value, or "" when there is no such
// handle or it has no name.
std::string probed_handle() {
    wchar_t buffer[64];
    const DWORD length = GetEnvironmentVariableW(PROBE_HANDLE_VAR, buffer, 64);
    if (length == 0 || length >= 64) {
        return {};
    }
    const auto value = static_cast<std::uintptr_t>(std::wcstoull(buffer, nullptr, 10));
    const auto handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags)) {
        return {};
    }
    return narrow(object_name(handle));
}

// How many handle values below 64 Ki name an open handle. Wine's GetProcessHandleCount
// answers 0, so the values are tried one by one.
int open_handles() {
    int count = 0;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
        }
    }
    return count;
}

bool reads(HANDLE handle) {
    char byte = 0;
    DWORD got = 0;
    return ReadFile(handle, &byte, 1, &got, nullptr) != FALSE;
}

bool writes(HANDLE handle) {
    DWORD put = 0;
    return WriteFile(handle, "x", 1, &put, nullptr) != FALSE && put == 1;
}

void write_record(const std::wstring& path, const std::string& text) {
    const std::wstring temporary = path + L".tmp";
    {
        UniqueHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD put = 0;
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
    }
    MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::string line(const char* key, const std::string& value) {
    return std::string(key) + "=" + value + "\n";
}

std::string flag(bool value) {
    return value ? "1" : "0";
}

void start_child() {
    wchar_t self[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) {
        return;
    }
    std::wstring command = L"\"" + std::wstring(self) + L"\" " + CHILD_SWITCH;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &startup, &created)) {
        CloseHandle(created.hThread);
        CloseHandle(created.hProcess);
    }
}

}  // namespace

int main() {
    const int handle_count = open_handles();
    const std::optional<std::string> config = read_file(L"config.yaml");
    const std::string content = config.value_or("");
    std::wstring record = record_path();
    constexpr std::string_view RECORD_MARKER = "fake-core: record ";
    if (const size_t at = content.find(RECORD_MARKER); at != std::string::npos) {
        const size_t from = at + RECORD_MARKER.size();
        record = korvan::win::widen(content.substr(from, content.find('\n', from) - from));
    }
    const std::wstring command_line = GetCommandLineW();
    if (command_line.ends_with(CHILD_SWITCH)) {
        write_record(record + L".child", line("pid", std::to_string(GetCurrentProcessId())));
        Sleep(INFINITE);
    }

    if (content.find("fake-core: child") != std::string::npos) {
        start_child();
    }

    wchar_t current_dir[MAX_PATH * 2];
    const DWORD current_length = GetCurrentDirectoryW(MAX_PATH * 2, current_dir);
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    // Only the null device is read from: a console or pipe would block.
    const bool in_null = is_null_device(in);
    const bool out_null = is_null_device(out);
    const bool err_null = is_null_device(err);
    std::string text;
    text += line("command_line", narrow(command_line));
    text += line("current_dir", narrow(std::wstring_view(current_dir, current_length)));
    text += line("stdin_null", flag(in_null));
    text += line("stdin_reads", flag(in_null && reads(in)));
    text += line("stdout_null", flag(out_null));
    text += line("stdout_writes", flag(out_null && writes(out)));
    text += line("stderr_null", flag(err_null));
    text += line("stderr_writes", flag(err_null && writes(err)));
    text += line("config_present", flag(config.has_value()));
    text += line("config_size", std::to_string(content.size()));
    text += line("pid", std::to_string(GetCurrentProcessId()));
    text += line("handle_count", std::to_string(handle_count));
    text += line("probe_handle", probed_handle());
    if (!record.empty()) {
        write_record(record, text);
    }

    constexpr std::string_view EXIT_MARKER = "fake-core: exit ";
    if (const size_t at = content.find(EXIT_MARKER); at != std::string::npos) {
        return std::atoi(content.c_str() + at + EXIT_MARKER.size());
    }
    Sleep(INFINITE);
    return 0;
}
