#include "support/folder_probes.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <vector>

#include "common/result.h"
#include "support/test_support.h"
#include "workdir/service_dir.h"

namespace korvan::test_support {

namespace {

// The mount-point form of REPARSE_DATA_BUFFER, which only the driver kit declares.
struct MountPointHeader {
    DWORD tag;
    WORD data_length;
    WORD reserved;
    WORD substitute_offset;
    WORD substitute_length;
    WORD print_offset;
    WORD print_length;
};

constexpr DWORD REPARSE_HEADER_SIZE = 8;

PSID owner_of(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) {
        return nullptr;
    }
    return owner;
}

// The DACL, when there is one and it is not a null DACL (which grants everyone all).
PACL dacl_of(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) {
        return nullptr;
    }
    return dacl;
}

bool dacl_protected(PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    return GetSecurityDescriptorControl(descriptor, &control, &revision) &&
           (control & SE_DACL_PROTECTED) != 0;
}

bool same_entries(PACL left, PACL right) {
    if (left->AceCount != right->AceCount) {
        return false;
    }
    for (WORD index = 0; index < left->AceCount; ++index) {
        void* left_ace = nullptr;
        void* right_ace = nullptr;
        if (!GetAce(left, index, &left_ace) || !GetAce(right, index, &right_ace)) {
            return false;
        }
        const WORD size = static_cast<const ACE_HEADER*>(left_ace)->AceSize;
        if (static_cast<const ACE_HEADER*>(right_ace)->AceSize != size ||
            std::memcmp(left_ace, right_ace, size) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool has_owner_and_dacl_of(PSECURITY_DESCRIPTOR actual, PSECURITY_DESCRIPTOR wanted) {
    const PSID actual_owner = owner_of(actual);
    const PSID wanted_owner = owner_of(wanted);
    if (actual_owner == nullptr || wanted_owner == nullptr ||
        !EqualSid(actual_owner, wanted_owner)) {
        return false;
    }
    if (dacl_protected(actual) != dacl_protected(wanted)) {
        return false;
    }
    const PACL actual_dacl = dacl_of(actual);
    const PACL wanted_dacl = dacl_of(wanted);
    return actual_dacl != nullptr && wanted_dacl != nullptr &&
           same_entries(actual_dacl, wanted_dacl);
}

win::UniqueLocal security_of(const std::wstring& path) {
    win::UniqueHandle file(CreateFileW(
        path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    win::UniqueLocal security;
    if (file) {
        GetSecurityInfo(file.get(), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, security.put());
    }
    return security;
}

bool system_keeps_folder_security() {
    Result<win::UniqueLocal> wanted = workdir::service_dir_security();
    if (!wanted) {
        return false;
    }
    TempDir temp(L"probe");
    const std::wstring folder = temp.path + L"\\protected";
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = wanted->get();
    if (!CreateDirectoryW(folder.c_str(), &attributes)) {
        return false;
    }
    const win::UniqueLocal actual = security_of(folder);
    return actual && has_owner_and_dacl_of(actual.get(), wanted->get());
}

bool system_keeps_open_folders_in_place() {
    TempDir temp(L"probe");
    const std::wstring folder = temp.path + L"\\held";
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        return false;
    }
    const win::UniqueHandle held(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return held && !MoveFileExW(folder.c_str(), (folder + L" moved").c_str(), 0);
}

bool system_renames_through_handles() {
    TempDir temp(L"probe");
    const std::wstring folder = temp.path + L"\\first";
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        return false;
    }
    const win::UniqueHandle first(
        CreateFileW(folder.c_str(), DELETE | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!first || !MoveFileExW(folder.c_str(), (temp.path + L"\\second").c_str(), 0) ||
        !CreateDirectoryW(folder.c_str(), nullptr)) {
        return false;
    }
    const std::wstring to = temp.path + L"\\third";
    std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, to.c_str(), to.size() * sizeof(wchar_t));
    return SetFileInformationByHandle(first.get(), FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) &&
           std::filesystem::exists(folder) && !std::filesystem::exists(temp.path + L"\\second");
}

bool turn_into_junction(const std::wstring& folder, const std::wstring& target) {
    const std::wstring substitute = L"\\??\\" + target;
    const auto substitute_bytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    MountPointHeader header{};
    header.tag = IO_REPARSE_TAG_MOUNT_POINT;
    header.substitute_offset = 0;
    header.substitute_length = substitute_bytes;
    // An empty print name follows the substitute name; both are terminated.
    header.print_offset = static_cast<WORD>(substitute_bytes + sizeof(wchar_t));
    header.print_length = 0;
    const size_t path_bytes = substitute_bytes + 2 * sizeof(wchar_t);
    header.data_length = static_cast<WORD>(sizeof header - REPARSE_HEADER_SIZE + path_bytes);
    std::vector<std::byte> buffer(sizeof header + path_bytes);
    std::memcpy(buffer.data(), &header, sizeof header);
    std::memcpy(buffer.data() + sizeof header, substitute.c_str(), substitute_bytes);

    win::UniqueHandle opened(CreateFileW(folder.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                         nullptr));
    DWORD returned = 0;
    return opened &&
           DeviceIoControl(opened.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                           static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
}

bool make_junction(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) {
        return false;
    }
    if (!turn_into_junction(link, target)) {
        RemoveDirectoryW(link.c_str());
        return false;
    }
    return true;
}

bool system_makes_junctions() {
    TempDir temp(L"probe");
    const std::wstring target = temp.path + L"\\target";
    const std::wstring link = temp.path + L"\\link";
    if (!CreateDirectoryW(target.c_str(), nullptr) || !make_junction(link, target)) {
        return false;
    }
    win::UniqueHandle opened(
        CreateFileW(link.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    const bool seen = opened && GetFileInformationByHandle(opened.get(), &info) &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    opened.reset();
    // The junction goes first, so that removing the temp folder cannot reach through it.
    RemoveDirectoryW(link.c_str());
    return seen;
}

std::wstring own_work_dir(const std::wstring& program_data) {
    Result<workdir::ServiceDir> dir =
        workdir::open_service_dir(program_data, workdir::Role::Service);
    EXPECT_TRUE(dir.ok()) << dir.error();
    return dir.ok() ? dir->path : std::wstring();
}

std::optional<FILE_ID_INFO> file_identity(const std::wstring& path) {
    const win::UniqueHandle opened(
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FILE_ID_INFO id{};
    if (!opened || !GetFileInformationByHandleEx(opened.get(), FileIdInfo, &id, sizeof id)) {
        return std::nullopt;
    }
    return id;
}

std::vector<std::wstring> moved_aside_in(const std::wstring& parent, const std::wstring& name) {
    std::vector<std::wstring> found;
    const std::wstring prefix = name + workdir::FOREIGN_INFIX;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
        const std::wstring entry_name = entry.path().filename().wstring();
        if (entry_name.starts_with(prefix)) {
            found.push_back(entry_name);
        }
    }
    return found;
}

}  // namespace korvan::test_support
