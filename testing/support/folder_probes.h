#pragma once

// What the file system under test can show about the work folder's protection, found
// out by trying. Wine keeps no owner or DACL of its own on a folder (it reads them back
// from the Unix mode bits) and makes no junctions; Windows does both.

#include <windows.h>

#include <string>

#include "win/handle.h"

namespace korvan::test_support {

// The owner and DACL of a file or folder, read through a handle, or nothing.
win::UniqueLocal security_of(const std::wstring& path);

// Whether a folder created with the service's security reads it back unchanged.
bool system_keeps_folder_security();

// Whether a folder that is open without FILE_SHARE_DELETE cannot be renamed.
bool system_keeps_open_folders_in_place();

// Makes `link` a new junction (a mount point) to the folder `target`; false when the
// system cannot, leaving nothing at `link`.
bool make_junction(const std::wstring& link, const std::wstring& target);

// Whether a junction can be made, and is seen as a reparse point when opened without
// following it.
bool system_makes_junctions();

}  // namespace korvan::test_support
