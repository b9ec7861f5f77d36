#pragma once

// A bound on a series of calls, such as a client's from the first attempt to open the
// pipe to the last byte of the reply.

#include <windows.h>

#include <cstdint>
#include <string>

namespace korvan::win {

// A deadline on QueryPerformanceCounter's clock, and the milliseconds it was set from,
// which the error texts name. GetTickCount64 moves in steps of 10 to 16 ms, too coarse
// to tell whether a deadline of 1 ms has passed.
class Deadline {
  public:
    // Whether the deadline has passed.
    bool passed() const;
    // The milliseconds left, rounded up: 0 once the deadline has passed.
    DWORD remaining_ms() const;
    // The same deadline on GetTickCount64's clock, for the waits of win/overlapped_io.h.
    std::uint64_t tick_deadline() const;
    // How the error texts name the span: "10 s" for whole seconds, else "1500 ms".
    std::string span_text() const;

  private:
    Deadline(std::int64_t end_count, std::uint64_t ms) : end_count_(end_count), ms_(ms) {}
    friend Deadline deadline_in_ms(std::uint64_t ms);

    std::int64_t end_count_ = 0;
    std::uint64_t ms_ = 0;
};

// `ms` milliseconds from now, at most an hour.
Deadline deadline_in_ms(std::uint64_t ms);

}  // namespace korvan::win
