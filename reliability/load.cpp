// Load on the installed service: clients at once, each sending its requests one
// connection after another, as a mix of ping, status, start, stop, malformed bodies and
// bad frames, while silent clients hold instances of the pipe throughout: each connects
// and sends nothing, and connects again when the service drops it. Every well-formed
// request must get its exact answer and every bad frame none. Prints the counts, the
// latencies, and the service's handle count and private bytes before and after.
//
// usage: load [CLIENTS [REQUESTS [SILENT]]]    (16, 1000, 8 by default)
// Under Wine every process is one account. With CLIENTS + SILENT at most 24, at least 8
// of the pipe's 32 instances listen, and the limit per account stays out of play: with
// fewer, the service would give an account's connections beyond its first 4 only 250 ms
// for each part of their exchange, silent ones and the load's own clients alike.
// Exit code 1 when a request was lost or answered wrongly, a bad frame was answered, a
// silent connection was not dropped without data, or the service process changed.

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "reliability/service_probe.h"
#include "support/pipe_client.h"

namespace {

using namespace korvan;
using namespace korvan::reliability;
using test_support::framed;
using test_support::prefix_of;

// Each client waits this long for an instance of the pipe: far longer than any wait
// should be (a silent connection holds only its own instance), so that a slow moment
// shows in the latency rather than as a loss.
constexpr DWORD OPEN_DEADLINE_MS = 120'000;

enum Kind { PING, STATUS, START, STOP, MALFORMED, BAD_FRAME, KIND_COUNT };

struct KindInfo {
    const char* name;
    // Out of 1000 requests.
    int weight;
};
constexpr std::array<KindInfo, KIND_COUNT> KINDS = {{
    {"ping", 440},
    {"status", 200},
    {"start", 30},
    {"stop", 50},
    {"malformed", 180},
    {"bad frame", 100},
}};

// Bodies the decoder refuses, with its exact message.
struct Malformed {
    const char* body;
    const char* message;
};
constexpr Malformed MALFORMED_BODIES[] = {
    {R"({"op":"Ping"})",
     "unknown variant `Ping`, expected one of `ping`, `status`, `start`, `stop` at line 1 "
     "column 12"},
    {R"({})", "missing field `op` at line 1 column 2"},
    {R"({"op":"ping","op":"ping"})", "duplicate field `op` at line 1 column 17"},
    {R"({"op":"ping"} x)", "trailing characters at line 1 column 15"},
    {R"({"op":5})", "invalid type: integer `5`, expected variant identifier at line 1 column 7"},
    {R"(["ping",1])", "invalid length 1, expected 0 elements in sequence"},
    {R"(["start","a","",1,2,3])", "invalid length 5, expected 4 elements in sequence"},
    {R"({"op":"start","config_yaml":"a"})", "missing field `secret`"},
    {R"({"op":"start","config_yaml":"a","secret":"","mixed_port":"10800","ctl_port":1})",
     R"(invalid type: string "10800", expected u16)"},
    {R"({"op":"start","config_yaml":"a","secret":"","mixed_port":70000,"ctl_port":1})",
     "invalid value: integer `70000`, expected u16"},
    {"{\"op\":\"start\",\n \"mixed_port\":10800",
     "EOF while parsing an object at line 2 column 19"},
    {"x", "expected value at line 1 column 1"},
};

// Length prefixes the service refuses without answering: 0, one past the limit, the
// largest, and 13 written big-endian.
constexpr std::uint32_t BAD_LENGTHS[] = {0, 1'048'577, 0xFFFFFFFF, 0x0D000000};

struct Tally {
    std::array<std::uint64_t, KIND_COUNT> sent{};
    std::array<std::uint64_t, KIND_COUNT> answered{};
    std::array<std::uint64_t, KIND_COUNT> wrong{};
    std::array<std::uint64_t, KIND_COUNT> lost{};
    std::array<std::vector<std::uint64_t>, KIND_COUNT> latency_us;
    // Open failures by error code, and answers that differ from the expected ones.
    std::map<DWORD, std::uint64_t> open_errors;
    std::set<std::string> wrong_answers;
    std::uint64_t status_running = 0;
};

struct Shared {
    std::atomic<std::uint64_t> done{0};
    std::mutex merge_lock;
    Tally total;
};

Kind draw(std::mt19937& random) {
    int roll = std::uniform_int_distribution<int>(0, 999)(random);
    for (int k = 0; k < KIND_COUNT; ++k) {
        roll -= KINDS[k].weight;
        if (roll < 0) {
            return static_cast<Kind>(k);
        }
    }
    return PING;
}

bool acceptable(Kind kind, const std::string& answer, const std::string& expected, Tally& tally) {
    if (kind == STATUS) {
        if (answer == STATUS_RUNNING) {
            ++tally.status_running;
            return true;
        }
        return answer == STATUS_IDLE;
    }
    return answer == expected;
}

void one_request(Kind kind, std::mt19937& random, const std::string& start_body, Tally& tally) {
    ++tally.sent[kind];
    std::string bytes;
    std::string expected;
    switch (kind) {
        case PING:
            bytes = framed(R"({"op":"ping"})");
            expected = PONG;
            break;
        case STATUS:
            bytes = framed(R"({"op":"status"})");
            break;
        case START:
            bytes = framed(start_body);
            expected = STARTED;
            break;
        case STOP:
            bytes = framed(R"({"op":"stop"})");
            expected = STOPPED;
            break;
        case MALFORMED: {
            const Malformed& m = MALFORMED_BODIES[std::uniform_int_distribution<size_t>(
                0, std::size(MALFORMED_BODIES) - 1)(random)];
            bytes = framed(m.body);
            expected = bad_request_answer(m.message);
            break;
        }
        case BAD_FRAME:
            bytes = prefix_of(BAD_LENGTHS[std::uniform_int_distribution<size_t>(
                0, std::size(BAD_LENGTHS) - 1)(random)]);
            break;
        case KIND_COUNT:
            return;
    }
    const std::uint64_t from = now_us();
    DWORD error = ERROR_SUCCESS;
    win::UniqueHandle pipe = test_support::open_pipe(OPEN_DEADLINE_MS, &error);
    if (!pipe) {
        ++tally.open_errors[error];
        ++tally.lost[kind];
        return;
    }
    if (!test_support::send_bytes(pipe.get(), bytes)) {
        ++tally.lost[kind];
        return;
    }
    if (kind == BAD_FRAME) {
        // Refused: the service closes the connection without a byte.
        if (test_support::closed_without_data(pipe.get())) {
            ++tally.answered[kind];
        } else {
            ++tally.wrong[kind];
        }
        return;
    }
    const std::optional<std::string> answer = test_support::read_response(pipe.get());
    const std::uint64_t took = now_us() - from;
    if (!answer) {
        ++tally.lost[kind];
    } else if (acceptable(kind, *answer, expected, tally)) {
        ++tally.answered[kind];
        tally.latency_us[kind].push_back(took);
    } else {
        ++tally.wrong[kind];
        if (tally.wrong_answers.size() < 5) {
            tally.wrong_answers.insert(std::string(KINDS[kind].name) + ": " + *answer);
        }
    }
}

void client(int index, int requests, const std::string& start_body, Shared& shared) {
    std::mt19937 random(static_cast<std::mt19937::result_type>(1000 + index));
    Tally tally;
    for (int i = 0; i < requests; ++i) {
        one_request(draw(random), random, start_body, tally);
        shared.done.fetch_add(1);
    }
    std::lock_guard<std::mutex> held(shared.merge_lock);
    Tally& total = shared.total;
    for (int k = 0; k < KIND_COUNT; ++k) {
        total.sent[k] += tally.sent[k];
        total.answered[k] += tally.answered[k];
        total.wrong[k] += tally.wrong[k];
        total.lost[k] += tally.lost[k];
        total.latency_us[k].insert(total.latency_us[k].end(), tally.latency_us[k].begin(),
                                   tally.latency_us[k].end());
    }
    for (const auto& [error, count] : tally.open_errors) {
        total.open_errors[error] += count;
    }
    total.wrong_answers.insert(tally.wrong_answers.begin(), tally.wrong_answers.end());
    total.status_running += tally.status_running;
}

// A client that connects and sends nothing, and connects again each time the service
// drops it, until `load_done` is set. It counts itself in `ready` once its first
// connection is made or has failed.
struct Silent {
    int connections = 0;
    int dropped_without_data = 0;
    bool open_failed = false;
    std::vector<std::uint64_t> held_us;
};

Silent silent_client(const std::atomic<bool>& load_done, std::atomic<int>& ready) {
    Silent silent;
    while (!load_done.load()) {
        win::UniqueHandle pipe = test_support::open_pipe(OPEN_DEADLINE_MS);
        if (silent.connections == 0) {
            ++ready;
        }
        if (!pipe) {
            silent.open_failed = true;
            return silent;
        }
        ++silent.connections;
        const std::uint64_t from = now_us();
        if (test_support::closed_without_data(pipe.get())) {
            ++silent.dropped_without_data;
            silent.held_us.push_back(now_us() - from);
        }
    }
    return silent;
}

std::string figure_text(const std::optional<SIZE_T>& value, DWORD error, SIZE_T unit) {
    if (!value) {
        return "unavailable (error " + std::to_string(error) + ")";
    }
    return std::to_string(*value / unit);
}

void print_figures(const std::string& label, const ProcessFigures& f) {
    print_line(label + ": GetProcessHandleCount " + figure_text(f.handles, f.handles_error, 1) +
               ", handle table entries " + figure_text(f.table_handles, 0, 1) + ", PrivateUsage " +
               figure_text(f.private_bytes, f.memory_error, 1024) + " KiB, WorkingSetSize " +
               figure_text(f.working_set, f.memory_error, 1024) + " KiB");
}

bool settle_and_idle() {
    const std::optional<std::string> stopped = test_support::request(R"({"op":"stop"})");
    Sleep(500);
    return stopped == STOPPED;
}

// One client alone, before the load: the service's own time for each kind, without
// waiting for the pipe.
bool alone() {
    struct Sample {
        const char* name;
        std::string body;
        std::string expected;
        int count;
    };
    const Sample samples[] = {
        {"ping", R"({"op":"ping"})", std::string(PONG), 500},
        {"status", R"({"op":"status"})", std::string(STATUS_IDLE), 200},
        {"malformed", "{}", bad_request_answer("missing field `op` at line 1 column 2"), 200},
        {"start", start_request("mode: rule\n"), std::string(STARTED), 50},
    };
    std::string line = "one client alone first:";
    for (const Sample& sample : samples) {
        std::vector<std::uint64_t> took, stops;
        for (int i = 0; i < sample.count; ++i) {
            const std::uint64_t from = now_us();
            const std::optional<std::string> answer = test_support::request(sample.body);
            took.push_back(now_us() - from);
            if (answer != sample.expected) {
                print_line(std::string("load: one client alone: ") + sample.name + " answered " +
                           answer.value_or("nothing"));
                return false;
            }
            if (sample.expected == STARTED) {
                const std::uint64_t stop_from = now_us();
                if (test_support::request(R"({"op":"stop"})") != STOPPED) {
                    print_line("load: one client alone: stop not answered stopped");
                    return false;
                }
                stops.push_back(now_us() - stop_from);
            }
        }
        line += std::string(" ") + sample.name + " p50 " + millis(quantile(took, 0.5)) + " p99 " +
                millis(quantile(took, 0.99)) + ",";
        if (!stops.empty()) {
            line += " stop of a running core p50 " + millis(quantile(stops, 0.5)) + " p99 " +
                    millis(quantile(stops, 0.99)) + ",";
        }
    }
    line.pop_back();
    print_line(line);
    return true;
}

int number_argument(int argc, char** argv, int at, int fallback) {
    return argc > at ? std::atoi(argv[at]) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const int clients = number_argument(argc, argv, 1, 16);
    const int requests = number_argument(argc, argv, 2, 1000);
    const int silent_count = number_argument(argc, argv, 3, 8);

    const std::optional<SERVICE_STATUS_PROCESS> service = query_service();
    if (!service || service->dwCurrentState != SERVICE_RUNNING) {
        print_line("load: the service is not running");
        return 1;
    }
    const DWORD pid = service->dwProcessId;
    if (!settle_and_idle()) {
        print_line("load: the service does not answer stop");
        return 1;
    }
    print_line("load: " + std::to_string(clients) + " clients at once, " +
               std::to_string(requests) + " requests each, while " + std::to_string(silent_count) +
               " silent clients each hold one of the pipe's 32 instances throughout (dropped at "
               "their 10 s bound, they connect again)");
    if (!alone() || !settle_and_idle()) {
        return 1;
    }
    const ProcessFigures before = process_figures(pid);

    const std::string start_body = start_request("mode: rule\n");
    Shared shared;
    std::atomic<bool> load_done{false};
    std::atomic<int> silent_ready{0};
    std::vector<Silent> silents(static_cast<size_t>(silent_count));
    std::vector<std::thread> silent_threads;
    for (int s = 0; s < silent_count; ++s) {
        silent_threads.emplace_back(
            [&, s] { silents[static_cast<size_t>(s)] = silent_client(load_done, silent_ready); });
    }
    // The silent clients connect first: the whole load is served beside them.
    while (silent_ready.load() < silent_count) {
        Sleep(5);
    }
    const std::uint64_t began = now_us();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] { client(c, requests, start_body, shared); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const std::uint64_t wall_us = now_us() - began;
    // Their last connections end at their bound.
    load_done.store(true);
    for (std::thread& t : silent_threads) {
        t.join();
    }

    const bool idle_after = settle_and_idle();
    const std::optional<SERVICE_STATUS_PROCESS> after_service = query_service();
    const bool same_process = after_service && after_service->dwProcessId == pid &&
                              after_service->dwCurrentState == SERVICE_RUNNING;
    const ProcessFigures after = process_figures(pid);

    Tally& total = shared.total;
    std::uint64_t sent = 0, well_formed = 0, answered = 0, wrong = 0, lost = 0;
    std::vector<std::uint64_t> all_latency;
    std::string mix;
    for (int k = 0; k < KIND_COUNT; ++k) {
        sent += total.sent[k];
        mix += std::string(mix.empty() ? "" : ", ") + KINDS[k].name + " " +
               std::to_string(total.sent[k]);
        if (k == BAD_FRAME) {
            continue;
        }
        well_formed += total.sent[k];
        answered += total.answered[k];
        wrong += total.wrong[k];
        lost += total.lost[k];
        all_latency.insert(all_latency.end(), total.latency_us[k].begin(),
                           total.latency_us[k].end());
    }
    print_line("requests sent: " + std::to_string(sent) + " (" + mix + ")");
    print_line("well-formed requests (malformed bodies included): " + std::to_string(well_formed) +
               ", answered exactly: " + std::to_string(answered) +
               ", wrong answers: " + std::to_string(wrong) +
               " (must be 0), lost: " + std::to_string(lost) + " (must be 0)");
    print_line("status answers: " + std::to_string(total.status_running) + " running, " +
               std::to_string(total.answered[STATUS] - total.status_running) + " not running");
    print_line("bad frames sent: " + std::to_string(total.sent[BAD_FRAME]) +
               ", closed without an answer: " + std::to_string(total.answered[BAD_FRAME]) +
               ", answered: " + std::to_string(total.wrong[BAD_FRAME]) +
               " (must be 0), not delivered: " + std::to_string(total.lost[BAD_FRAME]) +
               " (must be 0)");
    for (const auto& [error, count] : total.open_errors) {
        print_line("  pipe not opened in time, error " + std::to_string(error) + ": " +
                   std::to_string(count));
    }
    for (const std::string& answer : total.wrong_answers) {
        print_line("  wrong answer: " + answer);
    }

    int silent_connections = 0, silent_dropped = 0, silent_open_failed = 0;
    std::vector<std::uint64_t> held;
    for (const Silent& s : silents) {
        silent_connections += s.connections;
        silent_dropped += s.dropped_without_data;
        silent_open_failed += s.open_failed ? 1 : 0;
        held.insert(held.end(), s.held_us.begin(), s.held_us.end());
    }
    std::string held_text;
    if (!held.empty()) {
        held_text =
            ", each held " + millis(quantile(held, 0.0)) + " to " + millis(quantile(held, 1.0));
    }
    print_line("silent clients: " + std::to_string(silent_count) + ", their connections " +
               std::to_string(silent_connections) + ", dropped without data " +
               std::to_string(silent_dropped) + held_text + ", not opened in time " +
               std::to_string(silent_open_failed) + " (must be 0)");

    const std::uint64_t p50 = quantile(all_latency, 0.50);
    const std::uint64_t p99 = quantile(all_latency, 0.99);
    const std::uint64_t worst = quantile(all_latency, 1.0);
    print_line("latency, connect attempt to whole answer, waiting for the pipe included: p50 " +
               millis(p50) + ", p99 " + millis(p99) + ", max " + millis(worst));
    for (int k = 0; k < KIND_COUNT; ++k) {
        if (k == BAD_FRAME) {
            continue;
        }
        std::vector<std::uint64_t>& samples = total.latency_us[k];
        char line[160];
        std::snprintf(line, sizeof line, "  %-9s p50 %10s  p99 %10s  max %10s", KINDS[k].name,
                      millis(quantile(samples, 0.50)).c_str(),
                      millis(quantile(samples, 0.99)).c_str(),
                      millis(quantile(samples, 1.0)).c_str());
        print_line(line);
    }
    char rate[96];
    std::snprintf(rate, sizeof rate, "wall time %.1f s, %.0f requests/s",
                  static_cast<double>(wall_us) / 1e6,
                  static_cast<double>(sent) * 1e6 / static_cast<double>(wall_us));
    print_line(rate);

    print_line("service process " + std::to_string(pid) +
               (same_process ? " (the same before and after)" : " (NOT the same after)") +
               ", idle before and after the load; figures taken after a stop and 0.5 s:");
    print_figures("  before", before);
    print_figures("  after ", after);
    // The same calls on this process, to tell a figure Wine does not fill from a real 0.
    print_figures("  (this load process, for comparison)", process_figures(GetCurrentProcessId()));

    const bool failed = wrong > 0 || lost > 0 || total.wrong[BAD_FRAME] > 0 ||
                        total.lost[BAD_FRAME] > 0 || silent_dropped != silent_connections ||
                        silent_open_failed > 0 || silent_connections < silent_count ||
                        !same_process || !idle_after;
    return failed ? 1 : 0;
}
