// Another process that pings the service's pipe through the client library, for tests
// that need a client of another account beside their own threads, without the cost of
// starting a process for every ping.
//
// usage: pinger COUNT PAUSE_MS
// Sends COUNT pings, each with 10 s for the whole exchange and without the server check,
// PAUSE_MS apart. Prints one line for each: the milliseconds it took when it was
// answered "pong", else "unanswered: " and the failure.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/transact.h"
#include "common/names.h"
#include "win/deadline.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pinger COUNT PAUSE_MS\n");
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const DWORD pause_ms = static_cast<DWORD>(std::atoi(argv[2]));
    const std::string pong = R"({"ok":"pong","version":"1","service_version":"1.0.0"})";
    for (int i = 0; i < count; ++i) {
        const ULONGLONG began = GetTickCount64();
        korvan::client::Target target{std::string(korvan::names::PIPE_NAME_TEXT),
                                      korvan::win::deadline_in_ms(10'000), false, "",
                                      korvan::client::query_service};
        const korvan::Result<std::string> answer =
            korvan::client::transact(target, R"({"op":"ping"})");
        if (answer && answer.value() == pong) {
            std::printf("%llu\n", GetTickCount64() - began);
        } else {
            std::printf("unanswered: %s\n",
                        answer ? answer.value().c_str() : answer.error().c_str());
        }
        std::fflush(stdout);
        Sleep(pause_ms);
    }
    return 0;
}
