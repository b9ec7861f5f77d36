#include "pipe/requests.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>
#include <variant>

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

std::optional<Result<std::vector<std::uint8_t>>> answer_at_once(
    const std::vector<std::uint8_t>& body) {
    if (body.size() > AT_ONCE_LIMIT) {
        return std::nullopt;
    }
    Result<proto::Request> request = proto::decode_request(body);
    if (!request || !std::holds_alternative<proto::request::Ping>(request.value())) {
        return std::nullopt;
    }
    return proto::response_frame(pong());
}

RequestThread::RequestThread(core::Supervisor& supervisor, PolicySource policy, size_t tickets,
                             std::function<void()> answered)
    : supervisor_(supervisor), policy_(policy), answered_(std::move(answered)), answers_(tickets) {
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
    AcquireSRWLockExclusive(&lock_);
    ending_ = true;
    line_.clear();
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&queued_);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void RequestThread::queue(size_t ticket, const Account& account, std::vector<std::uint8_t> body,
                          HANDLE caller) {
    AcquireSRWLockExclusive(&lock_);
    try {
        auto in_line = std::find_if(line_.begin(), line_.end(),
                                    [&](const InLine& entry) { return entry.account == account; });
        if (in_line == line_.end()) {
            line_.push_back(InLine{account, {}});
            in_line = std::prev(line_.end());
        }
        in_line->requests.push_back(Request{ticket, std::move(body), caller});
    } catch (...) {
        ReleaseSRWLockExclusive(&lock_);
        throw;
    }
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&queued_);
}

std::vector<RequestThread::Answer> RequestThread::take_answers() {
    // Room for every answer first: one that fails to allocate takes none of them.
    std::vector<Answer> answers;
    answers.reserve(answers_.size());
    AcquireSRWLockExclusive(&lock_);
    for (size_t ticket = 0; ticket < answers_.size(); ++ticket) {
        if (answers_[ticket]) {
            answers.push_back(Answer{ticket, std::move(*answers_[ticket])});
            answers_[ticket].reset();
        }
    }
    ReleaseSRWLockExclusive(&lock_);
    return answers;
}

void RequestThread::run() {
    for (;;) {
        AcquireSRWLockExclusive(&lock_);
        while (!ending_ && line_.empty()) {
            SleepConditionVariableSRW(&queued_, &lock_, INFINITE, 0);
        }
        if (ending_) {
            ReleaseSRWLockExclusive(&lock_);
            return;
        }
        // The account whose turn it is gives its earliest request and, with more
        // queued, goes to the end of the line. Entries move without allocating.
        InLine& turn = line_.front();
        Request request = std::move(turn.requests.front());
        turn.requests.erase(turn.requests.begin());
        if (turn.requests.empty()) {
            line_.pop_front();
        } else if (line_.size() > 1) {
            std::rotate(line_.begin(), line_.begin() + 1, line_.end());
        }
        ReleaseSRWLockExclusive(&lock_);
        Result<std::vector<std::uint8_t>> frame = Failure{};
        try {
            frame = answer_request(request.body, supervisor_, request.caller, policy_);
        } catch (const std::exception&) {
            // Only memory running out can throw here; it fails this request alone.
        }
        // The request, a start's secret included, is not kept past its answer.
        request.body = {};
        AcquireSRWLockExclusive(&lock_);
        answers_[request.ticket] = std::move(frame);
        ReleaseSRWLockExclusive(&lock_);
        answered_();
    }
}

}  // namespace korvan::pipe
