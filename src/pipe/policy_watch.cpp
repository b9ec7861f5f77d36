#include "pipe/policy_watch.h"

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "log/service_log.h"
#include "win/error_text.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::pipe {

namespace {

// A line of one kind logged when it differs from the last of its kind, so that a failure
// that lasts is logged once, not at every retry.
class LoggedOnce {
  public:
    // `line` is the kind's state now; absent when all is well.
    void log(const std::optional<std::string>& line) {
        if (line && line != last_) {
            log::write_log(*line);
        }
        last_ = line;
    }

  private:
    std::optional<std::string> last_;
};

std::wstring parent_of(const std::wstring& path) {
    const size_t separator = path.rfind(L'\\');
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::string not_watched(const std::wstring& key, std::string_view step, DWORD error) {
    return std::string(POLICY_PREFIX) + std::string(NOT_WATCHED) + "HKLM\\" + win::narrow(key) +
           ": " + win::winapi_failure(step, error).text;
}

std::string not_watched(std::string_view step, DWORD error) {
    return std::string(POLICY_PREFIX) + std::string(NOT_WATCHED) +
           win::winapi_failure(step, error).text;
}

// One registered notification: the key it is on and the event it signals. Each has an
// event of its own: a registration resets the event it is given (Wine's does), which
// would lose a change already told through a shared one.
struct KeyWatch {
    win::UniqueKey key;
    win::UniqueHandle changed;
};

// The notifications registered for one round: between two reads.
struct KeyWatches {
    std::vector<KeyWatch> watches;
    // The first registration that failed.
    std::optional<std::string> failure;

    void fail(std::string line) {
        if (!failure) {
            failure = std::move(line);
        }
    }

    // Opens `path` and registers `filter` on it; false when the key does not exist.
    bool watch(const std::wstring& path, DWORD filter) {
        win::UniqueKey key;
        const LSTATUS opened =
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_NOTIFY, key.put());
        if (opened == ERROR_FILE_NOT_FOUND) {
            return false;
        }
        if (opened != ERROR_SUCCESS) {
            fail(not_watched(path, OPEN_KEY_STEP, static_cast<DWORD>(opened)));
            return true;
        }
        win::UniqueHandle changed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!changed) {
            fail(not_watched(CREATE_EVENT_STEP, GetLastError()));
            return true;
        }
        const LSTATUS registered =
            RegNotifyChangeKeyValue(key.get(), FALSE, filter, changed.get(), TRUE);
        // Removed since it was opened.
        if (registered == ERROR_KEY_DELETED) {
            return false;
        }
        if (registered != ERROR_SUCCESS) {
            fail(not_watched(path, NOTIFY_KEY_STEP, static_cast<DWORD>(registered)));
            return true;
        }
        watches.push_back(KeyWatch{std::move(key), std::move(changed)});
        return true;
    }

    // The key's values and security when it exists, or else the subkeys of its nearest
    // existing parent (the next level of its path being made); and the subkeys of the
    // parent of the one watched, for its removal, which Wine tells only to a watch on the
    // parent. A level made or removed while these are registered is told to nobody, so
    // they are registered again until what they were chosen on still holds after.
    void watch_key(const std::wstring& path) {
        for (;;) {
            const size_t kept = watches.size();
            std::wstring level = path;
            std::wstring below;
            while (!watch(level, level == path
                                     ? REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY
                                     : REG_NOTIFY_CHANGE_NAME)) {
                below = level;
                level = parent_of(level);
                if (level.empty()) {
                    fail(not_watched(path, OPEN_KEY_STEP, ERROR_FILE_NOT_FOUND));
                    return;
                }
            }
            const std::wstring parent = parent_of(level);
            if (!parent.empty()) {
                (void)watch(parent, REG_NOTIFY_CHANGE_NAME);
            }
            if (made(level) && (below.empty() || !made(below))) {
                return;
            }
            watches.erase(watches.begin() + static_cast<std::ptrdiff_t>(kept), watches.end());
        }
    }

    static bool made(const std::wstring& path) {
        win::UniqueKey key;
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_NOTIFY, key.put()) !=
               ERROR_FILE_NOT_FOUND;
    }
};

}  // namespace

struct PolicyWatch::Shared {
    explicit Shared(const PolicyWatchParts& parts)
        : policy_key(parts.keys.policy),
          product_key(parts.keys.product),
          group_policy(parts.group_policy),
          retry_ms(parts.retry_ms) {}

