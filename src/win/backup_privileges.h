#pragma once

// The backup and restore privileges, enabled for the calling thread alone.

#include <windows.h>

namespace korvan::win {

// While it lives, the calling thread impersonates the process's own token with
// SeBackupPrivilege and SeRestorePrivilege enabled (as far as the process holds them):
// an open with backup intent on that thread then passes any DACL, for reading and for
// writing, deleting and renaming alike. The process token and every other thread keep
// what they had. Its destruction, on the same thread, reverts the thread to the process
// token. When a step fails the thread goes on without the privileges, and what it opens
// is checked as for the process token.
class BackupRestoreScope {
  public:
    BackupRestoreScope();
    ~BackupRestoreScope();
    BackupRestoreScope(const BackupRestoreScope&) = delete;
    BackupRestoreScope& operator=(const BackupRestoreScope&) = delete;

  private:
    bool impersonating_ = false;
};

}  // namespace korvan::win
