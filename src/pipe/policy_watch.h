#pragma once

// The machine's policy as the service holds it (control_policy.h): read when a watch
// begins, and again whenever either key may have changed, on a thread of the watch's
// own. A start or stop is decided on the last value read and never reads the keys
// itself; it waits for nothing but the first read, for at most FIRST_READ_WAIT_MS.
//
// What wakes the thread:
// - RegisterGPNotification for the machine: Group Policy has applied machine policy;
// - RegNotifyChangeKeyValue, never for a subtree: on each key that exists, for its
//   values and its security, and on its parent, for its subkeys (the key's removal);
//   for a key that does not exist, on its nearest existing parent and on that one's
//   parent, for their subkeys, so that a key made later is seen one level at a time,
//   and so is that parent's removal.
// The thread registers every key's notifications anew before each read, so that a change
// made while it reads wakes it again; it is the only thread that registers them and it
// lives as long as the watch, so REG_NOTIFY_THREAD_AGNOSTIC is not used.
//
// Each read is made while Group Policy's lock is held (policy_section.h), which may take
// as long as Group Policy holds it; requests meanwhile get the value read before. When
// the lock cannot be entered at all, the keys are read without it, and READ_WITHOUT_LOCK
// is logged when that failure is news: a first failure, another error, or the same
// error after an entry that held.
//
// A read that fails, or a notification that cannot be registered, is tried again every
// `retry_ms`, since no notification may come for it. Each such failure is logged once,
// and again only once another has come or it has been put right; a faulty value
// (policy_fault) is logged once for each value it changes to.

#include <windows.h>

#include <memory>
#include <string_view>

#include "common/result.h"
#include "pipe/control_policy.h"
#include "pipe/policy_section.h"

namespace korvan::pipe {

// How long a request waits for the first read.
inline constexpr DWORD FIRST_READ_WAIT_MS = 2000;
// How soon a read that failed, or a watch that could not be registered, is tried again.
inline constexpr DWORD POLICY_RETRY_MS = 5000;

// The log line when Group Policy's lock cannot be entered at all and the policy is read
// without it: "StartAllowedFor policy: read without Group Policy's lock:
// EnterCriticalPolicySection: {Windows API error}".
inline constexpr std::string_view READ_WITHOUT_LOCK = "read without Group Policy's lock";
inline constexpr std::string_view ENTER_SECTION_STEP = "EnterCriticalPolicySection";
// The log line when a change would not be told: "StartAllowedFor policy: not watched:
// HKLM\{key}: {step}: {Windows API error}" for a key, with the step RegOpenKeyExW or
// RegNotifyChangeKeyValue, or "StartAllowedFor policy: not watched: {step}: {Windows
// API error}" with the step RegisterGPNotification or CreateEventW.
inline constexpr std::string_view NOT_WATCHED = "not watched: ";
inline constexpr std::string_view OPEN_KEY_STEP = "RegOpenKeyExW";
inline constexpr std::string_view NOTIFY_KEY_STEP = "RegNotifyChangeKeyValue";
inline constexpr std::string_view NOTIFY_POLICY_STEP = "RegisterGPNotification";
inline constexpr std::string_view CREATE_EVENT_STEP = "CreateEventW";

// What a watch is made of: the machine's keys, Group Policy's calls and the retry's
// pause, unless a test names its own.
struct PolicyWatchParts {
    PolicyKeys keys = machine_policy_keys();
    GroupPolicyCalls group_policy = group_policy_calls();
    DWORD retry_ms = POLICY_RETRY_MS;
};

// The last read: none yet, the value read, or the failure that refuses every start and
// stop until a read succeeds (read_policy's error).
struct PolicyReading {
    enum class State { NotYet, Read, Failed };
    State state = State::NotYet;
    PolicyValue value;
    Failure failure;
};

class PolicyWatch {
  public:
    // Starts the thread, which reads at once. The keys' texts are copied.
    explicit PolicyWatch(PolicyWatchParts parts = {});
    // Tells the thread to end and does not wait for it: it may be waiting for Group
    // Policy's lock, which has no time-out. It ends once it has the lock (and leaves it),
    // or at once when it waits for a change.
    ~PolicyWatch();
    PolicyWatch(const PolicyWatch&) = delete;
    PolicyWatch& operator=(const PolicyWatch&) = delete;

    // The last read; until the first has ended, waits for it at most `wait_ms` and then
    // yields NotYet. A thread that could not be started is tried again here.
    PolicyReading latest(DWORD wait_ms = FIRST_READ_WAIT_MS);

  private:
    struct Shared;
    void start();

    std::shared_ptr<Shared> shared_;
};

}  // namespace korvan::pipe
