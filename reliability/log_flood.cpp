// A flood of distinct log lines from clients: frames whose length prefix is out of
// range, each with another length, so that no line repeats and every one is written.
// Then a ping that must be answered. Prints how many were sent and how long it took;
// scripts/reliability measures the log files around it.
//
// usage: log_flood [FRAMES]    (90,000 by default, about 4.3 MB of log lines)
// Exit code 1 when the ping after the flood goes unanswered.

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "reliability/service_probe.h"
#include "support/pipe_client.h"

namespace {

using namespace korvan;
using namespace korvan::reliability;

constexpr std::uint32_t FIRST_REFUSED_LENGTH = 1'048'577;

}  // namespace

int main(int argc, char** argv) {
    const long frames = argc > 1 ? std::atol(argv[1]) : 90'000;
    const std::uint64_t from = now_us();
    std::uint64_t sent = 0;
    for (long index = 0; index < frames; ++index) {
        win::UniqueHandle pipe = test_support::open_pipe(30'000);
        if (!pipe) {
            continue;
        }
        const auto length = static_cast<std::uint32_t>(FIRST_REFUSED_LENGTH + index);
        sent += test_support::send_bytes(pipe.get(), test_support::prefix_of(length));
        // The service closes the connection once it has logged the line.
        test_support::closed_without_data(pipe.get());
    }
    const std::uint64_t took = now_us() - from;
    const bool pong = test_support::request(R"({"op":"ping"})") == PONG;
    print_line("frames with distinct refused lengths: " + std::to_string(sent) + " of " +
               std::to_string(frames) + " sent in " + millis(took) + " (" +
               std::to_string(took > 0 ? sent * 1'000'000 / took : 0) +
               " lines/s); the ping after them " + (pong ? "answered" : "NOT answered"));
    return pong ? 0 : 1;
}