    const std::wstring policy_key;
    const std::wstring product_key;
    const GroupPolicyCalls group_policy;
    const DWORD retry_ms;
    const win::UniqueHandle stop{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> stopping{false};

    // The reading and whether the thread runs, under `lock`; `read` is woken at each
    // reading.
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE read = CONDITION_VARIABLE_INIT;
    PolicyReading reading;
    bool started = false;

    // The thread's own.
    DWORD lock_error = ERROR_SUCCESS;
    LoggedOnce logged_reading;
    LoggedOnce logged_watch;

    static DWORD WINAPI thread(LPVOID parameter) {
        const std::unique_ptr<std::shared_ptr<Shared>> shared(
            static_cast<std::shared_ptr<Shared>*>(parameter));
        (*shared)->run();
        return 0;
    }

    void run() {
        const win::UniqueHandle applied(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        const DWORD applied_error = applied ? ERROR_SUCCESS : GetLastError();
        bool notified = false;
        while (!stopping) {
            std::optional<std::string> unwatched;
            if (!applied) {
                unwatched = not_watched(CREATE_EVENT_STEP, applied_error);
            } else if (!notified) {
                notified = group_policy.notify(applied.get(), TRUE);
                if (!notified) {
                    unwatched = not_watched(NOTIFY_POLICY_STEP, GetLastError());
                }
            }
            KeyWatches watches;
            watches.watch_key(policy_key);
            watches.watch_key(product_key);
            if (!unwatched) {
                unwatched = watches.failure;
            }
            const std::optional<PolicyReading::State> read = read_and_publish();
            if (!read) {
                break;
            }
            logged_watch.log(unwatched);

            std::vector<HANDLE> wakers;
            for (HANDLE event : {stop.get(), notified ? applied.get() : nullptr}) {
                if (event != nullptr) {
                    wakers.push_back(event);
                }
            }
            for (const KeyWatch& watch : watches.watches) {
                wakers.push_back(watch.changed.get());
            }
            const bool retry = unwatched || *read == PolicyReading::State::Failed;
            if (wakers.empty() ||
                WaitForMultipleObjects(static_cast<DWORD>(wakers.size()), wakers.data(), FALSE,
                                       retry ? retry_ms : INFINITE) == WAIT_FAILED) {
                Sleep(retry_ms);
            }
        }
        if (notified) {
            group_policy.unnotify(applied.get());
        }
    }

    // Reads the keys under Group Policy's lock and makes that the reading, whose state
    // it yields; nothing when the watch ended while the lock was awaited.
    std::optional<PolicyReading::State> read_and_publish() {
        std::optional<Result<PolicyValue>> value;
        {
            const PolicySection section(group_policy);
            if (stopping) {
                return std::nullopt;
            }
            if (!section.held() && section.error() != lock_error) {
                log::write_log(std::string(POLICY_PREFIX) + std::string(READ_WITHOUT_LOCK) + ": " +
                               win::winapi_failure(ENTER_SECTION_STEP, section.error()).text);
            }
            lock_error = section.held() ? ERROR_SUCCESS : section.error();
            value.emplace(read_policy(PolicyKeys{policy_key.c_str(), product_key.c_str()}));
        }
        PolicyReading next;
        if (value->ok()) {
            next.state = PolicyReading::State::Read;
            next.value = std::move(value->value());
            logged_reading.log(policy_fault(next.value));
        } else {
            next.state = PolicyReading::State::Failed;
            next.failure = value->failure();
            logged_reading.log(next.failure.text);
        }
        const PolicyReading::State state = next.state;
        AcquireSRWLockExclusive(&lock);
        reading = std::move(next);
        ReleaseSRWLockExclusive(&lock);
        WakeAllConditionVariable(&read);
        return state;
    }
};

PolicyWatch::PolicyWatch(PolicyWatchParts parts) : shared_(std::make_shared<Shared>(parts)) {
    AcquireSRWLockExclusive(&shared_->lock);
    start();
    ReleaseSRWLockExclusive(&shared_->lock);
}

PolicyWatch::~PolicyWatch() {
    shared_->stopping = true;
    if (shared_->stop) {
        SetEvent(shared_->stop.get());
    }
}

void PolicyWatch::start() {
    auto parameter = std::make_unique<std::shared_ptr<Shared>>(shared_);
    const win::UniqueHandle thread(
        CreateThread(nullptr, 0, &Shared::thread, parameter.get(), 0, nullptr));
    if (thread) {
        (void)parameter.release();
        shared_->started = true;
    }
}

PolicyReading PolicyWatch::latest(DWORD wait_ms) {
    Shared& shared = *shared_;
    AcquireSRWLockExclusive(&shared.lock);
    if (!shared.started) {
        start();
    }
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    while (shared.reading.state == PolicyReading::State::NotYet) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            break;
        }
        SleepConditionVariableSRW(&shared.read, &shared.lock, static_cast<DWORD>(deadline - now),
                                  0);
    }
    PolicyReading reading = shared.reading;
    ReleaseSRWLockExclusive(&shared.lock);
    return reading;
}

PolicyWatch& machine_policy_watch() {
    // Never destroyed: its thread may wait for Group Policy's lock when the process
    // exits.
    static PolicyWatch* const watch = new PolicyWatch();
    return *watch;
}

}  // namespace korvan::pipe
