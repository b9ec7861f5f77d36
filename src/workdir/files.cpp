#include "workdir/files.h"

#include "win/paths.h"

namespace korvan::workdir {

namespace {

constexpr std::wstring_view WORK_DIR_LEVELS[] = {L"KorvanVPN", L"service"};

}  // namespace

std::wstring work_dir(std::wstring_view program_data) {
    std::wstring path(program_data);
    for (std::wstring_view level : WORK_DIR_LEVELS) {
        path = win::join_path(path, level);
    }
    return path;
}

}  // namespace korvan::workdir
