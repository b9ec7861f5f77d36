#include "kit_clean/clean.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <cstddef>
#include <string_view>

#include "win/error_text.h"
#include "win/handle.h"
#include "win/paths.h"

namespace korvan::kit_clean {

namespace {

using win::UniqueHandle;

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD ACCESS = DELETE | READ_CONTROL | WRITE_DAC | FILE_LIST_DIRECTORY |
                         FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr wchar_t LOCKED_SDDL[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// An entry as the folder that holds it lists it.
struct Listed {
    std::wstring name;
    LONGLONG id = 0;
};

// The entries of the folder behind `folder`, without "." and "..". Error: a listing
// that fails before its end, in the os error form.
Result<std::vector<Listed>> entries(HANDLE folder) {
    std::vector<Listed> listed;
    alignas(LONGLONG) std::byte buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, kind, buffer, sizeof buffer)) {
        kind = FileIdBothDirectoryInfo;
        std::size_t offset = 0;
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                listed.push_back(Listed{std::move(name), entry->FileId.QuadPart});
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            offset += entry->NextEntryOffset;
        }
    }
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        return Failure{win::os_error_text(error)};
    }
    return listed;
}

// The entry `listed` of the folder behind `parent`, opened as itself relative to that
// handle, and only when it is still the entry listed: the same file ID.
UniqueHandle open_listed(HANDLE parent, const Listed& listed) {
    UNICODE_STRING name{};
    name.Buffer = const_cast<wchar_t*>(listed.name.c_str());
    name.Length = static_cast<USHORT>(listed.name.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE raw = nullptr;
    if (!NT_SUCCESS(NtCreateFile(
            &raw, ACCESS, &attributes, &status, nullptr, 0, SHARE_ALL, FILE_OPEN,
            FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT,
            nullptr, 0))) {
        return {};
    }
    UniqueHandle child(raw);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(child.get(), &information)) {
        return {};
    }
    const LONGLONG id = static_cast<LONGLONG>(
        (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow);
    if (id != listed.id) {
        return {};
    }
    return child;
}

// Removes the entry `listed` of the folder behind `parent`, `below` being its path below
// ProgramData. False when it, or anything in it, is left.
bool remove_listed(HANDLE parent, const Listed& listed, const std::wstring& below,
                   PSECURITY_DESCRIPTOR locked, const CleanSeams& seams) {
    if (seams.before_open) {
        seams.before_open(below);
    }
    const UniqueHandle entry = open_listed(parent, listed);
    if (!entry) {
        return false;
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(entry.get(), FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    DWORD attributes = basic.FileAttributes;
    if (seams.attributes) {
        seams.attributes(below, attributes);
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(locked, &present, &dacl, &defaulted);
        SetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, dacl, nullptr);
        const Result<std::vector<Listed>> children = entries(entry.get());
        if (!children) {
            return false;
        }
        bool emptied = true;
        for (const Listed& child : children.value()) {
            emptied =
                remove_listed(entry.get(), child, below + L"\\" + child.name, locked, seams) &&
                emptied;
        }
        if (!emptied) {
            return false;
        }
    }
    // A read-only entry cannot be deleted. The attribute belongs to the file, not to
    // the name, so a file with other names keeps it, and its name is left.
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(entry.get(), FileStandardInfo, &standard, sizeof standard)) {
        return false;
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0 && standard.NumberOfLinks == 1) {
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        SetFileInformationByHandle(entry.get(), FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO dispose{TRUE};
    return SetFileInformationByHandle(entry.get(), FileDispositionInfo, &dispose, sizeof dispose) !=
           FALSE;
}

bool taken(const std::wstring& name) {
    const std::wstring_view prefix = MOVED_ASIDE_PREFIX;
    return CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), WORK_FOLDER_NAME, -1,
                                TRUE) == CSTR_EQUAL ||
           (name.size() > prefix.size() &&
            CompareStringOrdinal(name.c_str(), static_cast<int>(prefix.size()), prefix.data(),
                                 static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL);
}

}  // namespace

Result<std::vector<std::wstring>> clean_program_data(const std::wstring& program_data,
                                                     const CleanSeams& seams) {
    win::UniqueLocal locked;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(LOCKED_SDDL, SDDL_REVISION_1,
                                                              locked.put(), nullptr)) {
        const DWORD error = GetLastError();
        return Failure{win::os_error_text(error)};
    }
    // ProgramData itself comes from the administrator's environment, and is opened by
    // its path; nothing below it is.
    const UniqueHandle root(
        CreateFileW(program_data.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!root) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return std::vector<std::wstring>{};
        }
        return Failure{win::os_error_text(error)};
    }
    Result<std::vector<Listed>> listed = entries(root.get());
    if (!listed) {
        return listed.failure();
    }
    std::vector<std::wstring> left;
    for (const Listed& entry : listed.value()) {
        if (taken(entry.name) &&
            !remove_listed(root.get(), entry, entry.name, locked.get(), seams)) {
            left.push_back(win::join_path(program_data, entry.name));
        }
    }
    return left;
}

}  // namespace korvan::kit_clean
