// The service's peak memory across one request whose error answer, as the decoder words
// it, is longer than a frame: a 1 MiB start whose mixed_port is a string of 0x7F bytes,
// each of which the decoder's message describes as \u{7f}. For comparison, a 1 MiB
// start answered with a short error comes first. Prints the service process's memory
// counters after a ping, after each of the two frames, and what each frame got back.
//
// usage: peak_memory
// The installed service must be freshly started: its peaks only grow.
// Exit code 1 when the service cannot be queried or a ping goes unanswered.

#include <windows.h>

#include <psapi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "reliability/service_probe.h"
#include "support/pipe_client.h"

namespace {

using namespace korvan;
using namespace korvan::reliability;

constexpr std::uint32_t MAX_FRAME_LEN = 1'048'576;

// A start request whose config_yaml is `config` bytes of 'A' and whose mixed_port is a
// string of `port` 0x7F bytes.
std::string start_request_of(size_t config, size_t port) {
    return R"({"op":"start","config_yaml":")" + std::string(config, 'A') +
           R"(","secret":"","mixed_port":")" + std::string(port, '\x7F') + R"(","ctl_port":1})";
}

// The bytes of such a request besides its config_yaml and mixed_port.
const size_t START_OVERHEAD = start_request_of(0, 0).size();

// Sends `body` as one frame and returns the answer, if any.
std::optional<std::string> exchange(std::string_view body) {
    win::UniqueHandle pipe = test_support::open_pipe(30'000);
    if (!pipe || !test_support::send_bytes(pipe.get(), test_support::framed(body))) {
        return std::nullopt;
    }
    return test_support::read_response(pipe.get());
}

std::string kib(SIZE_T bytes) {
    return std::to_string(bytes / 1024) + " KiB";
}

// Under Wine 8 the counters of another process are read from /proc/PID/status of its
// Unix process: PeakWorkingSetSize is VmHWM, WorkingSetSize VmRSS, and PagefileUsage
// RssAnon plus VmSwap. PrivateUsage stays 0, and PeakPagefileUsage is only the
// current PagefileUsage again, so neither is printed.
bool print_counters(HANDLE process, std::string_view when) {
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                              sizeof memory)) {
        print_line("  " + std::string(when) + ": GetProcessMemoryInfo failed, error " +
                   std::to_string(GetLastError()));
        return false;
    }
    print_line("  " + std::string(when) + ": peak working set " + kib(memory.PeakWorkingSetSize) +
               ", working set " + kib(memory.WorkingSetSize) + ", pagefile usage " +
               kib(memory.PagefileUsage));
    return true;
}

std::string described(const std::optional<std::string>& answer) {
    if (!answer) {
        return "no answer (the connection ended without a frame)";
    }
    const size_t shown = 60;
    if (answer->size() <= 2 * shown) {
        return std::to_string(answer->size()) + " bytes, " + *answer;
    }
    return std::to_string(answer->size()) + " bytes, beginning " + answer->substr(0, shown) +
           " ... ending " + answer->substr(answer->size() - shown);
}

}  // namespace

int main() {
    const bool pong = exchange(R"({"op":"ping"})") == PONG;
    const std::optional<SERVICE_STATUS_PROCESS> service = query_service();
    if (!pong || !service || service->dwCurrentState != SERVICE_RUNNING) {
        print_line("peak_memory: the service is not running or does not answer a ping");
        return 1;
    }
    win::UniqueHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, service->dwProcessId));
    if (!process) {
        print_line("peak_memory: OpenProcess failed, error " + std::to_string(GetLastError()));
        return 1;
    }
    print_line("service process " + std::to_string(service->dwProcessId) + ":");
    bool counted = print_counters(process.get(), "after a ping");

    // Both fill a frame: the first with its config_yaml and a one-byte mixed_port, which
    // gets a short answer; the second with its mixed_port.
    const size_t room = MAX_FRAME_LEN - START_OVERHEAD;
    print_line(
        "1 MiB start, config_yaml of " + std::to_string(room - 1) +
        " bytes, mixed_port one 0x7F byte: " + described(exchange(start_request_of(room - 1, 1))));
    counted = print_counters(process.get(), "after it") && counted;
    print_line("1 MiB start, mixed_port a string of " + std::to_string(room) +
               " 0x7F bytes: " + described(exchange(start_request_of(0, room))));
    counted = print_counters(process.get(), "after it") && counted;

    const bool pong_after = exchange(R"({"op":"ping"})") == PONG;
    print_line(std::string("a ping after them: ") + (pong_after ? "answered" : "NOT answered"));
    return counted && pong_after ? 0 : 1;
}
