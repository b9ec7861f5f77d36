#pragma once

// What the file system under test can show about the work folder's protection, found
// out by trying. Wine keeps no owner or DACL of its own on a folder (it reads them back
// from the Unix mode bits) and makes no junctions; Windows does both.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "win/handle.h"

namespace korvan::test_support {

// The owner and DACL of a file or folder, read through a handle, or nothing.
win::UniqueLocal security_of(const std::wstring& path);

// Whether `actual` has the owner and the DACL of `wanted`: the same owner, a DACL that
// is protected from inheritance when that of `wanted` is, and the same entries in the
// same order. The group and the other control bits are not compared. A descriptor
// without an owner, or without a DACL or with a null one, never matches.
bool has_owner_and_dacl_of(PSECURITY_DESCRIPTOR actual, PSECURITY_DESCRIPTOR wanted);

// Whether a folder created with the service's security reads it back unchanged.
bool system_keeps_folder_security();

// Whether a folder that is open without FILE_SHARE_DELETE cannot be renamed.
bool system_keeps_open_folders_in_place();

// Whether a rename through a handle moves the handle's own folder after that folder was
// renamed through another handle, rather than whatever now has its first name.
bool system_renames_through_handles();

// Makes `link` a new junction (a mount point) to the folder `target`; false when the
// system cannot, leaving nothing at `link`.
bool make_junction(const std::wstring& link, const std::wstring& target);

// Turns the existing empty folder `folder` into a junction to `target`, keeping its
// file ID; false when the system cannot.
bool turn_into_junction(const std::wstring& folder, const std::wstring& target);

// Whether a junction can be made, and is seen as a reparse point when opened without
// following it.
bool system_makes_junctions();

// Makes {program_data}\KorvanVPN\service the service's own, as the service does on its
// first touch, and returns its path; what a test puts there afterwards is put there as
// by an administrator.
std::wstring own_work_dir(const std::wstring& program_data);

// The identity (volume serial number and file ID) of what is at `path`, opened without
// following a reparse point, or nothing.
std::optional<FILE_ID_INFO> file_identity(const std::wstring& path);

// The names of the entries of `parent` that begin with `name` and the infix of a
// folder moved aside, in no particular order.
std::vector<std::wstring> moved_aside_in(const std::wstring& parent, const std::wstring& name);

}  // namespace korvan::test_support
