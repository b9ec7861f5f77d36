#include "pipe/requests.h"

#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "pipe/dispatch.h"
#include "pipe/exchange.h"
#include "proto/decode.h"
#include "proto/encode.h"

namespace korvan::pipe {

Result<std::vector<std::uint8_t>> answer_request(std::vector<std::uint8_t>& body,
                                                 core::Supervisor& supervisor, HANDLE caller,
                                                 const PolicySource& policy) {
    Result<proto::Request> request = proto::decode_request(body);
    if (!request) {
        return proto::response_frame(proto::response::Error{
            std::string(proto::BAD_REQUEST), std::string(PARSE_PREFIX) + request.error()});
    }
    return proto::response_frame(handle_request(request.value(), supervisor, caller, policy));
}

RequestThread::RequestThread(core::Supervisor& supervisor, PolicySource policy,
                             std::function<void()> answered)
    : supervisor_(supervisor), policy_(policy), answered_(std::move(answered)) {
    try {
        thread_ = std::thread(&RequestThread::run, this);
    } catch (const std::system_error&) {
        // running() says so.
    }
}

RequestThread::~RequestThread() {
    stop();
}

void RequestThread::stop() {
    {
        std::lock_guard<std::mutex> held(lock_);
        ending_ = true;
        requests_.clear();
    }
    queued_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void RequestThread::queue(std::uint64_t ticket, std::vector<std::uint8_t> body, HANDLE caller) {
    {
        std::lock_guard<std::mutex> held(lock_);
        requests_.push_back(Request{ticket, std::move(body), caller});
    }
    queued_.notify_one();
}

std::vector<RequestThread::Answer> RequestThread::take_answers() {
    std::lock_guard<std::mutex> held(lock_);
    return std::exchange(answers_, {});
}

void RequestThread::run() {
    std::unique_lock<std::mutex> held(lock_);
    for (;;) {
        queued_.wait(held, [&] { return ending_ || !requests_.empty(); });
        if (ending_) {
            return;
        }
        Request request = std::move(requests_.front());
        requests_.pop_front();
        held.unlock();
        Result<std::vector<std::uint8_t>> frame = Failure{};
        try {
            frame = answer_request(request.body, supervisor_, request.caller, policy_);
        } catch (const std::exception&) {
            // Only memory running out can throw here; it fails this request alone.
        }
        // The request, a start's secret included, is not kept past its answer.
        request.body = {};
        held.lock();
        answers_.push_back(Answer{request.ticket, std::move(frame)});
        held.unlock();
        answered_();
        held.lock();
    }
}

}  // namespace korvan::pipe
