#include "pipe/listener.h"

#include <sddl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "log/service_log.h"
#include "pipe/exchange.h"
#include "pipe/requests.h"
#include "proto/frame.h"
#include "win/error_text.h"
#include "win/overlapped_io.h"

namespace korvan::pipe {

namespace {

using win::NO_DEADLINE;

// WRITE_DAC: the listener sets the pipe's descriptor through its own instances.
constexpr DWORD OPEN_MODE = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | WRITE_DAC;
constexpr DWORD PIPE_MODE =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

// Completion keys beside the instances' own (their index).
constexpr ULONG_PTR STOP_KEY = ~ULONG_PTR{0};
constexpr ULONG_PTR ANSWERS_KEY = ~ULONG_PTR{0} - 1;

HANDLE create_instance(CreatePipeInstance create, DWORD open_mode, SECURITY_ATTRIBUTES& security) {
    return create(PIPE_NAME, open_mode, PIPE_MODE, PIPE_INSTANCES, PIPE_BUFFER_SIZE,
                  PIPE_BUFFER_SIZE, PIPE_DEFAULT_WAIT_MS, &security);
}

void CALLBACK post_stop(void* port, BOOLEAN) {
    PostQueuedCompletionStatus(static_cast<HANDLE>(port), 0, STOP_KEY, nullptr);
}

// Where an instance is in its life. Each phase but Resting, Listening and Handling
// waits on its client.
enum class Phase {
    // No instance: not made yet, or taken by someone else.
    Unmade,
    // Made, or disconnected: it listens once the completions in hand are handled.
    Free,
    // The instance would not listen: it tries again LISTEN_RETRY_MS after.
    Resting,
    // Waiting for a client.
    Listening,
    // The caller check and the request frame: the client is to send.
    Receiving,
    // A whole frame held back: its account has ACCOUNT_REQUESTS queued or handled.
    HeldBack,
    // Queued to, or handled by, the request thread. The client's budget stands still.
    Handling,
    // The answer is written, and then taken: the client is to read it and close.
    Replying,
    // Given up while a call was pending: the instance listens again once it is back.
    Ending,
};

// The call an instance has pending; its completion comes through the port.
enum class Pending { None, Connect, Read, Write, Resume };

// One instance of the pipe and what happens on it.
struct Slot {
    win::UniqueHandle pipe;
    OVERLAPPED overlapped{};
    Phase phase = Phase::Unmade;
    // When the phase began.
    std::uint64_t phase_since = 0;
    Pending pending = Pending::None;
    // The pending call has been cancelled, or its turn is to end the exchange.
    bool cancelled = false;
    // While a client is connected, and while a call its buffers serve is pending.
    std::optional<Exchange> exchange;
    // What the exchange does next when its turn comes again (Pending::Resume).
    ExchangeStep next;
    Account account;
    // When it connected, and when its frame was whole, in the listener's counts.
    std::uint64_t order = 0;
    std::uint64_t arrival = 0;
    // The end of the client's budget.
    std::uint64_t deadline = NO_DEADLINE;
};

bool waits_on_client(Phase phase) {
    return phase == Phase::Receiving || phase == Phase::HeldBack || phase == Phase::Replying;
}

class Listener {
  public:
    Listener(const win::StopFlag& stop, core::Supervisor& supervisor, const ListenerParts& parts,
             SECURITY_ATTRIBUTES& security, PACL open_dacl, PACL closed_dacl)
        : stop_(stop),
          supervisor_(supervisor),
          parts_(parts),
          security_(security),
          open_dacl_(open_dacl),
          closed_dacl_(closed_dacl) {}

