#pragma once

// The service's own folders, {ProgramData}\KorvanVPN and its subfolder service, where
// the core's configuration, wintun.dll and the log live. Users can create folders in
// ProgramData, so either level may have been made, and filled, by someone else before
// the service got there.
//
// A level is the service's own only when it opens without following a reparse point,
// is a plain folder, and has the identity the service recorded when it made it
// (folder_record.h). Only the service makes, records and moves levels. A level that is
// not its own is never repaired in place: the service renames the topmost such level,
// through the handle it judged it with, to "{level}.foreign-{32 random hex digits}"
// beside it, and makes a fresh protected level in its place; whatever was planted in
// it leaves with it. Other processes only use levels they judge the service's own.

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "win/handle.h"

namespace korvan::workdir {

// The security of both levels as SDDL: owner Administrators; a protected DACL that
// grants SYSTEM, then Administrators, full control, inherited by files and subfolders.
inline constexpr wchar_t SERVICE_DIR_SDDL[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// What a level moved aside is renamed to: its own path, then this, then 32 random
// hexadecimal digits.
inline constexpr wchar_t FOREIGN_INFIX[] = L".foreign-";

// At most this many folders moved aside by the service may lie about at once (counted
// from the service's record, so names that others make do not count). Past it, a level
// that is not the service's own is left where it is and the folder cannot be used
// until an administrator removes some of them.
inline constexpr size_t MAX_MOVED_FOLDERS = 8;

// The log line for each move: this prefix, the level's path, " -> ", where it went.
inline constexpr std::string_view MOVED_ASIDE_PREFIX =
    "moved aside a folder the service did not make: ";

// SERVICE_DIR_SDDL as a self-relative security descriptor, owned by the caller. A
// failure yields the system error in the file-and-process form.
Result<win::UniqueLocal> service_dir_security();

// Whether a level with these attributes can be the service's own: a folder that is no
// reparse point.
bool plain_folder(DWORD attributes);

enum class Role {
    // The service: makes missing levels, moves foreign ones aside, records both.
    Service,
    // Any other process: uses the levels only when they are the service's own.
    Guest,
};

struct MovedAside {
    std::wstring from;
    std::wstring to;
};

struct ServiceDir {
    // {program_data}\KorvanVPN\service
    std::wstring path;
    // The levels this call moved aside, topmost first.
    std::vector<MovedAside> moved;
};

// Makes sure {program_data}\KorvanVPN\service is the service's own. As the Service,
// the folders above KorvanVPN are created as needed with default security (none when
// `program_data` is empty, which makes the path relative to the current folder), a
// missing level is made with service_dir_security() and recorded, and a foreign one is
// moved aside first. As a Guest nothing is made or moved, and anything but two levels
// of the service's own is a failure.
//
// A failure yields the system error of the step that failed in the file-and-process
// form. A foreign level that cannot be moved (it cannot be opened, its planter's DACL
// refuses the rename, or something open below it does) yields that error; one left in
// place because MAX_MOVED_FOLDERS are already aside, or one that keeps coming back
// while the service makes its own, yields ERROR_ALREADY_EXISTS.
Result<ServiceDir> open_service_dir(std::wstring_view program_data, Role role);

// `path`, FOREIGN_INFIX and 32 random hexadecimal digits: a name beside `path` that
// nobody can know in advance. Error: the os error form.
Result<std::wstring> foreign_name(const std::wstring& path);

// "moved aside a folder the service did not make: {from} -> {to}"
std::string moved_aside_line(const MovedAside& moved);

}  // namespace korvan::workdir
