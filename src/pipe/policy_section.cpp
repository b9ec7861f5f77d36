#include "pipe/policy_section.h"

#include <userenv.h>

#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

namespace korvan::pipe {

// Shared by the callers and the helper thread, which may outlive the PolicySection
// while it waits inside an entry.
struct PolicySection::Shared {
    explicit Shared(PolicySectionCalls calls) : calls(calls) {}

    const PolicySectionCalls calls;
    std::mutex lock;
    std::condition_variable changed;

    enum class State { Idle, Entering, Held };
    State state = State::Idle;
    bool started = false;
    // A caller asks for the lock.
    bool wanted = false;
    // A caller waits for the lock now; an entry that finds none is left at once.
    bool waiter = false;
    // The caller holding the lock is done with it.
    bool release = false;
    bool quit = false;
    // Counts the entries that failed at once; the last one's error.
    unsigned failures = 0;
    DWORD failure = ERROR_SUCCESS;

    void run() {
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            changed.wait(held, [&] { return quit || wanted; });
            if (quit) {
                return;
            }
            state = State::Entering;
            held.unlock();
            const HANDLE section = calls.enter(TRUE);
            const DWORD error = GetLastError();
            held.lock();
            if (section == nullptr) {
                failure = error;
                ++failures;
                wanted = false;
                state = State::Idle;
                changed.notify_all();
                continue;
            }
            if (waiter && !quit) {
                state = State::Held;
                release = false;
                changed.notify_all();
                changed.wait(held, [&] { return release || quit; });
            }
            held.unlock();
            calls.leave(section);
            held.lock();
            state = State::Idle;
            release = false;
            changed.notify_all();
        }
    }
};

PolicySectionCalls group_policy_calls() {
    return PolicySectionCalls{EnterCriticalPolicySection, LeaveCriticalPolicySection};
}

PolicySection::Hold::Hold(PolicySection* section, Entry entry, DWORD error, bool new_failure,
                          std::unique_lock<std::mutex> caller)
    : section_(section),
      entry_(entry),
      error_(error),
      new_failure_(new_failure),
      caller_(std::move(caller)) {}

PolicySection::Hold::Hold(Hold&& other) noexcept
    : section_(std::exchange(other.section_, nullptr)),
      entry_(other.entry_),
      error_(other.error_),
      new_failure_(other.new_failure_),
      caller_(std::move(other.caller_)) {}

PolicySection::Hold::~Hold() {
    if (section_ != nullptr && entry_ == Entry::Held) {
        section_->leave();
    }
}

PolicySection::PolicySection(PolicySectionCalls calls, DWORD wait_ms)
    : shared_(std::make_shared<Shared>(calls)), wait_ms_(wait_ms) {}

PolicySection::~PolicySection() {
    {
        std::lock_guard<std::mutex> held(shared_->lock);
        shared_->quit = true;
    }
    shared_->changed.notify_all();
}

PolicySection::Hold PolicySection::enter() {
    std::unique_lock<std::mutex> caller(callers_);
    Shared& shared = *shared_;
    std::unique_lock<std::mutex> held(shared.lock);
    const auto unavailable = [&](DWORD error) {
        const bool news = error != last_error_;
        last_error_ = error;
        return Hold(this, Entry::Unavailable, error, news, std::move(caller));
    };
    if (!shared.started) {
        try {
            std::thread(&Shared::run, shared_).detach();
        } catch (const std::system_error&) {
            return unavailable(ERROR_NOT_ENOUGH_MEMORY);
        }
        shared.started = true;
    }
    const unsigned failures = shared.failures;
    shared.waiter = true;
    shared.wanted = true;
    shared.changed.notify_all();
    const bool served = shared.changed.wait_for(held, std::chrono::milliseconds(wait_ms_), [&] {
        return (shared.state == Shared::State::Held && !shared.release) ||
               shared.failures != failures;
    });
    shared.waiter = false;
    shared.wanted = false;
    if (served && shared.failures != failures) {
        return unavailable(shared.failure);
    }
    if (!served) {
        return Hold(this, Entry::TimedOut, ERROR_TIMEOUT, false, std::move(caller));
    }
    last_error_ = ERROR_SUCCESS;
    return Hold(this, Entry::Held, ERROR_SUCCESS, false, std::move(caller));
}

void PolicySection::leave() {
    {
        std::lock_guard<std::mutex> held(shared_->lock);
        shared_->release = true;
    }
    shared_->changed.notify_all();
}

PolicySection& machine_policy_section() {
    static PolicySection section;
    return section;
}

}  // namespace korvan::pipe
