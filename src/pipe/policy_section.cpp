#include "pipe/policy_section.h"

#include <userenv.h>

namespace korvan::pipe {

GroupPolicyCalls group_policy_calls() {
    return GroupPolicyCalls{EnterCriticalPolicySection, LeaveCriticalPolicySection,
                            RegisterGPNotification, UnregisterGPNotification};
}

PolicySection::PolicySection(const GroupPolicyCalls& calls)
    : calls_(calls), section_(calls.enter(TRUE)) {
    if (section_ == nullptr) {
        error_ = GetLastError();
    }
}

PolicySection::~PolicySection() {
    if (section_ != nullptr) {
        calls_.leave(section_);
    }
}

}  // namespace korvan::pipe
