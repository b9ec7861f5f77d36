#include "support/tool_run.h"

#include <gtest/gtest.h>

#include "win/utf.h"

namespace korvan::test_support {

namespace {

constexpr DWORD HANG_GUARD_MS = 60'000;

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
    std::wstring command = quote_argument(program);
    for (const std::wstring& arg : args) {
        command += L" " + quote_argument(arg);
    }
    RunningTool running = start_captured(command, {}, std::move(input));
    EXPECT_TRUE(running.child.process.valid()) << "cannot start " << win::narrow(program);
    return running;
}

ToolResult finish_tool(RunningTool& running) {
    const bool started = running.child.process.valid();
    const bool ended = finish_captured(running, HANG_GUARD_MS);
    if (started && !ended) {
        ADD_FAILURE() << "the child did not end within " << HANG_GUARD_MS << " ms";
    }
    ToolResult result{std::nullopt, std::move(running.ran->out), std::move(running.ran->err)};
    if (ended) {
        result.exit_code = running.ran->exit_code;
    }
    return result;
}

}  // namespace korvan::test_support
