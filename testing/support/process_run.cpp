#include "support/process_run.h"

#include <array>
#include <map>

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

struct PipeEnds {
    win::UniqueHandle read;
    win::UniqueHandle write;
};

// A pipe whose child's end alone is inherited.
PipeEnds make_pipe(bool child_reads) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    PipeEnds ends;
    if (CreatePipe(ends.read.put(), ends.write.put(), &inherit, 0)) {
        const HANDLE parent_end = child_reads ? ends.write.get() : ends.read.get();
        SetHandleInformation(parent_end, HANDLE_FLAG_INHERIT, 0);
    }
    return ends;
}

std::thread drain(win::UniqueHandle from, std::string& into) {
    return std::thread([from = std::move(from), &into] {
        std::array<char, 4096> chunk{};
        DWORD got = 0;
        while (
            ReadFile(from.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) &&
            got > 0) {
            into.append(chunk.data(), got);
        }
    });
}

}  // namespace

void PrintTo(const Ran& ran, std::ostream* os) {
    *os << "{exit code " << ran.exit_code << ", out \"" << ran.out << "\", err \"" << ran.err
        << "\"}";
}

Captured start_captured(const std::wstring& command_line,
                        const std::vector<std::wstring>& extra_env, std::string input) {
    Captured started;
    PipeEnds in = make_pipe(true);
    PipeEnds out = make_pipe(false);
    PipeEnds err = make_pipe(false);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.read.get();
    startup.hStdOutput = out.write.get();
    startup.hStdError = err.write.get();
    std::wstring text = command_line;
    std::wstring environment = environment_block(extra_env);
    PROCESS_INFORMATION created{};
    if (in.read && out.write && err.write &&
        CreateProcessW(nullptr, text.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr,
                       &startup, &created)) {
        started.child.process.reset(created.hProcess);
        started.child.thread.reset(created.hThread);
    }
    // The child's ends close here, so that each pipe ends when the child does.
    in.read.reset();
    out.write.reset();
    err.write.reset();
    started.feed = std::thread([to = std::move(in.write), input = std::move(input)] {
        DWORD put = 0;
        if (to && !input.empty()) {
            WriteFile(to.get(), input.data(), static_cast<DWORD>(input.size()), &put, nullptr);
        }
    });
    started.read_out = drain(std::move(out.read), started.ran->out);
    started.read_err = drain(std::move(err.read), started.ran->err);
    return started;
}

bool finish_captured(Captured& started, DWORD timeout_ms) {
    const HANDLE process = started.child.process.get();
    bool finished = false;
    if (process != nullptr) {
        if (WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0) {
            finished = GetExitCodeProcess(process, &started.ran->exit_code) != FALSE;
        } else {
            TerminateProcess(process, 99);
            WaitForSingleObject(process, timeout_ms);
        }
    }
    started.feed.join();
    started.read_out.join();
    started.read_err.join();
    return finished;
}

std::optional<Ran> run(const std::wstring& command_line, const std::vector<std::wstring>& extra_env,
                       DWORD timeout_ms) {
    Captured started = start_captured(command_line, extra_env);
    if (!finish_captured(started, timeout_ms)) {
        return std::nullopt;
    }
    return std::move(*started.ran);
}

}  // namespace korvan::test_support
