// Pings through the client library's connect and exchange (without its server check),
// for counting the Wine server requests that one ping costs
// (scripts/count-server-requests). The counted pings lie between two marks that show
// in the server's trace: attempts to open the events named BEGIN_MARK and END_MARK,
// which do not exist.
//
// usage: ping_loop N [PAUSE_MS]
// With PAUSE_MS, each ping is followed by a Sleep of that long, so that the service
// waits for a client on its next instance before the next ping comes. Without it, a
// ping may come before the service has made its next instance, find the pipe busy and
// wait for it, and how often that happens varies from run to run. Each pause is one
// request of the client's. The installed service must be running. Prints
// "client {pid} service {pid}", both in the trace's notation (lower-case hexadecimal,
// at least four digits); exits with 1 when a ping is not answered "pong".

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "bench_support.h"
#include "client/connect.h"
#include "client/exchange.h"

namespace {

using namespace korvan;

constexpr wchar_t BEGIN_MARK[] = L"korvan-ping-loop-begin";
constexpr wchar_t END_MARK[] = L"korvan-ping-loop-end";
constexpr std::string_view PIPE = "\\\\.\\pipe\\korvan-vpn-service";
// Enough for the service's first-use costs (its thread pool, its log folder checks) to
// fall before the first mark.
constexpr int WARM_UP = 20;

void mark(const wchar_t* name) {
    win::UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name));
}

// One ping as the tool sends it; whether it was answered "pong".
bool ping() {
    const std::string_view body = bench::PING;
    const client::Deadline deadline = client::deadline_in_ms(10000);
    Result<win::UniqueHandle> pipe = client::open_pipe(PIPE, deadline);
    if (!pipe) {
        std::fprintf(stderr, "ping_loop: %s\n", pipe.error().c_str());
        return false;
    }
    Result<std::vector<std::uint8_t>> reply =
        client::exchange(pipe->get(),
                         std::span<const std::uint8_t>(
                             reinterpret_cast<const std::uint8_t*>(body.data()), body.size()),
                         deadline);
    if (!reply || std::string_view(reinterpret_cast<const char*>(reply->data()), reply->size()) !=
                      bench::PONG) {
        std::fprintf(stderr, "ping_loop: %s\n", reply ? "not pong" : reply.error().c_str());
        return false;
    }
    return true;
}

// `count` pings, each followed by a pause of `pause_ms` when it is not 0.
bool pings(int count, int pause_ms) {
    for (int i = 0; i < count; ++i) {
        if (!ping()) {
            return false;
        }
        if (pause_ms > 0) {
            Sleep(static_cast<DWORD>(pause_ms));
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc >= 2 && argc <= 3 ? std::atoi(argv[1]) : 0;
    const int pause_ms = argc == 3 ? std::atoi(argv[2]) : 0;
    if (count <= 0 || pause_ms < 0) {
        std::fputs("usage: ping_loop N [PAUSE_MS]\n", stderr);
        return 2;
    }
    const std::optional<DWORD> service = bench::service_pid();
    if (!service) {
        std::fputs("ping_loop: the service is not running\n", stderr);
        return 1;
    }
    if (!pings(WARM_UP, pause_ms)) {
        return 1;
    }
    mark(BEGIN_MARK);
    if (!pings(count, pause_ms)) {
        return 1;
    }
    mark(END_MARK);
    std::printf("client %04lx service %04lx\n", GetCurrentProcessId(), *service);
    return 0;
}
