#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <array>

namespace korvan::test_support {

namespace {

constexpr DWORD HANG_GUARD_MS = 60'000;

struct PipeEnds {
    win::UniqueHandle read;
    win::UniqueHandle write;
};

// A pipe whose `child_end` end alone is inherited.
PipeEnds make_pipe(bool child_reads) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    PipeEnds ends;
    EXPECT_TRUE(CreatePipe(ends.read.put(), ends.write.put(), &inherit, 0)) << GetLastError();
    const HANDLE parent_end = child_reads ? ends.write.get() : ends.read.get();
    SetHandleInformation(parent_end, HANDLE_FLAG_INHERIT, 0);
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

std::wstring quote_argument(std::wstring_view arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring_view::npos) {
        return std::wstring(arg);
    }
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

RunningTool start_tool(const std::wstring& program, const std::vector<std::wstring>& args,
                       std::string input) {
    RunningTool running;
    PipeEnds in = make_pipe(true);
    PipeEnds out = make_pipe(false);
    PipeEnds err = make_pipe(false);

    std::wstring command = quote_argument(program);
    for (const std::wstring& arg : args) {
        command += L" " + quote_argument(arg);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.read.get();
    startup.hStdOutput = out.write.get();
    startup.hStdError = err.write.get();
    PROCESS_INFORMATION info{};
    const BOOL created = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    EXPECT_TRUE(created) << GetLastError();
    if (created) {
        running.child.process.reset(info.hProcess);
        running.child.thread.reset(info.hThread);
    }
    // The child's ends close here, so that each pipe ends when the child does.
    in.read.reset();
    out.write.reset();
    err.write.reset();

    running.feed = std::thread([to = std::move(in.write), input = std::move(input)] {
        DWORD put = 0;
        if (!input.empty()) {
            WriteFile(to.get(), input.data(), static_cast<DWORD>(input.size()), &put, nullptr);
        }
    });
    running.read_out = drain(std::move(out.read), running.result->out);
    running.read_err = drain(std::move(err.read), running.result->err);
    return running;
}

ToolResult finish_tool(RunningTool& running) {
    ToolResult& result = *running.result;
    const HANDLE process = running.child.process.get();
    if (process != nullptr) {
        if (WaitForSingleObject(process, HANG_GUARD_MS) == WAIT_OBJECT_0) {
            DWORD code = 0;
            if (GetExitCodeProcess(process, &code)) {
                result.exit_code = code;
            }
        } else {
            ADD_FAILURE() << "the child did not end within " << HANG_GUARD_MS << " ms";
            TerminateProcess(process, 99);
            WaitForSingleObject(process, HANG_GUARD_MS);
        }
    }
    running.feed.join();
    running.read_out.join();
    running.read_err.join();
    return std::move(result);
}

}  // namespace korvan::test_support
