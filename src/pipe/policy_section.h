#pragma once

// Group Policy's side of the machine's policy: its lock on the machine's registry policy,
// and its notice that machine policy has been applied. A refresh of policy may delete
// and write values again while it holds the lock, so the machine's policy is read only
// while it is held (EnterCriticalPolicySection(TRUE), LeaveCriticalPolicySection).
//
// EnterCriticalPolicySection has no time-out: it waits for as long as a refresh holds
// the lock. It is therefore entered only on a thread that no request waits for
// (policy_watch.h), and that thread is never joined.

#include <windows.h>

namespace korvan::pipe {

// EnterCriticalPolicySection, LeaveCriticalPolicySection, RegisterGPNotification and
// UnregisterGPNotification, or stand-ins with their contract.
struct GroupPolicyCalls {
    HANDLE(WINAPI* enter)(BOOL machine);
    BOOL(WINAPI* leave)(HANDLE section);
    BOOL(WINAPI* notify)(HANDLE event, BOOL machine);
    BOOL(WINAPI* unnotify)(HANDLE event);
};
GroupPolicyCalls group_policy_calls();

// One entry into the machine's lock, made at construction and left at destruction.
// The construction waits for as long as Group Policy holds the lock.
class PolicySection {
  public:
    explicit PolicySection(const GroupPolicyCalls& calls);
    ~PolicySection();
    PolicySection(const PolicySection&) = delete;
    PolicySection& operator=(const PolicySection&) = delete;

    // Whether the lock is held; when not, the call failed at once with error().
    bool held() const { return section_ != nullptr; }
    DWORD error() const { return error_; }

  private:
    const GroupPolicyCalls& calls_;
    HANDLE section_;
    DWORD error_ = ERROR_SUCCESS;
};

}  // namespace korvan::pipe
