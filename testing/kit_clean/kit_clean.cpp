// kit-clean PROGRAMDATA
//
// Removes from the folder PROGRAMDATA the folder KorvanVPN and every entry
// KorvanVPN.foreign-*, with everything in them, for the test kit's cleanup, which runs
// elevated where users may create entries (clean.h says how nothing they make there can
// steer it). Lists the entries itself: no shell ever expands their names. Prints
// "kit-clean: could not remove {path}" for each entry left and exits 1 then, or
// "kit-clean: could not clean {PROGRAMDATA}: {error}" and 1 when the folder cannot be
// listed; else exits 0. A PROGRAMDATA that does not exist is no failure. Usage: 64.

#include <windows.h>

#include <cstdio>

#include "kit_clean/clean.h"
#include "win/utf.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: kit-clean PROGRAMDATA\n", stderr);
        return 64;
    }
    const korvan::Result<std::vector<std::wstring>> left =
        korvan::kit_clean::clean_program_data(argv[1]);
    if (!left) {
        std::printf("kit-clean: could not clean %s: %s\n", korvan::win::narrow(argv[1]).c_str(),
                    left.error().c_str());
        return 1;
    }
    for (const std::wstring& path : left.value()) {
        std::printf("%s%s\n", korvan::kit_clean::LEFT_PREFIX, korvan::win::narrow(path).c_str());
    }
    return left->empty() ? 0 : 1;
}
