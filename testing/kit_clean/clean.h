#pragma once

// The test kit's elevated removal of what the tests leave below ProgramData: the folder
// KorvanVPN and the entries the service moved aside (KorvanVPN.foreign-*). Users can
// create entries in ProgramData, under any name (a '%' in it too) and of any kind
// (junctions included), and change them while the removal runs; nothing they do there
// may lead the removal outside those entries.
//
// - The entries are listed from the handle of ProgramData itself, never by a pattern
//   that a shell expands, and every entry below is opened relative to the handle of the
//   folder that listed it (NtCreateFile with that handle as the root), one name at a
//   time, never by a path: no component of a path is ever resolved by name from above.
// - Each is opened as itself (FILE_OPEN_REPARSE_POINT) and must be the very entry its
//   folder listed, with the same file ID: its parent is exactly that folder.
// - An entry that is a reparse point (a junction, a symbolic link, a mount point) is
//   refused: not followed, not emptied, not relocked, not deleted. The folder that holds
//   it is left, and reported.
// - Each folder is first given a protected DACL that grants only SYSTEM and
//   Administrators, so that no user adds entries to it while it is being emptied.
//
// What the file system cannot show, the removal cannot refuse: under Wine a Unix
// symbolic link reads as a plain folder, no reparse point, and is followed.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "common/result.h"

namespace korvan::kit_clean {

// The entries of ProgramData that the removal takes: this name, and names that begin
// with the second, compared without regard to case.
inline constexpr wchar_t WORK_FOLDER_NAME[] = L"KorvanVPN";
inline constexpr wchar_t MOVED_ASIDE_PREFIX[] = L"KorvanVPN.foreign-";

// The line printed for each entry of ProgramData left in place, before its path.
inline constexpr char LEFT_PREFIX[] = "kit-clean: could not remove ";

struct CleanSeams {
    // Called with each entry's path below ProgramData once its folder has listed it,
    // before it is opened.
    std::function<void(const std::wstring& below)> before_open;
    // Rewrites the attributes read of each entry, named by its path below ProgramData
    // (such as "KorvanVPN.foreign-b\Users"), before they are judged.
    std::function<void(const std::wstring& below, DWORD& attributes)> attributes;
};

// Removes WORK_FOLDER_NAME and every MOVED_ASIDE_PREFIX entry of the folder
// `program_data`, of any kind, with everything in them, as above. The result: the full
// paths of those entries that are left, in the order listed. A `program_data` that does
// not exist leaves nothing. Error: one that cannot be opened or listed, in the os error
// form.
Result<std::vector<std::wstring>> clean_program_data(const std::wstring& program_data,
                                                     const CleanSeams& seams = {});

}  // namespace korvan::kit_clean
