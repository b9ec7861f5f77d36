#pragma once

// Requests are handled one at a time on a thread of their own: a start's file work or a
// read of the machine's policy never holds up the thread that serves the pipe's
// instances, and the supervisor sees one request at a time. The accounts that have
// requests queued take turns, one request each; an account's own are handled in the
// order they were queued.

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "common/result.h"
#include "core/supervisor.h"
#include "pipe/accounts.h"
#include "pipe/control_policy.h"

namespace korvan::pipe {

// The answer to one request frame's body, as the frame to write back: a body that does
// not decode is answered "bad_request" with "parse: {decoder's text}"; any other is
// handled (handle_request) with `caller`, the admitted caller's token. Error: "response
// too large", for an answer that cannot be sent.
Result<std::vector<std::uint8_t>> answer_request(std::vector<std::uint8_t>& body,
                                                 core::Supervisor& supervisor, HANDLE caller,
                                                 const PolicySource& policy = {});

// The most bytes of a body that answer_at_once decodes.
inline constexpr size_t AT_ONCE_LIMIT = 256;

// The answer to a body that needs neither the supervisor nor the policy, a ping's, as
// answer_request gives it; nothing for a body of more than AT_ONCE_LIMIT bytes or any
// other request, which is for the request thread.
std::optional<Result<std::vector<std::uint8_t>>> answer_at_once(
    const std::vector<std::uint8_t>& body);

class RequestThread {
  public:
    struct Answer {
        // The ticket the request was queued with.
        size_t ticket;
        Result<std::vector<std::uint8_t>> frame;
    };

    // Tickets are 0 to `tickets` - 1, each with at most one request at a time.
    // `answered` is called on the request thread after each answer is ready to be taken.
    RequestThread(core::Supervisor& supervisor, PolicySource policy, size_t tickets,
                  std::function<void()> answered);
    // stop().
    ~RequestThread();
    RequestThread(const RequestThread&) = delete;
    RequestThread& operator=(const RequestThread&) = delete;

    // Whether the thread could be started; without it, nothing queued is answered.
    bool running() const { return thread_.joinable(); }

    // Queues a request of `account`: its body, and the caller's token, which must stay
    // open until its answer has been taken or the thread has ended.
    void queue(size_t ticket, const Account& account, std::vector<std::uint8_t> body,
               HANDLE caller);

    // The answers ready so far.
    std::vector<Answer> take_answers();

    // Lets the request in hand finish, drops the others, and waits for the thread. Its
    // answer can still be taken.
    void stop();

  private:
    struct Request {
        size_t ticket;
        std::vector<std::uint8_t> body;
        HANDLE caller;
    };
    // One account's queued requests, the earliest first.
    struct InLine {
        Account account;
        std::vector<Request> requests;
    };

    void run();

    core::Supervisor& supervisor_;
    const PolicySource policy_;
    const std::function<void()> answered_;
    // The system's own lock and condition: under Wine they wait without a round trip to
    // the wine server, which the C++ library's do not.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE queued_ = CONDITION_VARIABLE_INIT;
    // The accounts with requests queued, the one whose turn is next first.
    std::deque<InLine> line_;
    // By ticket, made in advance: an answer is kept without allocating.
    std::vector<std::optional<Result<std::vector<std::uint8_t>>>> answers_;
    bool ending_ = false;
    std::thread thread_;
};

}  // namespace korvan::pipe
