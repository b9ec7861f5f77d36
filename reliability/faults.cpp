// Faults against the installed service, one line each with what was observed:
//   - its core killed from outside;
//   - the service process killed, then (on Windows, once the Service Control Manager
//     has started it again through its failure actions) the service uninstalled and
//     installed again;
//   - a service stop while clients keep sending requests: each gets its exact answer, or
//     what the stop may do to a request in flight; every other outcome is printed.
// The service is left stopped (still registered).
//
// usage: faults INSTALL_FOLDER
// INSTALL_FOLDER holds korvan-vpn-service.exe and the stand-in core; the core's records
// are written there. Exit code 1 when a fault was not handled as it should be.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reliability/service_probe.h"
#include "support/pipe_client.h"
#include "support/process_run.h"
#include "win/utf.h"

namespace {

using namespace korvan;
using namespace korvan::reliability;
using test_support::request;

// A generous bound on the stop: it ends every wait of the pipe at once, and gives the
// core 5 s to end.
constexpr DWORD STOP_BOUND_MS = 10'000;

struct Check {
    bool passed = true;
    std::vector<std::string> seen;

    void note(const std::string& what) { seen.push_back(what); }
    void expect(bool ok, const std::string& what) {
        seen.push_back(what + (ok ? "" : " [NOT AS EXPECTED]"));
        passed = passed && ok;
    }
    std::string text() const {
        std::string out;
        for (const std::string& s : seen) {
            out += (out.empty() ? "" : "; ") + s;
        }
        return out;
    }
};

std::string answer_text(const std::optional<std::string>& answer) {
    return answer ? *answer : std::string("(no answer)");
}

void print_outcome(const std::string& name, const Check& check) {
    print_line(name + ": " + (check.passed ? "ok" : "FAILED") + " - " + check.text());
}

// Starts a core that records itself at `record`, and opens it.
win::UniqueHandle start_recorded_core(const std::wstring& record, Check& check) {
    DeleteFileW(record.c_str());
    const std::optional<std::string> started = request(start_request(recording_config(record)));
    check.expect(started == STARTED, "start answered " + answer_text(started));
    const std::optional<DWORD> pid = recorded_pid(record, 10'000);
    if (!pid) {
        check.expect(false, "no core record");
        return {};
    }
    win::UniqueHandle core(OpenProcess(
        PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, *pid));
    check.expect(core.valid(), "core " + std::to_string(*pid) + " running");
    return core;
}

bool core_killed_from_outside(const std::wstring& folder) {
    Check check;
    const win::UniqueHandle core = start_recorded_core(folder + L"\\fault-core-record.txt", check);
    if (core) {
        check.expect(
            TerminateProcess(core.get(), 9) != FALSE && exit_code_after(core.get(), 10'000) == 9u,
            "killed with exit code 9");
    }
    const std::optional<std::string> status = request(R"({"op":"status"})");
    check.expect(status == STATUS_IDLE, "status " + answer_text(status));
    const std::optional<std::string> stopped = request(R"({"op":"stop"})");
    check.expect(stopped == STOPPED, "stop " + answer_text(stopped));
    const std::optional<std::string> started = request(start_request("mode: rule\n"));
    check.expect(started == STARTED, "start " + answer_text(started));
    const std::optional<std::string> running = request(R"({"op":"status"})");
    check.expect(running == STATUS_RUNNING, "status " + answer_text(running));
    const std::optional<std::string> stopped_again = request(R"({"op":"stop"})");
    check.expect(stopped_again == STOPPED, "stop " + answer_text(stopped_again));
    print_outcome("core killed from outside", check);
    return check.passed;
}

std::string run_line(const std::wstring& exe, const wchar_t* verb, Check& check,
                     const std::string& expected) {
    const std::optional<test_support::Ran> ran =
        test_support::run(L"\"" + exe + L"\" " + verb, {}, 60'000);
    std::string shown = ran ? ran->out + ran->err : std::string("(did not run)");
    while (!shown.empty() && shown.back() == '\n') {
        shown.pop_back();
    }
    check.expect(ran && ran->exit_code == 0 && ran->out == expected + "\n",
                 win::narrow(verb) + ": \"" + shown + "\"");
    return shown;
}

// The process the service runs in again, other than `killed`, once it does within a
// bound well past the failure actions' first delay of 5 s.
std::optional<DWORD> started_again_after(DWORD killed) {
    const ULONGLONG deadline = GetTickCount64() + 30'000;
    for (;;) {
        const std::optional<SERVICE_STATUS_PROCESS> status = query_service();
        if (status && status->dwCurrentState == SERVICE_RUNNING && status->dwProcessId != 0 &&
            status->dwProcessId != killed) {
            return status->dwProcessId;
        }
        if (GetTickCount64() >= deadline) {
            return std::nullopt;
        }
        Sleep(50);
    }
}

bool service_process_killed(const std::wstring& folder) {
    Check check;
    const win::UniqueHandle core = start_recorded_core(folder + L"\\fault-core-record.txt", check);
    const std::optional<SERVICE_STATUS_PROCESS> before = query_service();
    win::UniqueHandle service;
    if (before) {
        service.reset(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                        before->dwProcessId));
    }
    const std::uint64_t killed_at = now_us();
    check.expect(service.valid() && TerminateProcess(service.get(), 7) != FALSE &&
                     exit_code_after(service.get(), 10'000) == 7u,
                 "service process killed with exit code 7");
    const std::optional<DWORD> core_exit =
        core ? exit_code_after(core.get(), 20'000) : std::nullopt;
    check.expect(core_exit.has_value(),
                 core_exit ? "core ended through its job " + millis(now_us() - killed_at) +
                                 " after the kill (exit code " + std::to_string(*core_exit) + ")"
                           : "core still running");
    // Nobody serves the pipe now, and a restart on Windows comes 5 s after the kill: a
    // short wait for it is enough.
    win::UniqueHandle gone = test_support::open_pipe(1000);
    check.expect(!gone.valid(), gone ? "the pipe still opens" : "the pipe is gone");
    gone.reset();
    if (test_support::running_under_wine()) {
        check.note(
            "no restart waited for: Wine's Service Control Manager keeps no failure "
            "actions");
    } else if (before) {
        // The install's failure actions: the Service Control Manager starts the service
        // again 5 s after the kill. It is removed once it runs again, never while that
        // restart is pending.
        const std::optional<DWORD> again = started_again_after(before->dwProcessId);
        check.expect(again.has_value(), again ? "started again by the Service Control Manager " +
                                                    millis(now_us() - killed_at) +
                                                    " after the kill, in process " +
                                                    std::to_string(*again)
                                              : "not started again within 30 s");
        const std::optional<std::string> restarted = request(R"({"op":"ping"})");
        check.expect(restarted == PONG, "ping " + answer_text(restarted));
    }

    const std::wstring exe = folder + L"\\korvan-vpn-service.exe";
    run_line(exe, L"uninstall", check, "service uninstalled");
    check.expect(wait_for_service_state(0, 20'000), "registration removed");
    run_line(exe, L"install", check, "service installed");
    const std::optional<std::string> pong = request(R"({"op":"ping"})");
    check.expect(pong == PONG, "ping " + answer_text(pong));
    const std::optional<SERVICE_STATUS_PROCESS> after = query_service();
    check.expect(after && after->dwCurrentState == SERVICE_RUNNING &&
                     (!before || after->dwProcessId != before->dwProcessId),
                 "running in a new process");
    print_outcome("service process killed", check);
    return check.passed;
}

// What one request sent around the stop came to. A start refused as stopping, a
// connection closed without an answer and a pipe without an instance are what the stop
// may do to a request in flight: it refuses starts from its first moment, ends every
// wait of the pipe at once, answers the request in hand only when its instance takes
// the answer at once, drops the requests in line, and closes the instances. Each counts
// as such only when it came once the stop control had been given. Anything else is
// wrong.
enum class Fate {
    // Its exact answer.
    Exact,
    // A start answered START_REFUSED_STOPPING.
    RefusedAsStopping,
    // The pipe had no instance to take it until the open's deadline: none left
    // (ERROR_FILE_NOT_FOUND), or none listening any more (ERROR_PIPE_BUSY).
    NotOpened,
    // Connected, and the connection closed without a byte of an answer: the write of
    // the request failed with ERROR_NO_DATA or ERROR_BROKEN_PIPE, or the read of the
    // answer with ERROR_BROKEN_PIPE.
    ClosedUnanswered,
    Wrong,
};

// One exchange with the service, keeping the error of the step that failed.
struct Sent {
    enum class Step { None, Open, Send, Read };
    std::optional<std::string> answer;
    // The step that failed when there is no answer, its error, and the bytes of an
    // answer cut short.
    Step failed_at = Step::None;
    DWORD error = ERROR_SUCCESS;
    size_t answer_bytes = 0;
};

bool read_exactly(HANDLE pipe, char* into, DWORD count, Sent& sent) {
    while (count > 0) {
        DWORD got = 0;
        if (!ReadFile(pipe, into, count, &got, nullptr) || got == 0) {
            sent.failed_at = Sent::Step::Read;
            sent.error = GetLastError();
            return false;
        }
        into += got;
        count -= got;
        sent.answer_bytes += got;
    }
    return true;
}

Sent send_request(const std::string& body) {
    Sent sent;
    DWORD error = ERROR_SUCCESS;
    win::UniqueHandle pipe = test_support::open_pipe(500, &error);
    if (!pipe) {
        sent.failed_at = Sent::Step::Open;
        sent.error = error;
        return sent;
    }
    const std::string bytes = test_support::framed(body);
    DWORD put = 0;
    if (!WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) ||
        put != bytes.size()) {
        sent.failed_at = Sent::Step::Send;
        sent.error = GetLastError();
        return sent;
    }
    unsigned char prefix[4];
    if (!read_exactly(pipe.get(), reinterpret_cast<char*>(prefix), 4, sent)) {
        return sent;
    }
    const std::uint32_t length = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) |
                                 (static_cast<std::uint32_t>(prefix[3]) << 24);
    std::string answer(length, '\0');
    if (!read_exactly(pipe.get(), answer.data(), length, sent)) {
        return sent;
    }
    sent.answer = std::move(answer);
    return sent;
}

bool no_instance(const Sent& sent) {
    return sent.failed_at == Sent::Step::Open &&
           (sent.error == ERROR_FILE_NOT_FOUND || sent.error == ERROR_PIPE_BUSY);
}

bool closed_unanswered(const Sent& sent) {
    if (sent.failed_at == Sent::Step::Send) {
        return sent.error == ERROR_NO_DATA || sent.error == ERROR_BROKEN_PIPE;
    }
    return sent.failed_at == Sent::Step::Read && sent.answer_bytes == 0 &&
           sent.error == ERROR_BROKEN_PIPE;
}

std::string sent_text(const Sent& sent) {
    if (sent.answer) {
        return "answered " + *sent.answer;
    }
    const char* const steps[] = {"", "open", "send", "read"};
    std::string text = std::string("no answer: ") + steps[static_cast<int>(sent.failed_at)] +
                       " failed with error " + std::to_string(sent.error);
    if (sent.answer_bytes > 0) {
        text += " after " + std::to_string(sent.answer_bytes) + " bytes of the answer";
    }
    return text;
}

// Requests of every well-formed kind, from several clients, until the stop.
struct Traffic {
    // When the stop control was given (now_us(), set just before ControlService); 0
    // before.
    std::atomic<std::uint64_t> stop_given_at{0};
    std::atomic<std::uint64_t> exact{0};
    std::atomic<std::uint64_t> refused_as_stopping{0};
    std::atomic<std::uint64_t> refused_sent_before_stop{0};
    std::atomic<std::uint64_t> not_opened{0};
    std::atomic<std::uint64_t> closed_unanswered{0};
    std::mutex wrong_lock;
    std::vector<std::string> wrong;
};

// Signed milliseconds from the stop control to `at`.
std::string from_stop(std::uint64_t at, std::uint64_t given) {
    char text[48];
    std::snprintf(text, sizeof text, "%+.1f ms",
                  (static_cast<double>(at) - static_cast<double>(given)) / 1000.0);
    return text;
}

// Sends until `until` is set, or until it finds the pipe without an instance once the
// stop control has been given.
void keep_sending(int index, const std::atomic<bool>& until, Traffic& traffic) {
    const char* const names[] = {"ping", "status", "start", "stop"};
    const std::string kinds[] = {R"({"op":"ping"})", R"({"op":"status"})",
                                 start_request("mode: rule\n"), R"({"op":"stop"})"};
    for (int i = index; !until.load(); ++i) {
        const int kind = i % 4;
        const std::uint64_t sent_at = now_us();
        const Sent sent = send_request(kinds[kind]);
        const std::uint64_t ended_at = now_us();
        // Read after the outcome: a stop control given by now may explain it.
        const std::uint64_t given = traffic.stop_given_at.load();
        const std::optional<std::string>& answer = sent.answer;
        Fate fate = Fate::Wrong;
        if (answer && ((kind == 0 && *answer == PONG) ||
                       (kind == 1 && (*answer == STATUS_IDLE || *answer == STATUS_RUNNING)) ||
                       (kind == 2 && *answer == STARTED) || (kind == 3 && *answer == STOPPED))) {
            fate = Fate::Exact;
        } else if (given != 0 && kind == 2 && answer == START_REFUSED_STOPPING) {
            fate = Fate::RefusedAsStopping;
        } else if (given != 0 && no_instance(sent)) {
            fate = Fate::NotOpened;
        } else if (given != 0 && closed_unanswered(sent)) {
            fate = Fate::ClosedUnanswered;
        }
        switch (fate) {
            case Fate::Exact:
                ++traffic.exact;
                break;
            case Fate::RefusedAsStopping:
                ++traffic.refused_as_stopping;
                traffic.refused_sent_before_stop += sent_at < given ? 1 : 0;
                break;
            case Fate::NotOpened:
                ++traffic.not_opened;
                return;
            case Fate::ClosedUnanswered:
                ++traffic.closed_unanswered;
                break;
            case Fate::Wrong: {
                std::string text = std::string(names[kind]) + " ";
                text += given == 0 ? "sent and ended before the stop control"
                                   : "sent at " + from_stop(sent_at, given) + ", ended at " +
                                         from_stop(ended_at, given) + " from the stop control";
                std::lock_guard<std::mutex> held(traffic.wrong_lock);
                traffic.wrong.push_back(text + ": " + sent_text(sent));
                break;
            }
        }
    }
}

bool stop_during_load() {
    Check check;
    const std::optional<std::string> started = request(start_request("mode: rule\n"));
    check.expect(started == STARTED, "a core started");
    const std::optional<SERVICE_STATUS_PROCESS> running = query_service();
    win::UniqueHandle service;
    if (running) {
        service.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                  running->dwProcessId));
    }
    check.expect(service.valid(), "service process opened");

    std::atomic<bool> until{false};
    Traffic traffic;
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c) {
        clients.emplace_back([&, c] { keep_sending(c, until, traffic); });
    }
    Sleep(2000);
    const std::uint64_t answered_before_stop = traffic.exact.load();

    win::UniqueServiceHandle handle = test_support::open_installed_service(SERVICE_STOP);
    SERVICE_STATUS status{};
    const std::uint64_t asked_at = now_us();
    traffic.stop_given_at.store(asked_at);
    const bool asked = handle && ControlService(handle.get(), SERVICE_CONTROL_STOP, &status);
    const bool stopped = asked && wait_for_service_state(SERVICE_STOPPED, 30'000);
    const std::uint64_t took = now_us() - asked_at;
    check.expect(stopped && took <= STOP_BOUND_MS * 1000ull,
                 stopped ? "stopped " + millis(took) + " after the stop control, under load of " +
                               std::to_string(answered_before_stop) + " answers in 2 s"
                         : "did not stop");
    const std::optional<DWORD> exit_code =
        service ? exit_code_after(service.get(), 20'000) : std::nullopt;
    check.expect(exit_code == 0u, exit_code
                                      ? "service process exit code " + std::to_string(*exit_code)
                                      : "service process still running");
    until.store(true);
    for (std::thread& t : clients) {
        t.join();
    }
    std::vector<DWORD> cores = processes_named(CORE_IMAGE);
    for (int waited = 0; !cores.empty() && waited < 5000; waited += 50) {
        Sleep(50);
        cores = processes_named(CORE_IMAGE);
    }
    check.expect(cores.empty(), std::to_string(cores.size()) + " core processes left");
    check.expect(
        traffic.wrong.empty(),
        "during the run: " + std::to_string(traffic.exact.load()) +
            " answered exactly; starts refused as stopping: " +
            std::to_string(traffic.refused_as_stopping.load()) + " (" +
            std::to_string(traffic.refused_sent_before_stop.load()) +
            " sent before the stop control); once stopping, connections closed "
            "without an answer: " +
            std::to_string(traffic.closed_unanswered.load()) +
            ", clients that found no instance: " + std::to_string(traffic.not_opened.load()) +
            "; wrong: " + std::to_string(traffic.wrong.size()));
    print_outcome("service stop during load", check);
    for (const std::string& wrong : traffic.wrong) {
        print_line("  wrong: " + wrong);
    }
    return check.passed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        print_line("usage: faults INSTALL_FOLDER");
        return 2;
    }
    const std::wstring folder = win::widen(argv[1]);
    const std::optional<SERVICE_STATUS_PROCESS> service = query_service();
    if (!service || service->dwCurrentState != SERVICE_RUNNING) {
        print_line("faults: the service is not running");
        return 1;
    }
    bool passed = core_killed_from_outside(folder);
    passed = service_process_killed(folder) && passed;
    passed = stop_during_load() && passed;
    return passed ? 0 : 1;
}
