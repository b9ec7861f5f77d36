#pragma once

// Registry keys under HKEY_LOCAL_MACHINE as the policy's tests change them.

#include <windows.h>

#include <string>
#include <vector>

#include "win/handle.h"

namespace korvan::test_support {

// For its scope, a key whose values nobody may read: its DACL denies reading to
// Everyone, the service and the key's owner included, and lets Administrators and
// SYSTEM do all else. The key's DACL as it was comes back at restore() or at the end.
class UnreadableKey {
  public:
    explicit UnreadableKey(const std::wstring& key);
    ~UnreadableKey() { restore(); }
    UnreadableKey(const UnreadableKey&) = delete;
    UnreadableKey& operator=(const UnreadableKey&) = delete;

    void restore();

  private:
    win::UniqueKey key_;
    std::vector<BYTE> saved_;
};

}  // namespace korvan::test_support
