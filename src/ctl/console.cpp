#include "ctl/console.h"

#include <string>

#include "win/utf.h"

namespace korvan::ctl {

void write_text(DWORD which, std::string_view text) {
    const HANDLE out = GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        const std::wstring wide = win::widen(text);
        size_t done = 0;
        while (done < wide.size()) {
            DWORD put = 0;
            if (!WriteConsoleW(out, wide.data() + done, static_cast<DWORD>(wide.size() - done),
                               &put, nullptr) ||
                put == 0) {
                return;
            }
            done += put;
        }
        return;
    }
    size_t done = 0;
    while (done < text.size()) {
        DWORD put = 0;
        if (!WriteFile(out, text.data() + done, static_cast<DWORD>(text.size() - done), &put,
                       nullptr) ||
            put == 0) {
            return;
        }
        done += put;
    }
}

void write_line(DWORD which, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text).append("\n");
    write_text(which, line);
}

}  // namespace korvan::ctl