    // Whatever ended the listener, every pending call has come back before the slots
    // and their buffers go.
    ~Listener() {
        cancel_every_call();
        drain([](const Slot&) { return true; }, NO_DEADLINE);
        if (parts_.released != nullptr) {
            parts_.released(pending_calls());
        }
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    void run() {
        port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        if (!port_ || !take_the_name()) {
            return;
        }
        HANDLE stop_wait = nullptr;
        if (!RegisterWaitForSingleObject(&stop_wait, stop_.event(), post_stop, port_.get(),
                                         INFINITE, WT_EXECUTEONLYONCE)) {
            return;
        }
        const win::UniqueRegisteredWait stop_registered(stop_wait);
        // Clients that spin at normal priority do not keep the instances from being
        // served and freed again. Wine schedules every thread alike.
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
        requests_.emplace(supervisor_, parts_.policy, slots_.size(), [port = port_.get()] {
            PostQueuedCompletionStatus(port, 0, ANSWERS_KEY, nullptr);
        });
        make_missing_instances();
        serve();
        end();
    }

  private:
    // Creates the first instance, which fixes the name's security and limits, retrying
    // every CREATE_RETRY_MS until it is had. False when the stop comes first.
    bool take_the_name() {
        for (;;) {
            if (stop_.is_set()) {
                return false;
            }
            // Windows fails a first instance with ERROR_ACCESS_DENIED when the name has an
            // instance already; Wine ignores the flag.
            win::UniqueHandle first(create_instance(
                parts_.create, OPEN_MODE | FILE_FLAG_FIRST_PIPE_INSTANCE, security_));
            const DWORD error = GetLastError();
            if (first && attach(first, 0)) {
                slots_[0].pipe = std::move(first);
                enter(slots_[0], Phase::Free, 0);
                return true;
            }
            log_line(!first && error == ERROR_ACCESS_DENIED ? PIPE_NAME_HELD_LOG
                                                            : CREATE_PIPE_FAILED_LOG);
            if (WaitForSingleObject(stop_.event(), CREATE_RETRY_MS) != WAIT_TIMEOUT) {
                return false;
            }
        }
    }

    // Creates every instance not held yet, with the descriptor closed, and then opens it.
    // The first failure of a series is logged.
    void make_missing_instances() {
        const bool missing = std::any_of(slots_.begin() + 1, slots_.end(), [](const Slot& slot) {
            return slot.phase == Phase::Unmade;
        });
        if (missing && open_ && !set_dacl(closed_dacl_, PROTECTED_DACL_SECURITY_INFORMATION)) {
            next_creation_ = GetTickCount64() + CREATE_RETRY_MS;
            return;
        }
        open_ = false;
        bool failed = false;
        for (size_t index = 1; missing && index < slots_.size(); ++index) {
            Slot& slot = slots_[index];
            if (slot.phase != Phase::Unmade) {
                continue;
            }
            win::UniqueHandle made(create_instance(parts_.create, OPEN_MODE, security_));
            if (made && attach(made, index)) {
                slot.pipe = std::move(made);
                enter(slot, Phase::Free, 0);
            } else {
                failed = true;
            }
        }
        if (failed && !creation_failing_) {
            log_line(CREATE_PIPE_FAILED_LOG);
        }
        creation_failing_ = failed;
        open_ = set_dacl(open_dacl_, UNPROTECTED_DACL_SECURITY_INFORMATION);
        next_creation_ = failed || !open_ ? GetTickCount64() + CREATE_RETRY_MS : NO_DEADLINE;
    }

    // Sets the pipe's DACL. Windows keeps one descriptor for the pipe, which any of its
    // instances sets; Wine keeps one for each instance, so it is set through every one.
    // A failure is logged when it is news.
    bool set_dacl(PACL dacl, SECURITY_INFORMATION protection) {
        DWORD error = ERROR_SUCCESS;
        for (const Slot& slot : slots_) {
            if (slot.pipe && error == ERROR_SUCCESS) {
                error = parts_.set_security(slot.pipe.get(), SE_KERNEL_OBJECT,
                                            DACL_SECURITY_INFORMATION | protection, nullptr,
                                            nullptr, dacl, nullptr);
            }
        }
        if (error != ERROR_SUCCESS && error != security_failing_) {
            try {
                log_line(std::string(SET_SECURITY_LOG_PREFIX) + win::winapi_error_text(error));
            } catch (const std::exception&) {
            }
        }
        security_failing_ = error;
        return error == ERROR_SUCCESS;
    }

    // A line that cannot be written, memory running out included, is lost.
    void log_line(std::string_view line) noexcept {
        try {
            parts_.log(line);
        } catch (const std::exception&) {
        }
    }

    // Completions of the instance come to the port, under its index; one that
    // completes at once is handled at once, without a completion.
    bool attach(const win::UniqueHandle& pipe, size_t index) {
        return CreateIoCompletionPort(pipe.get(), port_.get(), index, 0) != nullptr &&
               SetFileCompletionNotificationModes(pipe.get(), FILE_SKIP_COMPLETION_PORT_ON_SUCCESS |
                                                                  FILE_SKIP_SET_EVENT_ON_HANDLE);
    }

    // The one place a slot's phase changes. Leaving Handling gives the client's budget
    // back the time its request spent there.
    void enter(Slot& slot, Phase phase, std::uint64_t now) {
        if (slot.phase == Phase::Handling && slot.deadline != NO_DEADLINE) {
            slot.deadline += now - slot.phase_since;
        }
        slot.phase = phase;
        slot.phase_since = now;
    }

    // The slot's connection is over: everything of it goes, but its instance.
    static void forget_connection(Slot& slot) {
        slot.exchange.reset();
        slot.account.clear();
        slot.deadline = NO_DEADLINE;
        slot.cancelled = false;
    }

    void serve() {
        std::array<OVERLAPPED_ENTRY, PIPE_INSTANCES + 2> entries;
        for (;;) {
            const std::uint64_t now = GetTickCount64();
            enforce_bounds(now);
            if (now >= next_creation_) {
                make_missing_instances();
            }
            if (now >= next_answers_) {
                take_answers();
            }
            // Instances freed by a batch of completions listen together: a client that
            // opens the pipe in a tight loop takes one at a time, and while it does,
            // the others are there for everyone else.
            for (size_t index = 0; index < slots_.size(); ++index) {
                const Slot& slot = slots_[index];
                if (slot.pending == Pending::None &&
                    (slot.phase == Phase::Free ||
                     (slot.phase == Phase::Resting && now >= slot.phase_since + LISTEN_RETRY_MS))) {
                    run_or_drop(index, [&] { listen(index); });
                }
            }
            ULONG count = 0;
            if (!GetQueuedCompletionStatusEx(port_.get(), entries.data(),
                                             static_cast<ULONG>(entries.size()), &count, wait_ms(),
                                             FALSE)) {
                if (GetLastError() != WAIT_TIMEOUT) {
                    // The port itself failed: nothing more can be served.
                    return;
                }
                continue;
            }
            // Every completion taken is handled, also after the stop's: the calls they
            // end are no longer pending.
            bool stopping = false;
            for (ULONG i = 0; i < count; ++i) {
                const OVERLAPPED_ENTRY& entry = entries[i];
                const ULONG_PTR key = entry.lpCompletionKey;
                if (entry.lpOverlapped == nullptr) {
                    if (key == STOP_KEY) {
                        stopping = true;
                    } else if (key == ANSWERS_KEY) {
                        take_answers();
                    }
                } else if (key < slots_.size()) {
                    run_or_drop(key, [&] { completed(key, entry); });
                }
            }
            if (stopping) {
                return;
            }
        }
    }

    // Runs `work` on the slot at `index`. Only memory running out can throw there; that
    // drops the slot's exchange alone: at once, or once the call it still has pending
    // has been cancelled and has come back.
    template <class Work>
    void run_or_drop(size_t index, Work work) {
        try {
            work();
        } catch (const std::exception&) {
            Slot& slot = slots_[index];
            const std::uint64_t now = GetTickCount64();
            if (slot.pending != Pending::None) {
                // The call still writes into the exchange's buffers: they go once it has
                // come back.
                if (slot.pending != Pending::Resume) {
                    CancelIoEx(slot.pipe.get(), &slot.overlapped);
                }
                slot.cancelled = true;
                enter(slot, Phase::Ending, now);
            } else {
                forget_connection(slot);
                parts_.disconnect(slot.pipe.get());
                enter(slot, Phase::Resting, now);
            }
        }
    }

    // Until the earliest deadline, grace, rest or retry.
    DWORD wait_ms() const {
        std::uint64_t next = std::min({next_creation_, next_answers_, next_grace_end_});
        for (const Slot& slot : slots_) {
            if (waits_on_client(slot.phase) && !slot.cancelled) {
                next = std::min(next, slot.deadline);
            } else if (slot.phase == Phase::Resting) {
                next = std::min(next, slot.phase_since + LISTEN_RETRY_MS);
            }
        }
        return win::remaining_ms(next);
    }

    // The next call of the slot waits behind every completion already queued.
    bool yield_turn(size_t index) {
        Slot& slot = slots_[index];
        if (!PostQueuedCompletionStatus(port_.get(), 0, index, &resume_marker_)) {
            return false;
        }
        slot.pending = Pending::Resume;
        return true;
    }

    void listen(size_t index) {
        Slot& slot = slots_[index];
        for (int steps = 0;; ++steps) {
            if (steps == STEPS_PER_TURN) {
                enter(slot, Phase::Listening, 0);
                if (!yield_turn(index)) {
                    enter(slot, Phase::Resting, GetTickCount64());
                }
                return;
            }
            slot.overlapped = OVERLAPPED{};
            if (ConnectNamedPipe(slot.pipe.get(), &slot.overlapped)) {
                connected(index);
                return;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                slot.pending = Pending::Connect;
                enter(slot, Phase::Listening, 0);
                return;
            }
            if (error == ERROR_PIPE_CONNECTED) {
                connected(index);
                return;
            }
            if (error != ERROR_NO_DATA) {
                enter(slot, Phase::Resting, GetTickCount64());
                return;
            }
            // A client that came and went before the call: its end is disconnected and
            // the instance listens again.
            parts_.disconnect(slot.pipe.get());
        }
    }

    void connected(size_t index) {
        Slot& slot = slots_[index];
        const std::uint64_t now = GetTickCount64();
        slot.pending = Pending::None;
        slot.cancelled = false;
        slot.order = ++connections_;
        slot.account.clear();
        slot.deadline = now + parts_.exchange_budget_ms;
        enter(slot, Phase::Receiving, now);
        slot.exchange.emplace(slot.pipe.get(), caller_admitted, parts_.impersonate);
        carry_out(index, slot.exchange->begin());
    }

    // Carries out the exchange's steps, as many as complete at once up to
    // STEPS_PER_TURN calls; the rest waits for the slot's next turn.
    void carry_out(size_t index, ExchangeStep step) {
        Slot& slot = slots_[index];
        if (slot.account.empty() && slot.exchange->caller() != nullptr) {
            slot.account = parts_.account(slot.pipe.get(), slot.exchange->caller());
        }
        for (int calls = 0;;) {
            switch (step.kind) {
                case ExchangeStep::Kind::End:
                    disconnect(index);
                    return;
                case ExchangeStep::Kind::Handle:
                    slot.arrival = ++arrivals_;
                    hand_over(index);
                    return;
                case ExchangeStep::Kind::Read:
                case ExchangeStep::Kind::Write: {
                    if (calls == STEPS_PER_TURN) {
                        slot.next = step;
                        if (!yield_turn(index)) {
                            disconnect(index);
                        }
                        return;
                    }
                    ++calls;
                    const bool reading = step.kind == ExchangeStep::Kind::Read;
                    slot.overlapped = OVERLAPPED{};
                    const BOOL done = reading ? ReadFile(slot.pipe.get(), step.buffer.data(),
                                                         proto::chunk_size(step.buffer.size()),
                                                         nullptr, &slot.overlapped)
                                              : WriteFile(slot.pipe.get(), step.bytes.data(),
                                                          proto::chunk_size(step.bytes.size()),
                                                          nullptr, &slot.overlapped);
                    DWORD error = done ? ERROR_SUCCESS : GetLastError();
                    if (error == ERROR_IO_PENDING) {
                        slot.pending = reading ? Pending::Read : Pending::Write;
                        return;
                    }
                    DWORD count = 0;
                    if (done &&
                        !GetOverlappedResult(slot.pipe.get(), &slot.overlapped, &count, FALSE)) {
                        error = GetLastError();
                    }
                    step = reading ? slot.exchange->read_done(error, count)
                                   : slot.exchange->written(error, count);
                    break;
                }
            }
        }
    }

    // A whole frame: queued, or in line behind its account's ACCOUNT_REQUESTS; without
    // a request thread, answered here.
    void hand_over(size_t index) {
        Slot& slot = slots_[index];
        const std::uint64_t now = GetTickCount64();
        if (!requests_->running()) {
            enter(slot, Phase::Replying, now);
            carry_out(index, slot.exchange->answered(
                                 answer_request(slot.exchange->request(), supervisor_,
                                                slot.exchange->caller(), parts_.policy)));
            return;
        }
        if (std::optional<Result<std::vector<std::uint8_t>>> answer =
                answer_at_once(slot.exchange->request())) {
            enter(slot, Phase::Replying, now);
            carry_out(index, slot.exchange->answered(std::move(*answer)));
            return;
        }
        const auto in_hand = std::count_if(slots_.begin(), slots_.end(), [&](const Slot& other) {
            return other.phase == Phase::Handling && other.account == slot.account;
        });
        if (in_hand >= static_cast<long>(ACCOUNT_REQUESTS)) {
            enter(slot, Phase::HeldBack, now);
        } else {
            requests_->queue(index, slot.account, std::move(slot.exchange->request()),
                             slot.exchange->caller());
            enter(slot, Phase::Handling, now);
        }
    }

    void completed(size_t index, const OVERLAPPED_ENTRY& entry) {
        Slot& slot = slots_[index];
        const Pending pending = std::exchange(slot.pending, Pending::None);
        if (pending == Pending::Resume) {
            resumed(index);
            return;
        }
        DWORD count = 0;
        DWORD error = ERROR_SUCCESS;
        if (!GetOverlappedResult(slot.pipe.get(), entry.lpOverlapped, &count, FALSE)) {
            error = GetLastError();
        }
        if (slot.phase == Phase::Ending) {
            disconnect(index);
            return;
        }
        switch (pending) {
            case Pending::Connect:
                if (error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED) {
                    connected(index);
                } else {
                    parts_.disconnect(slot.pipe.get());
                    enter(slot, Phase::Resting, GetTickCount64());
                }
                return;
            case Pending::Read:
                carry_out(index, slot.exchange->read_done(error, count));
                return;
            case Pending::Write:
                carry_out(index, slot.exchange->written(error, count));
                return;
            case Pending::None:
            case Pending::Resume:
                return;
        }
    }

    // The slot's turn has come again. A bound that passed meanwhile ends its call as a
    // cancel would have.
    void resumed(size_t index) {
        Slot& slot = slots_[index];
        if (slot.phase == Phase::Ending) {
            disconnect(index);
            return;
        }
        if (!slot.exchange) {
            listen(index);
            return;
        }
        const ExchangeStep step = slot.next;
        if (!slot.cancelled) {
            carry_out(index, step);
        } else if (step.kind == ExchangeStep::Kind::Read) {
            carry_out(index, slot.exchange->read_done(ERROR_OPERATION_ABORTED, 0));
        } else {
            carry_out(index, slot.exchange->written(ERROR_OPERATION_ABORTED, 0));
        }
    }

    void take_answers() {
        std::vector<RequestThread::Answer> answers;
        try {
            answers = requests_->take_answers();
        } catch (const std::exception&) {
            // Memory ran out: they wait in the request thread until the next try.
            next_answers_ = GetTickCount64() + ANSWERS_RETRY_MS;
            return;
        }
        next_answers_ = NO_DEADLINE;
        for (RequestThread::Answer& answer : answers) {
            const size_t index = answer.ticket;
            Slot& slot = slots_[index];
            if (slot.phase != Phase::Handling) {
                continue;
            }
            enter(slot, Phase::Replying, GetTickCount64());
            queue_next_in_line(slot.account);
            run_or_drop(
                index, [&] { carry_out(index, slot.exchange->answered(std::move(answer.frame))); });
        }
    }

    // The earliest frame of `account` waiting in line takes the place that came free.
    void queue_next_in_line(const Account& account) {
        size_t next = slots_.size();
        for (size_t index = 0; index < slots_.size(); ++index) {
            const Slot& slot = slots_[index];
            if (slot.phase == Phase::HeldBack && slot.account == account &&
                (next == slots_.size() || slot.arrival < slots_[next].arrival)) {
                next = index;
            }
        }
        if (next != slots_.size()) {
            run_or_drop(next, [&] { hand_over(next); });
        }
    }

    void disconnect(size_t index) {
        Slot& slot = slots_[index];
        parts_.disconnect(slot.pipe.get());
        forget_connection(slot);
        enter(slot, Phase::Free, GetTickCount64());
    }

    // The client's budget, and its account's limit while the pipe runs short.
    void enforce_bounds(std::uint64_t now) {
        std::array<HeldInstance, PIPE_INSTANCES> held;
        std::array<size_t, PIPE_INSTANCES> held_slot{};
        std::array<bool, PIPE_INSTANCES> end{};
        size_t count = 0;
        size_t listening = 0;
        for (size_t index = 0; index < slots_.size(); ++index) {
            const Slot& slot = slots_[index];
            if (slot.phase == Phase::Listening) {
                ++listening;
            }
            if (waits_on_client(slot.phase) || slot.phase == Phase::Handling) {
                held[count] = HeldInstance{slot.account, slot.order, waits_on_client(slot.phase),
                                           slot.phase_since};
                held_slot[count] = index;
                end[count] = waits_on_client(slot.phase) && now >= slot.deadline;
                ++count;
            }
        }
        next_grace_end_ = limit_accounts(std::span(held.data(), count), listening, now,
                                         std::span(end.data(), count))
                              .next_end;
        for (size_t i = 0; i < count; ++i) {
            if (end[i]) {
                end_waiting_on_client(held_slot[i]);
            }
        }
    }

    // A connection that waits on its client past its bound: its pending call is
    // cancelled, and the exchange goes on from how it ended; a frame in line is dropped.
    void end_waiting_on_client(size_t index) {
        Slot& slot = slots_[index];
        if (slot.cancelled) {
            return;
        }
        if (slot.phase == Phase::HeldBack) {
            disconnect(index);
            return;
        }
        slot.cancelled = true;
        if (slot.pending == Pending::Read || slot.pending == Pending::Write) {
            // The call may complete before the cancel; either way its completion comes.
            CancelIoEx(slot.pipe.get(), &slot.overlapped);
        }
    }

    void cancel_every_call() {
        for (Slot& slot : slots_) {
            cancel_call(slot);
        }
    }

    size_t pending_calls() const {
        return static_cast<size_t>(
            std::count_if(slots_.begin(), slots_.end(),
                          [](const Slot& slot) { return slot.pending != Pending::None; }));
    }

    // Ends every wait, lets the request in hand finish and writes its answer when the
    // pipe takes it at once. A client whose answer is written has AFTER_ANSWER_MS to read
    // it and close its end. Then every instance is disconnected before it is closed: a
    // client's handle on an instance that was only closed would keep the pipe, and with
    // it the name, from the next start.
    void end() {
        requests_->stop();
        for (Slot& slot : slots_) {
            if (!delivering(slot)) {
                cancel_call(slot);
            }
        }
        drain([](const Slot& slot) { return !delivering(slot); }, NO_DEADLINE);
        for (RequestThread::Answer& answer : requests_->take_answers()) {
            const size_t index = answer.ticket;
            Slot& slot = slots_[index];
            if (slot.phase != Phase::Handling) {
                continue;
            }
            enter(slot, Phase::Replying, GetTickCount64());
            run_or_drop(
                index, [&] { carry_out(index, slot.exchange->answered(std::move(answer.frame))); });
        }
        // An answer the pipe did not take at once is not waited for.
        for (Slot& slot : slots_) {
            if (!delivering(slot)) {
                cancel_call(slot);
            }
        }
        drain([](const Slot& slot) { return !delivering(slot); }, NO_DEADLINE);
        if (!drain([](const Slot&) { return true; }, GetTickCount64() + AFTER_ANSWER_MS)) {
            cancel_every_call();
            drain([](const Slot&) { return true; }, NO_DEADLINE);
        }
        for (Slot& slot : slots_) {
            if (slot.pipe) {
                parts_.disconnect(slot.pipe.get());
            }
            slot.exchange.reset();
            slot.pipe.reset();
        }
    }

    // Whether the slot waits for its client to close after taking its answer.
    static bool delivering(const Slot& slot) {
        return slot.phase == Phase::Replying && slot.pending == Pending::Read;
    }

    void cancel_call(Slot& slot) {
        if (slot.pending != Pending::None && slot.pending != Pending::Resume) {
            CancelIoEx(slot.pipe.get(), &slot.overlapped);
        }
    }

    // Waits until no call `waited_for` is pending, a completion of any call ending it,
    // or until `until`: false then.
    template <class WaitedFor>
    bool drain(WaitedFor waited_for, std::uint64_t until) {
        for (;;) {
            if (!port_ || std::none_of(slots_.begin(), slots_.end(), [&](const Slot& slot) {
                    return slot.pending != Pending::None && waited_for(slot);
                })) {
                return true;
            }
            DWORD count = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* overlapped = nullptr;
            if (!GetQueuedCompletionStatus(port_.get(), &count, &key, &overlapped,
                                           win::remaining_ms(until)) &&
                overlapped == nullptr) {
                // Timed out, or the port itself failed and nothing more will come.
                return GetLastError() != WAIT_TIMEOUT;
            }
            if (overlapped != nullptr && key < slots_.size()) {
                slots_[key].pending = Pending::None;
            }
        }
    }

    const win::StopFlag& stop_;
    core::Supervisor& supervisor_;
    const ListenerParts& parts_;
    SECURITY_ATTRIBUTES& security_;
    const PACL open_dacl_;
    const PACL closed_dacl_;
    // Whether the pipe has its open DACL.
    bool open_ = false;
    DWORD security_failing_ = ERROR_SUCCESS;
    win::UniqueHandle port_;
    std::array<Slot, PIPE_INSTANCES> slots_;
    std::optional<RequestThread> requests_;
    // Posted for a slot's next turn; no call ever uses it.
    OVERLAPPED resume_marker_{};
    std::uint64_t connections_ = 0;
    std::uint64_t arrivals_ = 0;
    bool creation_failing_ = false;
    std::uint64_t next_creation_ = NO_DEADLINE;
    // When answers that could not be taken are tried again.
    std::uint64_t next_answers_ = NO_DEADLINE;
    // When the next running grace of an account's limit ends.
    std::uint64_t next_grace_end_ = NO_DEADLINE;
};

}  // namespace

Result<win::UniqueLocal> build_pipe_security() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PIPE_SDDL, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        const DWORD error = GetLastError();
        return win::winapi_failure(SDDL_CONVERT_STEP, error);
    }
    return win::UniqueLocal(descriptor);
}

