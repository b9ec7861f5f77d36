#pragma once

// Group Policy as the tests have it: its lock entered at once, whatever the machine says
// (Wine's EnterCriticalPolicySection fails at once, which a watch logs), and its
// notification the system's own; and a watch's decision as a test looks at it.

#include <windows.h>

#include <string>

#include "pipe/control_policy.h"
#include "pipe/policy_section.h"
#include "pipe/policy_watch.h"

namespace korvan::test_support {

inline HANDLE WINAPI policy_entered_at_once(BOOL) {
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(1));
}

inline BOOL WINAPI policy_left(HANDLE) {
    return TRUE;
}

inline pipe::GroupPolicyCalls free_group_policy() {
    pipe::GroupPolicyCalls calls = pipe::group_policy_calls();
    calls.enter = policy_entered_at_once;
    calls.leave = policy_left;
    return calls;
}

// The machine's keys, watched under a lock that is always had, for the life of the
// process.
inline pipe::PolicyWatch& free_machine_policy() {
    static pipe::PolicyWatch* const watch =
        new pipe::PolicyWatch({.group_policy = free_group_policy()});
    return *watch;
}

// The policy under `keys`, watched under a lock that is always had while this lives; it
// stands for its source.
class PolicyAt {
  public:
    explicit PolicyAt(const pipe::PolicyKeys& keys)
        : watch_({.keys = keys, .group_policy = free_group_policy()}) {}

    operator pipe::PolicySource() { return pipe::PolicySource{&watch_}; }

  private:
    pipe::PolicyWatch watch_;
};

inline PolicyAt policy_at(const pipe::PolicyKeys& keys) {
    return PolicyAt(keys);
}

// The refusal a start gets from `watch`'s last reading now, or "" when it is allowed.
inline std::string start_refusal(pipe::PolicyWatch& watch, HANDLE token) {
    const Result<void> allowed = pipe::may_start_and_stop(token, pipe::PolicySource{&watch});
    return allowed ? std::string() : allowed.error();
}

// Whether a start is decided as `wanted` (a refusal, or "" for allowed) within
// `within_ms`, asked every 20 ms.
inline bool decided_within(pipe::PolicyWatch& watch, HANDLE token, const std::string& wanted,
                           DWORD within_ms = 1000) {
    const ULONGLONG began = GetTickCount64();
    for (;;) {
        if (start_refusal(watch, token) == wanted) {
            return true;
        }
        if (GetTickCount64() - began >= within_ms) {
            return false;
        }
        Sleep(20);
    }
}

}  // namespace korvan::test_support
