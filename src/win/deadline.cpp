#include "win/deadline.h"

namespace korvan::win {

namespace {

// Counts of QueryPerformanceCounter per second; fixed at boot.
std::int64_t frequency() {
    static const std::int64_t per_second = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return per_second;
}

std::int64_t now() {
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

}  // namespace

Deadline deadline_in_ms(std::uint64_t ms) {
    // An hour's counts are far within 64 bits at any frequency Windows reports.
    const auto counts =
        static_cast<std::int64_t>((ms * static_cast<std::uint64_t>(frequency()) + 999) / 1000);
    return Deadline(now() + counts, ms);
}

bool Deadline::passed() const {
    return now() >= end_count_;
}

DWORD Deadline::remaining_ms() const {
    const std::int64_t left = end_count_ - now();
    if (left <= 0) {
        return 0;
    }
    const std::int64_t ms = (left * 1000 + frequency() - 1) / frequency();
    return ms < INFINITE ? static_cast<DWORD>(ms) : INFINITE - 1;
}

std::uint64_t Deadline::tick_deadline() const {
    return GetTickCount64() + remaining_ms();
}

std::string Deadline::span_text() const {
    if (ms_ % 1000 == 0) {
        return std::to_string(ms_ / 1000) + " s";
    }
    return std::to_string(ms_) + " ms";
}

}  // namespace korvan::win
