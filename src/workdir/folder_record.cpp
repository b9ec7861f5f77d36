#include "workdir/folder_record.h"

#include <cstring>
#include <vector>

#include "win/error_text.h"
#include "win/handle.h"

namespace korvan::workdir {

namespace {

std::wstring subkey(const wchar_t* name) {
    return std::wstring(RECORD_KEY) + L"\\" + name;
}

Result<void> record(const wchar_t* name, const std::wstring& path, const void* data, DWORD size) {
    win::UniqueKey key;
    // HKLM\SOFTWARE lets only SYSTEM and Administrators create keys, and a new key
    // inherits that; nothing but the two can have made or changed the record.
    LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey(name).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key.get(), path.c_str(), 0, REG_BINARY,
                                static_cast<const BYTE*>(data), size);
    }
    if (status != ERROR_SUCCESS) {
        return win::os_failure(static_cast<DWORD>(status));
    }
    return {};
}

std::optional<FILE_ID_INFO> identity_at(const std::wstring& path) {
    win::UniqueHandle folder(
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) {
        return std::nullopt;
    }
    Result<FILE_ID_INFO> id = file_id(folder.get());
    if (!id) {
        return std::nullopt;
    }
    return id.value();
}

}  // namespace

bool same_file(const FILE_ID_INFO& left, const FILE_ID_INFO& right) {
    const bool same_volume = left.VolumeSerialNumber == right.VolumeSerialNumber ||
                             left.VolumeSerialNumber == 0 || right.VolumeSerialNumber == 0;
    return same_volume && std::memcmp(left.FileId.Identifier, right.FileId.Identifier,
                                      sizeof left.FileId.Identifier) == 0;
}

bool usable_file_id(const FILE_ID_INFO& id) {
    bool zeros = true;
    bool ones = true;
    for (const BYTE byte : id.FileId.Identifier) {
        zeros = zeros && byte == 0x00;
        ones = ones && byte == 0xFF;
    }
    return !zeros && !ones;
}

Result<FILE_ID_INFO> file_id(HANDLE handle) {
    FILE_ID_INFO id{};
    if (!GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        const DWORD error = GetLastError();
        return win::os_failure(error);
    }
    return id;
}

std::optional<FILE_ID_INFO> made_folder(const std::wstring& path) {
    FILE_ID_INFO id{};
    DWORD size = sizeof id;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, subkey(MADE_SUBKEY).c_str(), path.c_str(),
                     RRF_RT_REG_BINARY, nullptr, &id, &size) != ERROR_SUCCESS ||
        size != sizeof id) {
        return std::nullopt;
    }
    return id;
}

Result<void> record_made_folder(const std::wstring& path, const FILE_ID_INFO& id) {
    return record(MADE_SUBKEY, path, &id, sizeof id);
}

void forget_made_folder(const std::wstring& path) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, subkey(MADE_SUBKEY).c_str(), path.c_str());
}

Result<void> record_moved_folder(const std::wstring& path, const FILE_ID_INFO& id) {
    return record(MOVED_SUBKEY, path, &id, sizeof id);
}

Result<void> mark_replacing(const std::wstring& path) {
    return record(REPLACING_SUBKEY, path, nullptr, 0);
}

bool replacing(const std::wstring& path) {
    DWORD size = 0;
    return RegGetValueW(HKEY_LOCAL_MACHINE, subkey(REPLACING_SUBKEY).c_str(), path.c_str(),
                        RRF_RT_REG_BINARY, nullptr, nullptr, &size) == ERROR_SUCCESS;
}

void unmark_replacing(const std::wstring& path) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, subkey(REPLACING_SUBKEY).c_str(), path.c_str());
}

size_t moved_folders_left() {
    win::UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey(MOVED_SUBKEY).c_str(), 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) {
        return 0;
    }
    struct Moved {
        std::wstring path;
        std::optional<FILE_ID_INFO> id;
    };
    std::vector<Moved> records;
    // Value names are at most 16,383 characters.
    std::vector<wchar_t> name(16'384);
    for (DWORD index = 0;; ++index) {
        DWORD name_length = static_cast<DWORD>(name.size());
        FILE_ID_INFO id{};
        DWORD size = sizeof id;
        DWORD type = 0;
        const LSTATUS status = RegEnumValueW(key.get(), index, name.data(), &name_length, nullptr,
                                             &type, reinterpret_cast<BYTE*>(&id), &size);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        Moved moved{std::wstring(name.data(), name_length), std::nullopt};
        if (status == ERROR_SUCCESS && type == REG_BINARY && size == sizeof id) {
            moved.id = id;
        }
        if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
            records.push_back(std::move(moved));
        } else {
            break;
        }
    }
    size_t left = 0;
    for (const Moved& moved : records) {
        const std::optional<FILE_ID_INFO> now = identity_at(moved.path);
        if (moved.id && now && same_file(*moved.id, *now)) {
            ++left;
        } else {
            RegDeleteValueW(key.get(), moved.path.c_str());
        }
    }
    return left;
}

}  // namespace korvan::workdir