Result<win::UniqueLocal> build_closed_pipe_security() {
    win::UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        const DWORD error = GetLastError();
        return win::winapi_failure("OpenProcessToken", error);
    }
    alignas(TOKEN_USER) std::uint8_t user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("GetTokenInformation", error);
    }
    wchar_t* sid = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
        const DWORD error = GetLastError();
        return win::winapi_failure("ConvertSidToStringSidW", error);
    }
    const win::UniqueLocal sid_text(sid);
    const std::wstring sddl = L"D:P(A;;GA;;;" + std::wstring(sid) + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        const DWORD error = GetLastError();
        return win::winapi_failure(SDDL_CONVERT_STEP, error);
    }
    return win::UniqueLocal(descriptor);
}

namespace {

PACL dacl_of(const win::UniqueLocal& descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(static_cast<PSECURITY_DESCRIPTOR>(descriptor.get()), &present, &dacl,
                              &defaulted);
    return dacl;
}

}  // namespace

void run_pipe_listener(const win::StopFlag& stop, core::Supervisor& supervisor,
                       const ListenerParts& parts) {
    Result<win::UniqueLocal> descriptor = build_pipe_security();
    if (!descriptor) {
        log::write_log(std::string(SECURITY_INIT_LOG_PREFIX) + descriptor.error());
        return;
    }
    Result<win::UniqueLocal> closed = build_closed_pipe_security();
    if (!closed) {
        log::write_log(std::string(SECURITY_INIT_LOG_PREFIX) + closed.error());
        return;
    }
    SECURITY_ATTRIBUTES security{sizeof security, closed->get(), FALSE};
    try {
        Listener(stop, supervisor, parts, security, dacl_of(descriptor.value()),
                 dacl_of(closed.value()))
            .run();
    } catch (const std::exception&) {
        // Only memory running out can throw here; the listener's end has waited for
        // every call it had pending.
    }
}

}  // namespace korvan::pipe
