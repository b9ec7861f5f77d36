#pragma once

// For the tests of the work folder alone: the service's own code calls open_service_dir
// (service_dir.h) without seams.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "workdir/service_dir.h"

namespace korvan::workdir {

// Points where a test acts inside open_service_dir as the Service, and its bound on a
// move. Each hook, when set, is called with the level's path where it applies.
struct ServiceDirSeams {
    // Between judging a level foreign and moving it aside.
    std::function<void(const std::wstring& level)> before_move;
    // On the thread that moves, inside its privilege scope, after the reopen for DELETE
    // and just before the rename.
    std::function<void()> before_rename;
    // Once the level's path is free (found missing, or its level moved aside), just
    // before the service makes its own there.
    std::function<void(const std::wstring& level)> before_make;
    // Rewrites every file ID the judgement and the making read.
    std::function<void(FILE_ID_INFO& id)> read_id;
    // Called before each read of a level's FileBasicInfo or FileIdInfo by the judgement
    // and the making, with the class read; an error other than ERROR_SUCCESS fails that
    // read with it.
    std::function<DWORD(FILE_INFO_BY_HANDLE_CLASS read)> read_error;
    DWORD move_bound_ms = MOVE_BOUND_MS;
};

// open_service_dir with `seams` acting inside it, and its bound on a move.
Result<ServiceDir> open_service_dir(std::wstring_view program_data, Role role,
                                    const ServiceDirSeams& seams);

}  // namespace korvan::workdir
