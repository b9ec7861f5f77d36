#pragma once

// Group Policy's lock on the machine's registry policy. A refresh of policy may delete
// and write values again while it holds the lock, so the machine's policy is read only
// while it is held (EnterCriticalPolicySection(TRUE), LeaveCriticalPolicySection).
//
// EnterCriticalPolicySection has no time-out: it waits for as long as a refresh holds
// the lock. It is therefore entered and left on a helper thread of its own, and a
// caller waits for it only a bounded time. The helper enters once at a time: a caller
// that comes while an earlier entry still waits takes that one over. A lock entered
// after every caller has given up on it is left at once.

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace korvan::pipe {

// How long a caller waits for the lock.
inline constexpr DWORD POLICY_SECTION_WAIT_MS = 2000;

// EnterCriticalPolicySection and LeaveCriticalPolicySection, or stand-ins with their
// contract.
struct PolicySectionCalls {
    HANDLE(WINAPI* enter)(BOOL machine);
    BOOL(WINAPI* leave)(HANDLE section);
};
PolicySectionCalls group_policy_calls();

class PolicySection {
  public:
    // How an entry ended.
    enum class Entry {
        // The lock is held until the Hold is destroyed.
        Held,
        // The call failed at once, with `error`; nothing is held.
        Unavailable,
        // The wait ran out; nothing is held.
        TimedOut,
    };

    // One caller's entry. Held: the lock is left when it is destroyed.
    class Hold {
      public:
        Hold(Hold&& other) noexcept;
        Hold& operator=(Hold&&) = delete;
        ~Hold();

        Entry entry() const { return entry_; }
        // The Win32 error of a call that failed at once.
        DWORD error() const { return error_; }
        // Unavailable with another error than the entry before it, or after one that
        // held: the failure is news.
        bool new_failure() const { return new_failure_; }

      private:
        friend class PolicySection;
        Hold(PolicySection* section, Entry entry, DWORD error, bool new_failure,
             std::unique_lock<std::mutex> caller);

        PolicySection* section_;
        Entry entry_;
        DWORD error_;
        bool new_failure_;
        std::unique_lock<std::mutex> caller_;
    };

    explicit PolicySection(PolicySectionCalls calls = group_policy_calls(),
                           DWORD wait_ms = POLICY_SECTION_WAIT_MS);
    // Does not wait for a helper that is still inside an entry; it leaves what it gets
    // and ends.
    ~PolicySection();
    PolicySection(const PolicySection&) = delete;
    PolicySection& operator=(const PolicySection&) = delete;

    // Enters the machine's lock, waiting at most the bound. Callers are served one at a
    // time: a second caller waits for the first one's Hold to go, and then for its own
    // bound.
    Hold enter();

  private:
    struct Shared;
    void leave();

    std::shared_ptr<Shared> shared_;
    DWORD wait_ms_;
    // Held by the one caller being served, from enter() until its Hold goes.
    std::mutex callers_;
    // Under callers_: the error of the last entry that did not time out.
    DWORD last_error_ = ERROR_SUCCESS;
};

// The service's own: the system's calls and the bound above, its helper started at
// the first entry.
PolicySection& machine_policy_section();

}  // namespace korvan::pipe
