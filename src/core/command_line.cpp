#include "core/command_line.h"

namespace korvan::core {

namespace {

bool needs_quotes(std::wstring_view arg, std::wstring_view specials) {
    return arg.empty() || arg.find_first_of(specials) != arg.npos;
}

void append_argument(std::wstring& out, std::wstring_view arg, bool quote) {
    if (quote) {
        out += L'"';
    }
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
        } else {
            if (c == L'"') {
                out.append(backslashes + 1, L'\\');
            }
            backslashes = 0;
        }
        out += c;
    }
    if (quote) {
        out.append(backslashes, L'\\');
        out += L'"';
    }
}

}  // namespace

std::wstring command_line(std::wstring_view program,
                          std::initializer_list<std::wstring_view> args) {
    std::wstring line;
    append_argument(line, program, true);
    for (const std::wstring_view arg : args) {
        line += L' ';
        append_argument(line, arg, needs_quotes(arg, L" \t"));
    }
    return line;
}

std::wstring quoted_image_path(std::wstring_view path) {
    std::wstring text;
    append_argument(text, path, needs_quotes(path, L" \t\n\v\""));
    return text;
}

}  // namespace korvan::core
