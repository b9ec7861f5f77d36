#pragma once

// The service's own folders, {ProgramData}\KorvanVPN and its subfolder service, where
// the core's configuration, wintun.dll and the log live. Users can create folders in
// ProgramData, so either level may have been made, and filled, by someone else before
// the service got there.
//
// A level is the service's own only when it opens without following a reparse point,
// is a plain folder, and has the identity the service recorded when it made it
// (folder_record.h). Only the service makes, records and moves levels, and only for a
// start (the service's own start and each start request; the install only makes and
// records missing ones), never for a log line. A level that is not its own is never
// repaired in place: the service renames
// the topmost such level, through the handle it judged it with, to
// "{level}.foreign-{32 random hex digits}" beside it, and makes a fresh protected level
// in its place; whatever was planted in it leaves with it. Other processes, and the
// log, only use levels they judge the service's own.
//
// The service marks a level's path (folder_record.h) from the moment it finds the
// level missing or is about to move it aside until it has made and recorded its own
// there. A level found foreign at a marked path was put there after the service had
// freed the path, in the gap before its own level: it is moved aside without counting
// against MAX_MOVED_FOLDERS, and the start that found its own make beaten by it fails.
// So only a level planted before the service's judgement of an unmarked path counts.

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

// At most this many folders moved aside by the service, and counted, may lie about at
// once (counted from the service's record, so names that others make do not count;
// moves of levels found at a marked path are not recorded). Past it, a level found at an
// unmarked path that is not the service's own is left where it is and the folder cannot
// be used until an administrator removes some of them.
inline constexpr size_t MAX_MOVED_FOLDERS = 8;

// How long a move aside (the reopen for DELETE and the rename) may take. Past it the
// move is abandoned: it may still complete later, but it is never recorded or logged.
inline constexpr DWORD MOVE_BOUND_MS = 5000;

// Failures of their own, each followed by the level's path. A level whose identity
// cannot be read at all yields the system error of the read instead.
inline constexpr std::string_view NO_FILE_ID_PREFIX =
    "the volume gives this folder no usable file ID: ";
inline constexpr std::string_view MOVE_TIMED_OUT_PREFIX =
    "timed out moving aside a folder the service did not make: ";

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
    // The service, for a start: makes missing levels, moves foreign ones aside, records
    // both.
    Service,
    // The install (open_service_dir only): makes and records missing levels as the
    // Service does, but moves nothing, so that it never waits on a level someone else
    // holds. A level that is there and not the service's own is left, and with it
    // everything below it, for the service's own start, which moves it within its bound
    // before it serves anyone.
    Installer,
    // Any other process, and the service's log: uses the levels only when they are the
    // service's own.
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
// `program_data` is empty, which makes the path relative to the current folder); a
// missing level has its record dropped, then is made with service_dir_security() and
// recorded, and a foreign one is moved aside first. The move runs on a thread of its
// own with SeBackupPrivilege and SeRestorePrivilege enabled on that thread alone, so no
// planter's DACL refuses it, and is abandoned after MOVE_BOUND_MS. As a Guest it is
// find_service_dir.
//
// As the Installer, it is the Service's work without any move: a foreign level yields
// ERROR_ALREADY_EXISTS and nothing below it is made.
//
// A failure yields the system error of the step that failed in the file-and-process
// form. A foreign level that cannot be moved (it is held without delete sharing, or
// something open below it) yields that error; one left in place because
// MAX_MOVED_FOLDERS are already aside, or one that someone else put in the path's gap
// before the service's own make, yields ERROR_ALREADY_EXISTS. A level whose file ID is
// all zeros or all ones yields NO_FILE_ID_PREFIX and its path, and one whose attributes
// or file ID cannot be read yields the read's error; in both cases nothing is moved. A
// move abandoned past its bound, or one abandoned earlier that has not ended within the
// bound, yields MOVE_TIMED_OUT_PREFIX and the path it was moving; before that wait, the
// abandoned move's I/O is cancelled again, and again while it lasts.
//
// Tests act inside it through service_dir_seams.h.
Result<ServiceDir> open_service_dir(std::wstring_view program_data, Role role);

// Cancels, without waiting, the synchronous I/O of a move abandoned past its bound
// whose thread has not ended, so that the process can exit: a process cannot end
// while I/O of its threads is pending. Does nothing when there is none. Safe from any
// thread at any time; it takes no lock that a start holds while it waits. The service
// calls it before it reports SERVICE_STOPPED. A cancel that arrives before the I/O is
// pending finds nothing to cancel (CancelSynchronousIo fails with ERROR_NOT_FOUND),
// which is why each later start cancels again.
void cancel_abandoned_move();

// {program_data}\KorvanVPN\service when both levels are the service's own. Makes,
// moves and records nothing. Error: the os error form of the judgement's (a foreign
// level: ERROR_ALREADY_EXISTS), or NO_FILE_ID_PREFIX and the level's path.
Result<std::wstring> find_service_dir(std::wstring_view program_data);

// `path`, FOREIGN_INFIX and 32 random hexadecimal digits: a name beside `path` that
// nobody can know in advance. Error: the os error form.
Result<std::wstring> foreign_name(const std::wstring& path);

// "moved aside a folder the service did not make: {from} -> {to}"
std::string moved_aside_line(const MovedAside& moved);

}  // namespace korvan::workdir
