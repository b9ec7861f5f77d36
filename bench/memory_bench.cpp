// The service's memory and handles, idle and across 10,000 requests of mixed kinds,
// against the bare echo server given the same requests, both measured in this run.
//
// usage: memory_bench
// The installed service must be running with no core; echo_server.exe must lie beside
// this program. Its idle figures are taken after one ping.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using namespace korvan::bench;

constexpr int REQUESTS = 10'000;
constexpr int SAMPLE_EVERY = 1'000;

struct Request {
    std::string frame;
    // The start of the service's answer; the echo server always answers PONG.
    std::string answer_prefix;
};

// The mix, one cycle of ten; in each thousand, one cycle starts a core, asks for its
// status and stops it again.
std::vector<Request> cycle(bool with_start) {
    const std::string bad_request = R"({"ok":"error","code":"bad_request","message":"parse: )";
    std::vector<Request> requests = {
        {framed(PING), PONG},
        {framed(STATUS), IDLE_STATUS},
        {framed(STOP), STOPPED},
        {framed(R"({"op":)"), bad_request},
        {framed(R"({"op":"restart"})"), bad_request},
        {framed(PING), PONG},
        {framed(STATUS), IDLE_STATUS},
        {framed(R"({"op":"start","config_yaml":"mode: rule\n","secret":"s","mixed_port":1})"),
         bad_request},
        {framed(PING), PONG},
        {framed(STOP), STOPPED},
    };
    if (with_start) {
        requests[6] = {framed(R"({"op":"start","config_yaml":"mode: rule\n","secret":"s",)"
                              R"("mixed_port":7890,"ctl_port":9090})"),
                       R"({"ok":"started","mixed_port":7890,"ctl_port":9090})"};
        requests[8] = {framed(STATUS),
                       R"({"ok":"status","running":true,"mixed_port":7890,"ctl_port":9090})"};
    }
    return requests;
}

struct Column {
    const char* label;
    const wchar_t* pipe;
    HANDLE process;
    bool echo;
    std::vector<Counters> samples;
    int unexpected = 0;
};

bool sample(Column& column) {
    const std::optional<Counters> counters = counters_of(column.process);
    if (!counters) {
        std::fprintf(stderr, "memory_bench: no counters for the %s (error %lu)\n", column.label,
                     GetLastError());
        return false;
    }
    column.samples.push_back(*counters);
    return true;
}

bool run(Column& column) {
    const std::vector<Request> plain = cycle(false);
    const std::vector<Request> starting = cycle(true);
    if (!sample(column)) {
        return false;
    }
    for (int i = 0; i < REQUESTS; ++i) {
        const std::vector<Request>& mix = i % SAMPLE_EVERY / 10 == 50 ? starting : plain;
        const Request& request = mix[i % 10];
        const std::optional<std::string> answer = round_trip(column.pipe, request.frame);
        const std::string expected = column.echo ? std::string(PONG) : request.answer_prefix;
        if (!answer || answer->compare(0, expected.size(), expected) != 0) {
            ++column.unexpected;
        }
        if ((i + 1) % SAMPLE_EVERY == 0 && !sample(column)) {
            return false;
        }
    }
    return true;
}

double kib(std::uint64_t bytes) {
    return static_cast<double>(bytes) / 1024.0;
}

}  // namespace

int main() {
    std::optional<Child> echo = start_echo_server();
    // The service answers once its listener runs; the SCM knows its process from then on.
    const bool answers = round_trip(SERVICE_PIPE, framed(PING)) == PONG;
    const std::optional<DWORD> pid = answers ? service_pid() : std::nullopt;
    if (!echo || !pid) {
        std::fputs("memory_bench: the echo server or the service is not running\n", stderr);
        return 1;
    }
    korvan::win::UniqueHandle service(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, *pid));
    if (!service) {
        std::fprintf(stderr, "memory_bench: OpenProcess: error %lu\n", GetLastError());
        return 1;
    }
    Column columns[] = {{"service", SERVICE_PIPE, service.get(), false, {}},
                        {"echo", ECHO_PIPE, echo->process.process.get(), true, {}}};
    for (Column& column : columns) {
        if (!run(column)) {
            return 1;
        }
    }

    say("memory: private bytes, working set (KiB) and handles, idle and after each %d of "
        "%d requests of mixed kinds\n",
        SAMPLE_EVERY, REQUESTS);
    say("  %8s | %10s %10s %8s | %10s %10s %8s\n", "requests", "service", "", "", "echo", "", "");
    say("  %8s | %10s %10s %8s | %10s %10s %8s\n", "", "private", "working", "handles", "private",
        "working", "handles");
    for (size_t row = 0; row < columns[0].samples.size(); ++row) {
        const Counters& s = columns[0].samples[row];
        const Counters& e = columns[1].samples[row];
        say("  %8zu | %10.0f %10.0f %8lu | %10.0f %10.0f %8lu\n", row * SAMPLE_EVERY,
            kib(s.private_bytes), kib(s.working_set), s.handles, kib(e.private_bytes),
            kib(e.working_set), e.handles);
    }
    // From the first thousand on: what the first requests bring in once (code pages,
    // heap arenas, the first core's files) is not growth.
    for (const Column& column : columns) {
        const Counters& from = column.samples[1];
        const Counters& to = column.samples.back();
        say("  %s from %d to %d requests: private %+.0f KiB, working set %+.0f KiB, handles "
            "%+ld; unexpected answers: %d\n",
            column.label, SAMPLE_EVERY, REQUESTS, kib(to.private_bytes) - kib(from.private_bytes),
            kib(to.working_set) - kib(from.working_set),
            static_cast<long>(to.handles) - static_cast<long>(from.handles), column.unexpected);
    }
    const Counters& first = columns[0].samples.front();
    if (first.private_from_pagefile || first.handles_listed) {
        say("  (Wine reports %s%s%s for another process: %s%s%s)\n",
            first.private_from_pagefile ? "no PrivateUsage" : "",
            first.private_from_pagefile && first.handles_listed ? " and " : "",
            first.handles_listed ? "no handle count" : "",
            first.private_from_pagefile
                ? "private bytes are PagefileUsage, the same commit charge on Windows"
                : "",
            first.private_from_pagefile && first.handles_listed ? "; " : "",
            first.handles_listed ? "handles from NtQuerySystemInformation's process list" : "");
    }
    const Counters& idle_service = columns[0].samples.front();
    const Counters& idle_echo = columns[1].samples.front();
    say("  idle service / echo: private %.2f, working set %.2f, handles %.2f\n",
        static_cast<double>(idle_service.private_bytes) / idle_echo.private_bytes,
        static_cast<double>(idle_service.working_set) / idle_echo.working_set,
        static_cast<double>(idle_service.handles) / idle_echo.handles);
    return columns[0].unexpected == 0 && columns[1].unexpected == 0 ? 0 : 1;
}
