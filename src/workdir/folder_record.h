#pragma once

// The service's record of the folders it made itself, and of the folders it moved
// aside, kept under HKLM\SOFTWARE\KorvanVPN\Service where only SYSTEM and
// Administrators can write. A folder's identity is its FILE_ID_INFO (volume serial
// number and file ID): a folder someone else makes at the same path has another one,
// and neither a name nor a DACL that a planter can copy enters the judgement. Users can
// read the record: they learn a folder's file ID, which gives no way to reach it.

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>

#include "common/result.h"

namespace korvan::workdir {

inline constexpr wchar_t RECORD_KEY[] = L"SOFTWARE\\KorvanVPN\\Service";
// Under RECORD_KEY: one REG_BINARY value per folder the service made, named by the
// folder's full path and holding its FILE_ID_INFO.
inline constexpr wchar_t MADE_SUBKEY[] = L"Folders";
// Under RECORD_KEY: one value per folder the service moved aside, likewise.
inline constexpr wchar_t MOVED_SUBKEY[] = L"Moved";
// Under RECORD_KEY: one empty REG_BINARY value per level the service has begun to
// replace (found missing, or about to move aside) and not yet made anew, named by its
// full path.
inline constexpr wchar_t REPLACING_SUBKEY[] = L"Replacing";

// The same file ID, and the same volume serial number unless either is 0, which is read
// as "unknown". Wine answers 0 for the serial of C: to a service started early in a
// session, before its mount manager answers, and the serial it reads from its drive to
// every later process, so a folder the service made and recorded in one session would
// otherwise be judged foreign in the next.
//
// What the tolerance lets through: a folder with the recorded file ID that lies on
// another volume whose serial reads 0, or is judged against a record made where the
// serial read 0. The path is fixed below ProgramData, and a level that is a reparse
// point (a junction, a mount point) is refused before its identity is compared, so
// another volume can stand at that path only if an administrator puts ProgramData
// there; users cannot. On a volume whose serial really is 0 (some FAT volumes, RAM
// disks, network shares) the file ID alone decided already. On the volume that holds
// ProgramData, file IDs are the folder's own: a folder made by someone else has another.
bool same_file(const FILE_ID_INFO& left, const FILE_ID_INFO& right);

// Whether `id` can tell one folder from another: a file ID of all zeros (the file system
// does not support IDs) or all ones (it cannot establish one) tells none.
bool usable_file_id(const FILE_ID_INFO& id);

// The identity of the file or folder behind `handle`. Error: the os error form.
Result<FILE_ID_INFO> file_id(HANDLE handle);

// The recorded identity of the folder the service made at `path` (a full path), if any.
// Anything that cannot be read counts as no record.
std::optional<FILE_ID_INFO> made_folder(const std::wstring& path);

// Records that the service made the folder `id` at `path`. Error: the os error form.
Result<void> record_made_folder(const std::wstring& path, const FILE_ID_INFO& id);

// Drops the record of the folder the service made at `path`, if there is one.
void forget_made_folder(const std::wstring& path);

// Records that the service moved the folder `id` aside to `path`.
Result<void> record_moved_folder(const std::wstring& path, const FILE_ID_INFO& id);

// How many folders the service moved aside are still where it put them. Records of
// folders that are gone, or whose identity changed, are dropped on the way.
size_t moved_folders_left();

// Marks the level at `path` (a full path) as one the service has begun to replace.
// Error: the os error form.
Result<void> mark_replacing(const std::wstring& path);

// Whether the level at `path` is so marked. Anything that cannot be read counts as not.
bool replacing(const std::wstring& path);

// Drops the mark, once the service has made and recorded its own level at `path`.
void unmark_replacing(const std::wstring& path);

}  // namespace korvan::workdir
