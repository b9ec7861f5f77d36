#pragma once

// Requests are handled one at a time, in the order they are queued, on a thread of their
// own: a start's file work or a read of the machine's policy never holds up the thread
// that serves the pipe's instances, and the supervisor sees one request at a time.

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/result.h"
#include "core/supervisor.h"
#include "pipe/control_policy.h"

namespace korvan::pipe {

// The answer to one request frame's body, as the frame to write back: a body that does
// not decode is answered "bad_request" with "parse: {decoder's text}"; any other is
// handled (handle_request) with `caller`, the admitted caller's token. Error: "response
// too large", for an answer that cannot be sent.
Result<std::vector<std::uint8_t>> answer_request(std::vector<std::uint8_t>& body,
                                                 core::Supervisor& supervisor, HANDLE caller,
                                                 const PolicySource& policy = {});

class RequestThread {
  public:
    struct Answer {
        // The ticket the request was queued with.
        std::uint64_t ticket;
        Result<std::vector<std::uint8_t>> frame;
    };

    // `answered` is called on the request thread after each answer is ready to be taken.
    RequestThread(core::Supervisor& supervisor, PolicySource policy,
                  std::function<void()> answered);
    // stop().
    ~RequestThread();
    RequestThread(const RequestThread&) = delete;
    RequestThread& operator=(const RequestThread&) = delete;

    // Whether the thread could be started; without it, nothing queued is answered.
    bool running() const { return thread_.joinable(); }

    // Queues a request: its body, and the caller's token, which must stay open until
    // its answer has been taken or the thread has ended.
    void queue(std::uint64_t ticket, std::vector<std::uint8_t> body, HANDLE caller);

    // The answers ready so far, in the order their requests were queued.
    std::vector<Answer> take_answers();

    // Lets the request in hand finish, drops the others, and waits for the thread. Its
    // answer can still be taken.
    void stop();

  private:
    struct Request {
        std::uint64_t ticket;
        std::vector<std::uint8_t> body;
        HANDLE caller;
    };

    void run();

    core::Supervisor& supervisor_;
    const PolicySource policy_;
    const std::function<void()> answered_;
    std::mutex lock_;
    std::condition_variable queued_;
    std::deque<Request> requests_;
    std::vector<Answer> answers_;
    bool ending_ = false;
    std::thread thread_;
};

}  // namespace korvan::pipe
