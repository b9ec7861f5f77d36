#include "core/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <vector>

#include "win/utf.h"

namespace korvan::core {
namespace {

constexpr wchar_t PROGRAM[] = L"C:\\Program Files\\Korvan\\mihomo.exe";

// The arguments as Windows' own parser splits the command text again.
std::vector<std::wstring> parsed(const std::wstring& text) {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(text.c_str(), &count);
    std::vector<std::wstring> args(argv, argv + count);
    LocalFree(argv);
    return args;
}

TEST(CommandLine, QuotesAndEscapesArgumentsByTheWindowsRules) {
    struct Case {
        std::wstring arg;
        std::wstring written;
    };
    const std::vector<Case> cases = {
        {L"-d", L"-d"},
        {L"C:\\ProgramData\\KorvanVPN\\service", L"C:\\ProgramData\\KorvanVPN\\service"},
        {L"C:\\dir\\", L"C:\\dir\\"},  // unquoted: trailing backslashes stay single
        {L"a b", L"\"a b\""},
        {L"a\tb", L"\"a\tb\""},
        {L"", L"\"\""},
        {L"a\"b", L"a\\\"b"},
        {L"a\\\"b", L"a\\\\\\\"b"},                    // one backslash before a quote: three
        {L"a\\\\\"b", L"a\\\\\\\\\\\"b"},              // two backslashes before a quote: five
        {L"a\\\\b", L"a\\\\b"},                        // backslashes before anything else stay
        {L"C:\\a dir\\", L"\"C:\\a dir\\\\\""},        // quoted: trailing one doubled
        {L"C:\\a dir\\\\", L"\"C:\\a dir\\\\\\\\\""},  // quoted: trailing two doubled
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"\x00e9t\x00e9", L"\x00e9t\x00e9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(win::narrow(c.arg));
        const std::wstring text = command_line(PROGRAM, {L"-x", c.arg});
        EXPECT_EQ(text, L"\"" + std::wstring(PROGRAM) + L"\" -x " + c.written);
        EXPECT_EQ(parsed(text), (std::vector<std::wstring>{PROGRAM, L"-x", c.arg}));
    }
}

TEST(CommandLine, ProgramIsAlwaysQuoted) {
    EXPECT_EQ(command_line(L"C:\\core\\mihomo.exe", {}), L"\"C:\\core\\mihomo.exe\"");
    EXPECT_EQ(command_line(L"C:\\a b\\m.exe", {L"-d", L"C:\\w", L"-f", L"C:\\w\\config.yaml"}),
              L"\"C:\\a b\\m.exe\" -d C:\\w -f C:\\w\\config.yaml");
}

TEST(QuotedImagePath, QuotesOnlyPathsThatNeedIt) {
    struct Case {
        std::wstring path;
        std::wstring registered;
    };
    const std::vector<Case> cases = {
        {L"C:\\Korvan\\korvan-vpn-service.exe", L"C:\\Korvan\\korvan-vpn-service.exe"},
        {L"C:\\Program Files\\Korvan\\s.exe", L"\"C:\\Program Files\\Korvan\\s.exe\""},
        {L"C:\\a\tb\\s.exe", L"\"C:\\a\tb\\s.exe\""},
        {L"C:\\a\nb\\s.exe", L"\"C:\\a\nb\\s.exe\""},
        {L"C:\\a\vb\\s.exe", L"\"C:\\a\vb\\s.exe\""},
        {L"", L"\"\""},
        // A quote forces quoting; it gets a backslash, and the run before it is doubled.
        {L"C:\\a\"b\\s.exe", L"\"C:\\a\\\"b\\s.exe\""},
        {L"C:\\a\\\"b", L"\"C:\\a\\\\\\\"b\""},
        // Backslashes before the closing quote are doubled.
        {L"C:\\a b\\", L"\"C:\\a b\\\\\""},
        // Unquoted, backslashes stay as they are.
        {L"C:\\dir\\", L"C:\\dir\\"},
        {L"C:\\caf\x00e9\\s.exe", L"C:\\caf\x00e9\\s.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(win::narrow(c.path));
        EXPECT_EQ(quoted_image_path(c.path), c.registered);
        // As an argument: the program name itself is split by simpler rules, but a
        // Windows file name cannot hold a quote.
        EXPECT_EQ(parsed(L"x " + c.registered).at(1), c.path);
    }
}

}  // namespace
}  // namespace korvan::core
