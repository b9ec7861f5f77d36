// Pings through the client library, for counting the Wine server requests that one
// ping costs (scripts/count-server-requests). The counted pings lie between two marks
// that show in the server's trace: attempts to open the events named BEGIN_MARK and
// END_MARK, which do not exist.
//
// usage: ping_loop N [PAUSE_MS [exchange|tool|dll]]
// With PAUSE_MS, each ping is followed by a Sleep of that long, so that the service has
// ended the last exchange and its instance listens again before the next ping comes.
// Without it, the next ping comes while the service may still be ending the last one,
// and how the two overlap varies from run to run. Each pause is one request of the
// client's. How each ping is sent:
//   exchange  the library's connect and exchange, without the server check (the default)
//   tool      one request as korvan-vpn-ctl sends it (client::transact): connect, the
//             server check, the exchange
//   dll       korvan_ping of korvan-client.dll, loaded from the build's top folder
// The installed service must be running. Prints "client {pid} service {pid}", both in
// the trace's notation (lower-case hexadecimal, at least four digits); exits with 1
// when a ping is not answered "pong".

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "bench_support.h"
#include "client/connect.h"
#include "client/exchange.h"
#include "client/transact.h"

// Loaded with LoadLibraryW: the function types alone.
#define KORVAN_CLIENT_NO_PROTOTYPES
#include "korvan_client.h"

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

enum class Via { Exchange, Tool, Dll };

// korvan_ping and korvan_free, once the DLL is loaded.
KORVAN_PING_FUNC* dll_ping = nullptr;
KORVAN_FREE_FUNC* dll_free = nullptr;

bool load_dll() {
    const std::wstring path = bench::module_dir() + L"\\..\\korvan-client.dll";
    HMODULE dll = LoadLibraryW(path.c_str());
    if (dll == nullptr) {
        std::fprintf(stderr, "ping_loop: LoadLibraryW korvan-client.dll: %lu\n", GetLastError());
        return false;
    }
    // Through void (*)(void), the type that GCC lets any function pointer be cast to.
    using AnyFunction = void (*)();
    dll_ping = reinterpret_cast<KORVAN_PING_FUNC*>(
        reinterpret_cast<AnyFunction>(GetProcAddress(dll, "korvan_ping")));
    dll_free = reinterpret_cast<KORVAN_FREE_FUNC*>(
        reinterpret_cast<AnyFunction>(GetProcAddress(dll, "korvan_free")));
    return dll_ping != nullptr && dll_free != nullptr;
}

bool ping_through_dll() {
    KORVAN_PONG* pong = nullptr;
    KORVAN_ERROR* error = nullptr;
    const KORVAN_STATUS status = dll_ping(nullptr, 0, 10000, &pong, &error);
    const bool answered = status == KORVAN_OK && pong != nullptr;
    if (!answered) {
        std::fprintf(stderr, "ping_loop: %s\n", error != nullptr ? error->text : "no pong");
    }
    dll_free(pong);
    dll_free(error);
    return answered;
}

bool ping_as_the_tool() {
    const client::Target target{std::string(PIPE), win::deadline_in_ms(10000), true, ""};
    Result<std::string> reply = client::transact(target, bench::PING);
    if (!reply || reply.value() != bench::PONG) {
        std::fprintf(stderr, "ping_loop: %s\n", reply ? "not pong" : reply.error().c_str());
        return false;
    }
    return true;
}

// One ping through the library's connect and exchange; whether it was answered "pong".
bool ping_exchange() {
    const std::string_view body = bench::PING;
    const win::Deadline deadline = win::deadline_in_ms(10000);
    Result<win::UniqueHandle> pipe = client::open_pipe(PIPE, deadline, client::query_service);
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

bool ping(Via via) {
    switch (via) {
        case Via::Exchange:
            return ping_exchange();
        case Via::Tool:
            return ping_as_the_tool();
        case Via::Dll:
            return ping_through_dll();
    }
    return false;
}

// `count` pings, each followed by a pause of `pause_ms` when it is not 0.
bool pings(Via via, int count, int pause_ms) {
    for (int i = 0; i < count; ++i) {
        if (!ping(via)) {
            return false;
        }
        if (pause_ms > 0) {
            Sleep(static_cast<DWORD>(pause_ms));
        }
    }
    return true;
}

std::optional<Via> via_of(std::string_view word) {
    if (word == "exchange") {
        return Via::Exchange;
    }
    if (word == "tool") {
        return Via::Tool;
    }
    if (word == "dll") {
        return Via::Dll;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc >= 2 && argc <= 4 ? std::atoi(argv[1]) : 0;
    const int pause_ms = argc >= 3 ? std::atoi(argv[2]) : 0;
    const std::optional<Via> via = argc == 4 ? via_of(argv[3]) : Via::Exchange;
    if (count <= 0 || pause_ms < 0 || !via) {
        std::fputs("usage: ping_loop N [PAUSE_MS [exchange|tool|dll]]\n", stderr);
        return 2;
    }
    if (*via == Via::Dll && !load_dll()) {
        return 1;
    }
    const std::optional<DWORD> service = bench::service_pid();
    if (!service) {
        std::fputs("ping_loop: the service is not running\n", stderr);
        return 1;
    }
    if (!pings(*via, WARM_UP, pause_ms)) {
        return 1;
    }
    mark(BEGIN_MARK);
    if (!pings(*via, count, pause_ms)) {
        return 1;
    }
    mark(END_MARK);
    std::printf("client %04lx service %04lx\n", GetCurrentProcessId(), *service);
    return 0;
}
