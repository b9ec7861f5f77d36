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

constexpr DWORD OPEN_MODE = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
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

// One instance of the pipe and what happens on it.
struct Slot {
    win::UniqueHandle pipe;
    OVERLAPPED overlapped{};
    enum class Io { None, Connect, Read, Write };
    // The call in progress; its completion comes through the port.
    Io io = Io::None;
    bool cancelled = false;
    // Memory ran out during its exchange: it ends once its pending call has come back.
    bool abandoned = false;
    // While a client is connected.
    std::optional<Exchange> exchange;
    Account account;
    // When it connected, in the listener's count: an account's earlier connections are
    // the ones within its limit.
    std::uint64_t order = 0;
    // The end of the client's budget, and of its grace over its account's limit.
    std::uint64_t deadline = NO_DEADLINE;
    std::uint64_t grace_until = NO_DEADLINE;
    // Since when its request is handled; 0 while it is not.
    std::uint64_t handled_since = 0;
    // A slot whose instance would not listen tries again then.
    std::uint64_t rest_until = 0;
};

class Listener {
  public:
    Listener(const win::StopFlag& stop, core::Supervisor& supervisor, const ListenerParts& parts,
             SECURITY_ATTRIBUTES& security)
        : stop_(stop), supervisor_(supervisor), parts_(parts), security_(security) {}

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
        requests_.emplace(supervisor_, parts_.policy, slots_.size(), [port = port_.get()] {
            PostQueuedCompletionStatus(port, 0, ANSWERS_KEY, nullptr);
        });
        create_the_others();
        for (size_t index = 0; index < slots_.size(); ++index) {
            if (slots_[index].pipe) {
                guarded(index, [&] { listen(index); });
            }
        }
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
                return true;
            }
            log::write_log(!first && error == ERROR_ACCESS_DENIED ? PIPE_NAME_HELD_LOG
                                                                  : CREATE_PIPE_FAILED_LOG);
            if (WaitForSingleObject(stop_.event(), CREATE_RETRY_MS) != WAIT_TIMEOUT) {
                return false;
            }
        }
    }

    // Creates every instance not held yet. The first failure of a series is logged.
    void create_the_others() {
        bool failed = false;
        for (size_t index = 1; index < slots_.size(); ++index) {
            Slot& slot = slots_[index];
            if (slot.pipe) {
                continue;
            }
            win::UniqueHandle made(create_instance(parts_.create, OPEN_MODE, security_));
            if (made && attach(made, index)) {
                slot.pipe = std::move(made);
            } else {
                failed = true;
            }
        }
        if (failed && !creation_failing_) {
            log::write_log(CREATE_PIPE_FAILED_LOG);
        }
        creation_failing_ = failed;
        next_creation_ = failed ? GetTickCount64() + CREATE_RETRY_MS : NO_DEADLINE;
    }

    // Completions of the instance come to the port, under its index; one that
    // completes at once is handled at once, without a completion.
    bool attach(const win::UniqueHandle& pipe, size_t index) {
        return CreateIoCompletionPort(pipe.get(), port_.get(), index, 0) != nullptr &&
               SetFileCompletionNotificationModes(pipe.get(), FILE_SKIP_COMPLETION_PORT_ON_SUCCESS |
                                                                  FILE_SKIP_SET_EVENT_ON_HANDLE);
    }

    void serve() {
        for (;;) {
            const std::uint64_t now = GetTickCount64();
            limit_accounts(now);
            cancel_past_deadlines(now);
            if (now >= next_creation_) {
                create_the_others();
                for (size_t index = 1; index < slots_.size(); ++index) {
                    const Slot& slot = slots_[index];
                    if (slot.pipe && slot.io == Slot::Io::None && !slot.exchange &&
                        slot.rest_until == 0) {
                        guarded(index, [&] { listen(index); });
                    }
                }
            }
            if (now >= next_answers_) {
                take_answers();
            }
            for (size_t index = 0; index < slots_.size(); ++index) {
                Slot& slot = slots_[index];
                if (slot.rest_until != 0 && now >= slot.rest_until) {
                    slot.rest_until = 0;
                    guarded(index, [&] { listen(index); });
                }
            }
            DWORD count = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* overlapped = nullptr;
            const BOOL done =
                GetQueuedCompletionStatus(port_.get(), &count, &key, &overlapped, wait_ms());
            const DWORD error = done ? ERROR_SUCCESS : GetLastError();
            if (overlapped == nullptr) {
                if (done && key == STOP_KEY) {
                    return;
                }
                if (done && key == ANSWERS_KEY) {
                    take_answers();
                } else if (!done && error != WAIT_TIMEOUT) {
                    // The port itself failed: nothing more can be served.
                    return;
                }
                continue;
            }
            if (key < slots_.size()) {
                guarded(key, [&] { completed(key, error, count); });
            }
        }
    }

    // Runs `work` on the slot at `index`. Only memory running out can throw there; that
    // ends the slot's exchange alone: at once, or once the call it still has pending
    // has been cancelled and has come back.
    template <class Work>
    void guarded(size_t index, Work work) {
        try {
            work();
        } catch (const std::exception&) {
            Slot& slot = slots_[index];
            slot.handled_since = 0;
            slot.grace_until = NO_DEADLINE;
            if (slot.io != Slot::Io::None) {
                // The call still writes into the exchange's buffers: the exchange goes
                // once the call has come back.
                slot.abandoned = true;
                CancelIoEx(slot.pipe.get(), &slot.overlapped);
                slot.cancelled = true;
            } else {
                slot.rest_until = GetTickCount64() + CREATE_RETRY_MS;
                slot.exchange.reset();
                slot.account.clear();
                slot.deadline = NO_DEADLINE;
                DisconnectNamedPipe(slot.pipe.get());
            }
        }
    }

    // Until the earliest deadline, grace, rest or retry.
    DWORD wait_ms() const {
        std::uint64_t next = std::min(next_creation_, next_answers_);
        for (const Slot& slot : slots_) {
            if ((slot.io == Slot::Io::Read || slot.io == Slot::Io::Write) && !slot.cancelled) {
                next = std::min({next, slot.deadline, slot.grace_until});
            }
            if (slot.rest_until != 0) {
                next = std::min(next, slot.rest_until);
            }
        }
        return win::remaining_ms(next);
    }

    void listen(size_t index) {
        Slot& slot = slots_[index];
        for (;;) {
            slot.overlapped = OVERLAPPED{};
            if (ConnectNamedPipe(slot.pipe.get(), &slot.overlapped)) {
                connected(index);
                return;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                slot.io = Slot::Io::Connect;
                return;
            }
            if (error == ERROR_PIPE_CONNECTED) {
                connected(index);
                return;
            }
            if (error != ERROR_NO_DATA) {
                slot.rest_until = GetTickCount64() + CREATE_RETRY_MS;
                return;
            }
            // A client that came and went before the call: its end is disconnected and
            // the instance listens again.
            DisconnectNamedPipe(slot.pipe.get());
        }
    }

    void connected(size_t index) {
        Slot& slot = slots_[index];
        slot.io = Slot::Io::None;
        slot.order = ++connections_;
        ULONG process_id = 0;
        GetNamedPipeClientProcessId(slot.pipe.get(), &process_id);
        slot.account = parts_.account(process_id);
        slot.deadline = GetTickCount64() + parts_.exchange_budget_ms;
        slot.exchange.emplace(slot.pipe.get());
        follow(index, slot.exchange->begin());
    }

    // Carries out the exchange's steps, as far as they complete at once.
    void follow(size_t index, ExchangeStep step) {
        Slot& slot = slots_[index];
        for (;;) {
            switch (step.kind) {
                case ExchangeStep::Kind::End:
                    finish(index);
                    return;
                case ExchangeStep::Kind::Handle:
                    slot.grace_until = NO_DEADLINE;
                    if (!requests_->running()) {
                        // Without its thread, a request is handled here.
                        step = slot.exchange->answered(
                            answer_request(slot.exchange->request(), supervisor_,
                                           slot.exchange->caller(), parts_.policy));
                        break;
                    }
                    requests_->queue(index, std::move(slot.exchange->request()),
                                     slot.exchange->caller());
                    slot.handled_since = GetTickCount64();
                    return;
                case ExchangeStep::Kind::Read:
                case ExchangeStep::Kind::Write: {
                    const bool reading = step.kind == ExchangeStep::Kind::Read;
                    slot.overlapped = OVERLAPPED{};
                    slot.cancelled = false;
                    const BOOL done = reading ? ReadFile(slot.pipe.get(), step.buffer.data(),
                                                         proto::chunk_size(step.buffer.size()),
                                                         nullptr, &slot.overlapped)
                                              : WriteFile(slot.pipe.get(), step.bytes.data(),
                                                          proto::chunk_size(step.bytes.size()),
                                                          nullptr, &slot.overlapped);
                    DWORD error = done ? ERROR_SUCCESS : GetLastError();
                    if (error == ERROR_IO_PENDING) {
                        slot.io = reading ? Slot::Io::Read : Slot::Io::Write;
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

    void completed(size_t index, DWORD error, DWORD count) {
        Slot& slot = slots_[index];
        const Slot::Io io = std::exchange(slot.io, Slot::Io::None);
        switch (io) {
            case Slot::Io::Connect:
                if (error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED) {
                    connected(index);
                } else {
                    DisconnectNamedPipe(slot.pipe.get());
                    slot.rest_until = GetTickCount64() + CREATE_RETRY_MS;
                }
                return;
            case Slot::Io::Read:
            case Slot::Io::Write:
                if (!slot.exchange || slot.abandoned) {
                    finish(index);
                } else if (io == Slot::Io::Read) {
                    follow(index, slot.exchange->read_done(error, count));
                } else {
                    follow(index, slot.exchange->written(error, count));
                }
                return;
            case Slot::Io::None:
                return;
        }
    }

    void take_answers() {
        std::vector<RequestThread::Answer> answers;
        try {
            answers = requests_->take_answers();
        } catch (const std::exception&) {
            // Memory ran out: they wait in the request thread until the next try.
            next_answers_ = GetTickCount64() + CREATE_RETRY_MS;
            return;
        }
        next_answers_ = NO_DEADLINE;
        for (RequestThread::Answer& answer : answers) {
            const size_t index = answer.ticket;
            Slot& slot = slots_[index];
            if (!slot.exchange || slot.handled_since == 0) {
                continue;
            }
            guarded(index, [&] { answered(index, std::move(answer.frame)); });
        }
    }

    void answered(size_t index, Result<std::vector<std::uint8_t>> frame) {
        Slot& slot = slots_[index];
        if (slot.deadline != NO_DEADLINE) {
            slot.deadline += GetTickCount64() - slot.handled_since;
        }
        slot.handled_since = 0;
        follow(index, slot.exchange->answered(std::move(frame)));
    }

    void finish(size_t index) {
        Slot& slot = slots_[index];
        DisconnectNamedPipe(slot.pipe.get());
        slot.exchange.reset();
        slot.account.clear();
        slot.deadline = NO_DEADLINE;
        slot.grace_until = NO_DEADLINE;
        slot.handled_since = 0;
        slot.cancelled = false;
        slot.abandoned = false;
        listen(index);
    }

    // While fewer than SHORT_OF_INSTANCES listen, each connection beyond the first
    // ACCOUNT_INSTANCES of its account has a grace for the phase it is in; otherwise
    // none has.
    void limit_accounts(std::uint64_t now) {
        const auto listening = std::count_if(slots_.begin(), slots_.end(), [](const Slot& slot) {
            return slot.io == Slot::Io::Connect;
        });
        const bool short_of_instances = listening < static_cast<long>(SHORT_OF_INSTANCES);
        for (Slot& slot : slots_) {
            if (!slot.exchange || slot.handled_since != 0) {
                continue;
            }
            if (!short_of_instances) {
                slot.grace_until = NO_DEADLINE;
                continue;
            }
            if (slot.grace_until != NO_DEADLINE) {
                continue;
            }
            const auto earlier =
                std::count_if(slots_.begin(), slots_.end(), [&slot](const Slot& other) {
                    return other.exchange && other.account == slot.account &&
                           other.order < slot.order;
                });
            if (earlier >= static_cast<long>(ACCOUNT_INSTANCES)) {
                slot.grace_until = now + OVER_LIMIT_GRACE_MS;
            }
        }
    }

    void cancel_past_deadlines(std::uint64_t now) {
        for (Slot& slot : slots_) {
            if ((slot.io == Slot::Io::Read || slot.io == Slot::Io::Write) && !slot.cancelled &&
                now >= std::min(slot.deadline, slot.grace_until)) {
                // The call may complete before the cancel; either way its completion
                // comes, and the exchange goes on from how it ended.
                CancelIoEx(slot.pipe.get(), &slot.overlapped);
                slot.cancelled = true;
            }
        }
    }

    // Ends every wait, lets the request in hand finish, writes its answer, and closes
    // the instances once none of their calls is pending. They are closed without being
    // disconnected: a client can still read what was written to it.
    void end() {
        requests_->stop();
        for (Slot& slot : slots_) {
            if (slot.io != Slot::Io::None) {
                CancelIoEx(slot.pipe.get(), &slot.overlapped);
            }
        }
        drain();
        for (RequestThread::Answer& answer : requests_->take_answers()) {
            Slot& slot = slots_[answer.ticket];
            if (!slot.exchange) {
                continue;
            }
            const ExchangeStep step = slot.exchange->answered(std::move(answer.frame));
            if (step.kind != ExchangeStep::Kind::Write) {
                continue;
            }
            slot.overlapped = OVERLAPPED{};
            if (!WriteFile(slot.pipe.get(), step.bytes.data(), proto::chunk_size(step.bytes.size()),
                           nullptr, &slot.overlapped) &&
                GetLastError() == ERROR_IO_PENDING) {
                // Not taken at once: the client is not reading, and the stop waits for no
                // one.
                slot.io = Slot::Io::Write;
                CancelIoEx(slot.pipe.get(), &slot.overlapped);
            }
        }
        drain();
        for (Slot& slot : slots_) {
            slot.exchange.reset();
            slot.pipe.reset();
        }
    }

    // Waits for every pending call's completion, cancelled or not.
    void drain() {
        for (;;) {
            const bool pending = std::any_of(slots_.begin(), slots_.end(), [](const Slot& slot) {
                return slot.io != Slot::Io::None;
            });
            if (!pending) {
                return;
            }
            DWORD count = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* overlapped = nullptr;
            if (!GetQueuedCompletionStatus(port_.get(), &count, &key, &overlapped, INFINITE) &&
                overlapped == nullptr) {
                return;
            }
            if (overlapped != nullptr && key < slots_.size()) {
                slots_[key].io = Slot::Io::None;
            }
        }
    }

    const win::StopFlag& stop_;
    core::Supervisor& supervisor_;
    const ListenerParts& parts_;
    SECURITY_ATTRIBUTES& security_;
    win::UniqueHandle port_;
    std::array<Slot, PIPE_INSTANCES> slots_;
    std::optional<RequestThread> requests_;
    std::uint64_t connections_ = 0;
    bool creation_failing_ = false;
    std::uint64_t next_creation_ = NO_DEADLINE;
    // When answers that could not be taken are tried again.
    std::uint64_t next_answers_ = NO_DEADLINE;
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

void run_pipe_listener(const win::StopFlag& stop, core::Supervisor& supervisor,
                       const ListenerParts& parts) {
    Result<win::UniqueLocal> descriptor = build_pipe_security();
    if (!descriptor) {
        log::write_log(std::string(SECURITY_INIT_LOG_PREFIX) + descriptor.error());
        return;
    }
    SECURITY_ATTRIBUTES security{sizeof security, descriptor->get(), FALSE};
    try {
        Listener(stop, supervisor, parts, security).run();
    } catch (const std::exception&) {
        // Only memory running out can throw here, before any instance is created.
    }
}

}  // namespace korvan::pipe
