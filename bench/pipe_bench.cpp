// The control pipe's cost against the bare echo server, both measured in this run:
// round trips of one client ("ping", then "status"), then 1, 4 and 16 clients at once.
// Every request is one connection: open, send one frame, read the answer, close.
//
// usage: pipe_bench [--plot-data FILE]
// The installed service must be running with no core; echo_server.exe must lie beside
// this program. FILE receives, per client count, the median and p99 latency of both.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

using namespace korvan::bench;

constexpr int WARM_UP = 200;
constexpr int BLOCKS = 200;
constexpr int BLOCK = 10;
constexpr int CONCURRENT_REQUESTS = 1600;
constexpr int CLIENT_COUNTS[] = {1, 4, 16};

struct Server {
    const char* label;
    const wchar_t* pipe;
    // The answer expected for the request in hand.
    std::string expected;
};

// Round trips of one request, `count` times; false as soon as one is not answered as
// expected.
bool time_round_trips(const Server& server, const std::string& frame, int count,
                      std::vector<double>& into) {
    for (int i = 0; i < count; ++i) {
        const double start = now_us();
        const std::optional<std::string> answer = round_trip(server.pipe, frame);
        const double took = now_us() - start;
        if (answer != server.expected) {
            say("  %s: unexpected answer: %s\n", server.label, answer ? answer->c_str() : "(none)");
            return false;
        }
        into.push_back(took);
    }
    return true;
}

bool round_trips(const char* label, const char* request, const std::string& expected) {
    const std::string frame = framed(request);
    Server servers[] = {{"service", SERVICE_PIPE, expected}, {"echo", ECHO_PIPE, PONG}};
    std::vector<double> samples[2];
    for (int s = 0; s < 2; ++s) {
        std::vector<double> ignored;
        if (!time_round_trips(servers[s], frame, WARM_UP, ignored)) {
            return false;
        }
    }
    // Interleaved, so that a burst of load from elsewhere falls on both alike.
    for (int block = 0; block < BLOCKS; ++block) {
        for (int s = 0; s < 2; ++s) {
            if (!time_round_trips(servers[s], frame, BLOCK, samples[s])) {
                return false;
            }
        }
    }
    const Summary service = summarize(samples[0]);
    const Summary echo = summarize(samples[1]);
    for (const auto& [server, sum] : {std::pair{"service", service}, std::pair{"echo", echo}}) {
        say("  %-7s %-8s %8zu %10.1f %10.1f %10.1f\n", label, server, sum.count, sum.median,
            sum.p99, sum.mean);
    }
    say("  %-7s %-8s %8s %10.2f %10.2f %10.2f\n", label, "ratio", "", service.median / echo.median,
        service.p99 / echo.p99, service.mean / echo.mean);
    return true;
}

struct Load {
    int answered = 0;
    int failed = 0;
    double seconds = 0;
    Summary latency;
};

Load concurrent(const Server& server, int clients) {
    const std::string frame = framed(PING);
    const int each = CONCURRENT_REQUESTS / clients;
    std::vector<std::vector<double>> samples(clients);
    std::vector<int> answered(clients, 0);
    std::vector<std::thread> threads;
    // All clients start together.
    const korvan::win::UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            WaitForSingleObject(go.get(), INFINITE);
            for (int i = 0; i < each; ++i) {
                const double start = now_us();
                const std::optional<std::string> answer = round_trip(server.pipe, frame);
                samples[c].push_back(now_us() - start);
                answered[c] += answer == server.expected ? 1 : 0;
            }
        });
    }
    const double start = now_us();
    SetEvent(go.get());
    for (std::thread& thread : threads) {
        thread.join();
    }
    Load load;
    load.seconds = (now_us() - start) / 1e6;
    std::vector<double> all;
    for (int c = 0; c < clients; ++c) {
        all.insert(all.end(), samples[c].begin(), samples[c].end());
        load.answered += answered[c];
    }
    load.failed = each * clients - load.answered;
    load.latency = summarize(all);
    return load;
}

}  // namespace

int main(int argc, char** argv) {
    const char* plot_data = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "--plot-data") == 0) {
        plot_data = argv[2];
    } else if (argc != 1) {
        std::fputs("usage: pipe_bench [--plot-data FILE]\n", stderr);
        return 2;
    }
    std::optional<Child> echo = start_echo_server();
    if (!echo) {
        std::fputs("pipe_bench: the echo server did not start\n", stderr);
        return 1;
    }
    if (round_trip(SERVICE_PIPE, framed(STOP)) != STOPPED) {
        std::fputs("pipe_bench: the service does not answer\n", stderr);
        return 1;
    }

    say("round trip, one client, one connection per request (%d each, interleaved), us\n",
        BLOCKS * BLOCK);
    say("  %-7s %-8s %8s %10s %10s %10s\n", "request", "server", "count", "median", "p99", "mean");
    if (!round_trips("ping", PING, PONG) || !round_trips("status", STATUS, IDLE_STATUS)) {
        return 1;
    }

    say("\nconcurrency: clients at once, each looping on ping (%d requests per run), us\n",
        CONCURRENT_REQUESTS);
    say("  %-7s %-8s %9s %8s %12s %10s %10s %10s\n", "clients", "server", "answered", "failed",
        "requests/s", "median", "p99", "max");
    FILE* plot = plot_data ? std::fopen(plot_data, "w") : nullptr;
    if (plot) {
        std::fputs("# clients service_median service_p99 echo_median echo_p99 (us)\n", plot);
    }
    const Server servers[] = {{"service", SERVICE_PIPE, PONG}, {"echo", ECHO_PIPE, PONG}};
    bool all_answered = true;
    for (int clients : CLIENT_COUNTS) {
        Load loads[2];
        for (int s = 0; s < 2; ++s) {
            loads[s] = concurrent(servers[s], clients);
            const Load& load = loads[s];
            all_answered = all_answered && load.failed == 0;
            say("  %-7d %-8s %9d %8d %12.0f %10.1f %10.1f %10.1f\n", clients, servers[s].label,
                load.answered, load.failed, load.answered / load.seconds, load.latency.median,
                load.latency.p99, load.latency.max);
        }
        const double service_rate = loads[0].answered / loads[0].seconds;
        const double echo_rate = loads[1].answered / loads[1].seconds;
        say("  %-7d %-8s %9s %8s %12.2f %10.2f %10.2f %10.2f\n", clients, "ratio", "", "",
            service_rate / echo_rate, loads[0].latency.median / loads[1].latency.median,
            loads[0].latency.p99 / loads[1].latency.p99,
            loads[0].latency.max / loads[1].latency.max);
        if (plot) {
            std::fprintf(plot, "%d %.1f %.1f %.1f %.1f\n", clients, loads[0].latency.median,
                         loads[0].latency.p99, loads[1].latency.median, loads[1].latency.p99);
        }
    }
    if (plot) {
        std::fclose(plot);
    }
    if (!all_answered) {
        say("not every request was answered\n");
        return 1;
    }
    return 0;
}
