// kit-clean FOLDER...
//
// Removes each FOLDER with everything in it, for the test kit's cleanup, which runs
// elevated over folders below ProgramData where users may create entries. Nothing is
// reached through a name that someone else could change meanwhile:
// - every entry is opened relative to the handle of the folder that holds it, never by
//   a path, so a folder renamed or swapped during the removal leads nowhere else;
// - a reparse point (a junction, a symbolic link) is opened as itself and removed as
//   itself, never followed;
// - each folder is first given a protected DACL that grants only SYSTEM and
//   Administrators, so no user can add entries to it while it is being emptied.
// Prints one line for each folder it could not remove and exits 1 then, else 0. A
// FOLDER that does not exist is no failure.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "win/handle.h"

namespace {

using korvan::win::UniqueHandle;
using korvan::win::UniqueLocal;

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD ACCESS = DELETE | READ_CONTROL | WRITE_DAC | FILE_LIST_DIRECTORY |
                         FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr wchar_t LOCKED_SDDL[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// mingw-w64's winternl.h declares NtCreateFile but not these two values.
constexpr ULONG OPEN_REPARSE_POINT = 0x00200000;      // FILE_OPEN_REPARSE_POINT
constexpr ULONG OPEN_FOR_BACKUP_INTENT = 0x00004000;  // FILE_OPEN_FOR_BACKUP_INTENT

// `name` in the folder behind `parent`, opened as itself.
UniqueHandle open_child(HANDLE parent, const std::wstring& name) {
    UNICODE_STRING unicode{};
    unicode.Buffer = const_cast<wchar_t*>(name.c_str());
    unicode.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    unicode.MaximumLength = unicode.Length;
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE child = nullptr;
    const NTSTATUS result = NtCreateFile(
        &child, ACCESS, &attributes, &status, nullptr, 0, SHARE_ALL, FILE_OPEN,
        FILE_SYNCHRONOUS_IO_NONALERT | OPEN_REPARSE_POINT | OPEN_FOR_BACKUP_INTENT, nullptr, 0);
    return UniqueHandle(result >= 0 ? child : nullptr);
}

// The names in the folder behind `folder`, without "." and "..".
std::vector<std::wstring> entries(HANDLE folder) {
    std::vector<std::wstring> names;
    alignas(LONGLONG) std::byte buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, kind, buffer, sizeof buffer)) {
        kind = FileIdBothDirectoryInfo;
        std::size_t offset = 0;
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                names.push_back(name);
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            offset += entry->NextEntryOffset;
        }
    }
    return names;
}

bool remove_entry(HANDLE entry, PSECURITY_DESCRIPTOR locked) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    const bool folder = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (folder) {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(locked, &present, &dacl, &defaulted);
        SetSecurityInfo(entry, SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, dacl, nullptr);
        for (const std::wstring& name : entries(entry)) {
            const UniqueHandle child = open_child(entry, name);
            if (!child || !remove_entry(child.get(), locked)) {
                return false;
            }
        }
    }
    // A read-only entry cannot be deleted. The attribute belongs to the file, not to
    // the name, so a file with other names keeps it, and its name is left.
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof standard)) {
        return false;
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0 && standard.NumberOfLinks == 1) {
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO dispose{TRUE};
    return SetFileInformationByHandle(entry, FileDispositionInfo, &dispose, sizeof dispose) !=
           FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    UniqueLocal locked;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(LOCKED_SDDL, SDDL_REVISION_1,
                                                              locked.put(), nullptr)) {
        std::fputs("kit-clean: cannot build the security descriptor\n", stdout);
        return 1;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const UniqueHandle top(
            CreateFileW(argv[i], ACCESS, SHARE_ALL, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!top) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
                continue;
            }
        }
        if (!top || !remove_entry(top.get(), locked.get())) {
            std::printf("kit-clean: could not remove %ls\n", argv[i]);
            status = 1;
        }
    }
    return status;
}
