#include "win/secure_dir.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <optional>
#include <utility>

#include "win/error_text.h"
#include "win/paths.h"

namespace korvan::win {

namespace {

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

// Creates one level when missing, opens it and puts its owner and DACL right; sets
// `put_right` when it had to.
Result<UniqueHandle> open_level(const std::wstring& path, PSECURITY_DESCRIPTOR security,
                                bool& put_right) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = security;
    DWORD create_error = ERROR_SUCCESS;
    if (!CreateDirectoryW(path.c_str(), &attributes)) {
        create_error = GetLastError();
    }
    // No FILE_SHARE_DELETE: while this handle is open, nobody can rename the level or
    // put something else in its place.
    UniqueHandle level(
        CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!level) {
        const DWORD open_error = GetLastError();
        const bool created_or_found =
            create_error == ERROR_SUCCESS || create_error == ERROR_ALREADY_EXISTS;
        return Failure{os_error_text(created_or_found ? open_error : create_error)};
    }
    // The basic information alone: GetFileInformationByHandle also queries the volume,
    // which costs more than the rest of this check under Wine.
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(level.get(), FileBasicInfo, &info, sizeof info)) {
        const DWORD error = GetLastError();
        return Failure{os_error_text(error)};
    }
    if (const DWORD refusal = level_refusal(info.FileAttributes); refusal != ERROR_SUCCESS) {
        return Failure{os_error_text(refusal)};
    }
    UniqueLocal actual;
    const DWORD read = GetSecurityInfo(level.get(), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, actual.put());
    if (read != ERROR_SUCCESS) {
        return Failure{os_error_text(read)};
    }
    if (has_owner_and_dacl_of(actual.get(), security)) {
        return level;
    }
    // Not SetSecurityInfo: that also walks the folder's existing children to pass the
    // inheritable entries on, and the children of a folder someone else made are not
    // to be walked. The descriptor's SE_DACL_PROTECTED bit protects the DACL here.
    if (!SetKernelObjectSecurity(
            level.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, security)) {
        const DWORD error = GetLastError();
        return Failure{os_error_text(error)};
    }
    put_right = true;
    return level;
}

}  // namespace

Result<UniqueLocal> service_dir_security() {
    UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(SERVICE_DIR_SDDL, SDDL_REVISION_1,
                                                              descriptor.put(), nullptr)) {
        const DWORD error = GetLastError();
        return Failure{os_error_text(error)};
    }
    return descriptor;
}

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

DWORD level_refusal(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return REPARSE_POINT_REFUSED;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ERROR_ALREADY_EXISTS;
    }
    return ERROR_SUCCESS;
}

Result<ServiceDir> open_service_dir(std::wstring_view program_data) {
    Result<UniqueLocal> security = service_dir_security();
    if (!security) {
        return security.failure();
    }
    if (!program_data.empty()) {
        if (Result<void> made = create_dir_all(std::wstring(program_data)); !made) {
            return made.failure();
        }
    }
    ServiceDir dir;
    dir.path = work_dir(program_data);
    // The work folder always has KorvanVPN above it.
    const std::wstring paths[] = {parent_path(dir.path).value_or(L""), dir.path};
    for (size_t index = 0; index < dir.levels.size(); ++index) {
        Result<UniqueHandle> level = open_level(paths[index], security->get(), dir.put_right);
        if (!level) {
            return level.failure();
        }
        dir.levels[index] = std::move(level.value());
    }
    return dir;
}

}  // namespace korvan::win
