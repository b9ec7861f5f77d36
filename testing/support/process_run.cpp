#include "support/process_run.h"

#include <map>
#include <thread>

#include "win/handle.h"

namespace korvan::test_support {

namespace {

std::wstring environment_block(const std::vector<std::wstring>& extra) {
    // Case-insensitive names, as Windows keeps them, in sorted order.
    struct Less {
        bool operator()(const std::wstring& a, const std::wstring& b) const {
            return _wcsicmp(a.c_str(), b.c_str()) < 0;
        }
    };
    std::map<std::wstring, std::wstring, Less> vars;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring text = entry;
        const size_t equals = text.find(L'=', 1);
        vars[text.substr(0, equals)] = text;
    }
    FreeEnvironmentStringsW(strings);
    for (const std::wstring& text : extra) {
        vars[text.substr(0, text.find(L'='))] = text;
    }
    std::wstring block;
    for (const auto& [name, text] : vars) {
        block += text;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

std::thread drain(HANDLE from, std::string& into) {
    return std::thread([from, &into] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            into.append(buffer, got);
        }
    });
}

}  // namespace

void PrintTo(const Ran& ran, std::ostream* os) {
    *os << "{exit code " << ran.exit_code << ", out \"" << ran.out << "\", err \"" << ran.err
        << "\"}";
}

std::optional<Ran> run(const std::wstring& command_line, const std::vector<std::wstring>& extra_env,
                       DWORD timeout_ms) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    win::UniqueHandle out_read, out_write, err_read, err_write;
    if (!CreatePipe(out_read.put(), out_write.put(), &inheritable, 0) ||
        !CreatePipe(err_read.put(), err_write.put(), &inheritable, 0)) {
        return std::nullopt;
    }
    SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
    win::UniqueHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inheritable, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = out_write.get();
    startup.hStdError = err_write.get();
    std::wstring text = command_line;
    std::wstring environment = environment_block(extra_env);
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(nullptr, text.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        environment.data(), nullptr, &startup, &created)) {
        return std::nullopt;
    }
    win::UniqueHandle process(created.hProcess);
    win::UniqueHandle thread(created.hThread);
    out_write.reset();
    err_write.reset();
    Ran ran;
    std::thread out = drain(out_read.get(), ran.out);
    std::thread err = drain(err_read.get(), ran.err);
    const bool ended = WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(process.get(), 99);
    }
    out.join();
    err.join();
    if (!ended || !GetExitCodeProcess(process.get(), &ran.exit_code)) {
        return std::nullopt;
    }
    return ran;
}

}  // namespace korvan::test_support
