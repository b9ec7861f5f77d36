#pragma once

// The service's own folders, {ProgramData}\KorvanVPN and its subfolder service: made
// and kept so that only SYSTEM and Administrators can reach them, and never entered
// through a reparse point. Users can create folders in ProgramData, so a folder of that
// name may have been made by someone else before the service ran.

#include <windows.h>

#include <array>
#include <string>
#include <string_view>

#include "common/result.h"
#include "win/handle.h"

namespace korvan::win {

// ERROR_REPARSE_POINT_ENCOUNTERED, which MinGW-w64's winerror.h lacks: the error a
// level of the work folder is refused with when it is a junction or a symbolic link.
inline constexpr DWORD REPARSE_POINT_REFUSED = 4395;

// The security of both folders as SDDL: owner Administrators; a protected DACL that
// grants SYSTEM, then Administrators, full control, inherited by files and subfolders.
inline constexpr wchar_t SERVICE_DIR_SDDL[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// SERVICE_DIR_SDDL as a self-relative security descriptor, owned by the caller. A
// failure yields the system error in the file-and-process form.
Result<UniqueLocal> service_dir_security();

// Whether `actual` has the owner and the DACL of `wanted`: the same owner, a DACL that
// is protected from inheritance when that of `wanted` is, and the same entries in the
// same order. The group and the other control bits are not compared. A descriptor
// without an owner, or without a DACL or with a null one, never matches.
bool has_owner_and_dacl_of(PSECURITY_DESCRIPTOR actual, PSECURITY_DESCRIPTOR wanted);

// Why a level with these attributes cannot be used: REPARSE_POINT_REFUSED for a
// reparse point, ERROR_ALREADY_EXISTS for a file; ERROR_SUCCESS for a plain folder.
DWORD level_refusal(DWORD attributes);

// The work folder, held open. While the two handles live, neither level can be
// renamed, moved or deleted, so paths below `path` reach the folders that were checked.
struct ServiceDir {
    std::wstring path;
    // KorvanVPN, then service.
    std::array<UniqueHandle, 2> levels;
    // Whether the owner or the DACL of a level had to be put right: what is already
    // inside was not put there under the service's protection.
    bool put_right = false;
};

// Makes sure of {program_data}\KorvanVPN\service. The folders above KorvanVPN are
// created as needed with default security (none when `program_data` is empty, which
// makes the work folder relative to the current folder). Each of the two own levels is
// created with service_dir_security() when missing, then opened without following a
// reparse point; a reparse point or a file is refused, and an owner or a DACL other
// than those of service_dir_security() is replaced through the open handle.
//
// A failure yields the system error in the file-and-process form; a refused junction
// or link gives the text of REPARSE_POINT_REFUSED.
Result<ServiceDir> open_service_dir(std::wstring_view program_data);

}  // namespace korvan::win
