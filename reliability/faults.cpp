// Faults against the installed service, one line each with what was observed:
//   - its core killed from outside;
//   - the service process killed, then the service uninstalled and installed again;
//   - a service stop while clients keep sending requests.
// The service is left stopped (still registered).
//
// usage: faults INSTALL_FOLDER
// INSTALL_FOLDER holds korvan-vpn-service.exe and the stand-in core; the core's records
// are written there. Exit code 1 when a fault was not handled as it should be.

#include <windows.h>

#include <atomic>
#include <cstdio>
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

// The service's bound on one client's exchange.
constexpr DWORD EXCHANGE_BOUND_MS = 10'000;

struct Check {
    bool passed = true;
    std::vector<std::string> seen;

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
    // Nobody serves the pipe now: a short wait for it is enough.
    win::UniqueHandle gone = test_support::open_pipe(1000);
    check.expect(!gone.valid(), gone ? "the pipe still opens" : "the pipe is gone");

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

// Requests of every well-formed kind until `until` is set; answers must be exact, and
// requests the stopping service no longer takes are counted apart.
struct Traffic {
    std::atomic<std::uint64_t> answered{0};
    std::atomic<std::uint64_t> wrong{0};
    std::atomic<std::uint64_t> unanswered{0};
};

void keep_sending(int index, const std::atomic<bool>& until, Traffic& traffic) {
    const std::string kinds[] = {R"({"op":"ping"})", R"({"op":"status"})",
                                 start_request("mode: rule\n"), R"({"op":"stop"})"};
    for (int i = index; !until.load(); ++i) {
        const std::string& body = kinds[i % 4];
        win::UniqueHandle pipe = test_support::open_pipe(500);
        std::optional<std::string> answer;
        if (pipe && test_support::send_bytes(pipe.get(), test_support::framed(body))) {
            answer = test_support::read_response(pipe.get());
        }
        if (!answer) {
            ++traffic.unanswered;
            continue;
        }
        const bool exact = (i % 4 == 0 && *answer == PONG) ||
                           (i % 4 == 1 && (*answer == STATUS_IDLE || *answer == STATUS_RUNNING)) ||
                           (i % 4 == 2 && *answer == STARTED) || (i % 4 == 3 && *answer == STOPPED);
        ++(exact ? traffic.answered : traffic.wrong);
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
    const std::uint64_t answered_before_stop = traffic.answered.load();

    win::UniqueServiceHandle handle = test_support::open_installed_service(SERVICE_STOP);
    SERVICE_STATUS status{};
    const std::uint64_t asked_at = now_us();
    const bool asked = handle && ControlService(handle.get(), SERVICE_CONTROL_STOP, &status);
    const bool stopped = asked && wait_for_service_state(SERVICE_STOPPED, 30'000);
    const std::uint64_t took = now_us() - asked_at;
    check.expect(stopped && took <= EXCHANGE_BOUND_MS * 1000ull,
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
    check.expect(traffic.wrong.load() == 0,
                 "answers during the run: " + std::to_string(traffic.answered.load()) + " exact, " +
                     std::to_string(traffic.wrong.load()) + " wrong, " +
                     std::to_string(traffic.unanswered.load()) +
                     " requests not taken once stopping");
    print_outcome("service stop during load", check);
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
