#include "support/registry_keys.h"

#include <gtest/gtest.h>

#include <sddl.h>

namespace korvan::test_support {

UnreadableKey::UnreadableKey(const std::wstring& key) {
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, READ_CONTROL | WRITE_DAC, key_.put()),
        ERROR_SUCCESS);
    DWORD size = 0;
    RegGetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    saved_.resize(size);
    EXPECT_EQ(RegGetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, saved_.data(), &size),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR denying = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(D;;KR;;;WD)(A;;KA;;;BA)(A;;KA;;;SY)", SDDL_REVISION_1, &denying, nullptr));
    const win::UniqueLocal owned(denying);
    if (denying == nullptr) {
        return;
    }
    EXPECT_EQ(RegSetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, denying), ERROR_SUCCESS);
}

void UnreadableKey::restore() {
    if (!key_) {
        return;
    }
    EXPECT_EQ(RegSetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, saved_.data()),
              ERROR_SUCCESS);
    key_.reset();
}

}  // namespace korvan::test_support
