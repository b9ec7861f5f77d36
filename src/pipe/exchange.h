#pragma once

// One connected client: the caller check, one request frame, one response frame, and its
// delivery. An exchange makes no I/O call of its own: it tells its driver what to do next
// and is told how that ended, so that one thread can drive the exchanges of every
// instance of the pipe (listener.h) and none of them waits on another.

#include <windows.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "pipe/authorize.h"
#include "proto/frame.h"

namespace korvan::pipe {

// Log prefixes of the two failures that reach no client.
inline constexpr std::string_view REJECT_LOG_PREFIX = "reject unauthenticated client: ";
inline constexpr std::string_view READ_FRAME_LOG_PREFIX = "read frame: ";
// The prefix of a "bad_request" answer's message, before the decoder's text.
inline constexpr std::string_view PARSE_PREFIX = "parse: ";
// How many bytes a client may send after its frame, all read and dropped, before the
// exchange ends without waiting for it to take its answer.
inline constexpr size_t AFTER_FRAME_LIMIT = 64 * 1024;

// What the driver does next for an exchange.
struct ExchangeStep {
    enum class Kind {
        // One read of at most `buffer.size()` bytes into `buffer`, then read_done. The
        // client is to send, or, once the answer is written, to close its end.
        Read,
        // The request is handled (request(), caller()), then answered.
        Handle,
        // One write of `bytes`, then written. The client is to read.
        Write,
        // Over: the driver disconnects the instance.
        End,
    };
    Kind kind = Kind::End;
    std::span<std::uint8_t> buffer;
    std::span<const std::uint8_t> bytes;
};

// The exchange with the client of one connected instance, which the driver owns and
// keeps connected until the exchange ends. Steps, in order:
//
// The caller check (authorize_client with `decide` and `impersonate`) comes first,
// before anything is read. Only when the client cannot be impersonated yet
// (ERROR_CANNOT_IMPERSONATE) is the request's 4-byte length prefix read and the check
// made again; when that fails the same way, the body the prefix announces is read (only
// a length of 1 to MAX_FRAME_LEN), and the check made a third time. A caller not admitted
// gets no answer and one log line with the last failure of the check, whatever was read
// or failed to be read; its request is never handled.
//
// An admitted caller's frame is read on from where the check left it. A frame that
// cannot be read (a read that fails, also one the driver cancels at a deadline, or a
// length out of range) gets no answer and one log line. A whole frame is handed to the
// driver to handle; the answer it gives back is written. Then the exchange reads, and
// drops, whatever the client still sends, until a read fails: the client has closed its
// end (ERROR_BROKEN_PIPE) once it has read the answer, or the driver has cancelled the
// read at the client's deadline. Only then is the instance disconnected, which would
// discard an answer not yet read. A client that sends more than AFTER_FRAME_LIMIT
// bytes after its frame is not waited for: the exchange ends at once, its answer read
// or not. A failed response write ends the exchange without a log line.
class Exchange {
  public:
    // `pipe` is the connected instance, borrowed.
    explicit Exchange(HANDLE pipe, AdmissionDecision decide = caller_admitted,
                      Impersonation impersonate = impersonate_pipe_client);

    // The caller check, and the first step after it.
    ExchangeStep begin();
    // A Read ended: with ERROR_SUCCESS and `count` bytes, or with the read's error.
    ExchangeStep read_done(DWORD error, DWORD count);
    // The request of a Handle step: the frame's body, to move from.
    std::vector<std::uint8_t>& request() { return request_; }
    // The admitted caller's token (TOKEN_QUERY), valid while the exchange lives.
    HANDLE caller() const { return admission_.token.get(); }
    // The answer to a Handle step: the response's frame, or the failure to make one.
    ExchangeStep answered(Result<std::vector<std::uint8_t>> frame);
    // A Write ended: with ERROR_SUCCESS and `count` bytes, or with the write's error.
    ExchangeStep written(DWORD error, DWORD count);

  private:
    enum class Stage {
        // The caller could not be impersonated yet: reading on until it can.
        ReadingAhead,
        // The admitted caller's frame, or an answer in hand.
        Reading,
        // The answer is written: reading what follows until the client closes its end.
        Delivering,
    };

    ExchangeStep check();
    ExchangeStep after_check();
    ExchangeStep read_next();
    ExchangeStep refuse_read(const Failure& failure);
    ExchangeStep end();

    HANDLE pipe_;
    AdmissionDecision decide_;
    Impersonation impersonate_;
    Stage stage_ = Stage::Reading;
    Admission admission_;
    int checks_ = 0;
    proto::FrameReader reader_;
    std::vector<std::uint8_t> request_;
    std::vector<std::uint8_t> answer_;
    size_t answer_written_ = 0;
    size_t dropped_ = 0;
    // Whatever the client sends after its frame, read to see it close: room enough that
    // a client pouring bytes in costs few completions.
    std::uint8_t after_frame_[4096];
};

}  // namespace korvan::pipe
