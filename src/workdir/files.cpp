#include "workdir/files.h"

#include "win/paths.h"

namespace korvan::workdir {

namespace {

constexpr std::wstring_view WORK_DIR_PARTS[] = {L"KorvanVPN", L"service"};

}  // namespace

std::wstring work_dir(std::wstring_view program_data) {
    std::wstring path(program_data);
    for (std::wstring_view part : WORK_DIR_PARTS) {
        path = win::join_path(path, part);
    }
    return path;
}

}  // namespace korvan::workdir
