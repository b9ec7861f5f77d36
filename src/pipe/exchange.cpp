#include "pipe/exchange.h"

#include <string>
#include <utility>

#include "log/service_log.h"
#include "win/error_text.h"

namespace korvan::pipe {

Exchange::Exchange(HANDLE pipe, AdmissionDecision decide, Impersonation impersonate)
    : pipe_(pipe), decide_(decide), impersonate_(impersonate) {}

ExchangeStep Exchange::begin() {
    return check();
}

// A client that opened the pipe without SECURITY_SQOS_PRESENT (CreateFileW's default,
// .NET's NamedPipeClientStream by default) has dynamic context tracking: its context
// reaches the pipe only with the data it writes, and ImpersonateNamedPipeClient fails
// with ERROR_CANNOT_IMPERSONATE until some of that data has been read. Windows does not
// say whether reading part of one write installs its context, so the prefix comes
// first and the whole body only if that was not enough. Wine impersonates before any
// read, for every client.
ExchangeStep Exchange::check() {
    ++checks_;
    admission_ = authorize_client(pipe_, decide_, impersonate_);
    if (admission_.impersonation_error == ERROR_CANNOT_IMPERSONATE && checks_ < 3) {
        stage_ = Stage::ReadingAhead;
        return read_next();
    }
    return after_check();
}

ExchangeStep Exchange::after_check() {
    if (!admission_.verdict) {
        log::write_log(std::string(REJECT_LOG_PREFIX) + admission_.verdict.error());
        return end();
    }
    stage_ = Stage::Reading;
    return read_next();
}

ExchangeStep Exchange::read_next() {
    if (reader_.complete()) {
        request_ = reader_.take_body();
        return ExchangeStep{ExchangeStep::Kind::Handle, {}, {}};
    }
    return ExchangeStep{ExchangeStep::Kind::Read, reader_.space(), {}};
}

ExchangeStep Exchange::read_done(DWORD error, DWORD count) {
    if (stage_ == Stage::Delivering) {
        // Anything the client sends after its frame is dropped; a failure, its close
        // above all, ends the wait.
        dropped_ += count;
        if (error != ERROR_SUCCESS || dropped_ > AFTER_FRAME_LIMIT) {
            return end();
        }
        return ExchangeStep{ExchangeStep::Kind::Read, std::span<std::uint8_t>(after_frame_), {}};
    }
    if (error != ERROR_SUCCESS) {
        return refuse_read(win::winapi_failure("ReadFile", error));
    }
    const bool had_length = reader_.has_length();
    if (Result<void> taken = reader_.received(count); !taken) {
        return refuse_read(taken.failure());
    }
    if (stage_ == Stage::ReadingAhead &&
        ((!had_length && reader_.has_length()) || reader_.complete())) {
        return check();
    }
    return read_next();
}

// A frame that cannot be read. Before the caller is admitted that is a rejection with
// the check's last failure; a length out of range is checked against the caller first,
// as a prefix that was read whole.
ExchangeStep Exchange::refuse_read(const Failure& failure) {
    if (stage_ == Stage::ReadingAhead) {
        const bool whole_prefix = reader_.space().empty() && !reader_.has_length() &&
                                  failure.text.starts_with(proto::FRAME_LENGTH_OUT_OF_RANGE);
        if (whole_prefix && checks_ == 1) {
            ++checks_;
            admission_ = authorize_client(pipe_, decide_, impersonate_);
        }
        if (!admission_.verdict) {
            log::write_log(std::string(REJECT_LOG_PREFIX) + admission_.verdict.error());
            return end();
        }
    }
    log::write_log(std::string(READ_FRAME_LOG_PREFIX) + failure.text);
    return end();
}

ExchangeStep Exchange::answered(Result<std::vector<std::uint8_t>> frame) {
    // The request, a start's secret included, is not kept past its answer.
    request_ = {};
    if (!frame) {
        return end();
    }
    answer_ = std::move(frame.value());
    answer_written_ = 0;
    return ExchangeStep{ExchangeStep::Kind::Write, {}, std::span<const std::uint8_t>(answer_)};
}

ExchangeStep Exchange::written(DWORD error, DWORD count) {
    if (error != ERROR_SUCCESS || count == 0) {
        return end();
    }
    answer_written_ += count;
    if (answer_written_ < answer_.size()) {
        return ExchangeStep{ExchangeStep::Kind::Write,
                            {},
                            std::span<const std::uint8_t>(answer_).subspan(answer_written_)};
    }
    stage_ = Stage::Delivering;
    return ExchangeStep{ExchangeStep::Kind::Read, std::span<std::uint8_t>(after_frame_), {}};
}

ExchangeStep Exchange::end() {
    admission_.token.reset();
    return ExchangeStep{};
}

}  // namespace korvan::pipe
