#include "win/backup_privileges.h"

#include "win/handle.h"

namespace korvan::win {

namespace {

// TOKEN_PRIVILEGES with room for two entries.
struct TwoPrivileges {
    DWORD count;
    LUID_AND_ATTRIBUTES privileges[2];
};

}  // namespace

BackupRestoreScope::BackupRestoreScope() {
    // A copy of the process token on this thread: what is enabled on it stays here.
    if (!ImpersonateSelf(SecurityImpersonation)) {
        return;
    }
    impersonating_ = true;
    UniqueHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES, TRUE, token.put())) {
        return;
    }
    TwoPrivileges wanted{2, {}};
    if (!LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &wanted.privileges[0].Luid) ||
        !LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &wanted.privileges[1].Luid)) {
        return;
    }
    wanted.privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    wanted.privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
    // Succeeds with ERROR_NOT_ALL_ASSIGNED for a privilege the token lacks.
    AdjustTokenPrivileges(token.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&wanted),
                          sizeof wanted, nullptr, nullptr);
}

BackupRestoreScope::~BackupRestoreScope() {
    if (impersonating_) {
        const DWORD saved = GetLastError();
        RevertToSelf();
        SetLastError(saved);
    }
}

}  // namespace korvan::win
