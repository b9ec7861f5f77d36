#pragma once

// Group Policy's lock as the tests have it: entered at once, whatever the machine says.

#include <windows.h>

#include "pipe/control_policy.h"
#include "pipe/policy_section.h"

namespace korvan::test_support {

inline HANDLE WINAPI policy_entered_at_once(BOOL) {
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(1));
}

inline BOOL WINAPI policy_left(HANDLE) {
    return TRUE;
}

inline pipe::PolicySection& free_policy_section() {
    static pipe::PolicySection section({policy_entered_at_once, policy_left});
    return section;
}

// The policy under `keys`, read under a lock that is always had.
inline pipe::PolicySource policy_at(const pipe::PolicyKeys& keys) {
    return pipe::PolicySource{keys, &free_policy_section()};
}

}  // namespace korvan::test_support
