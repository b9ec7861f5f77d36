// Starting and stopping the core through the service, against a bare program doing the
// same platform work, both measured in this run with the same stand-in core.
//
// Start: the service's "start" until its "started" answer, with a 64 KiB configuration
// and with the largest one that fits in a frame (1 MiB less the request around it).
// The bare launch creates the work folder, writes config.yaml, compares the WinTUN
// library's size with its copy (copying it when they differ), finds the core, and
// creates it suspended with the null device as its standard streams, in a new
// kill-on-close job, then lets it run.
// Stop: the service's "stop" of a core that has come up, until "stopped", against a
// bare TerminateProcess and wait.
//
// usage: launch_bench INSTALL_DIR
// INSTALL_DIR is the service's install folder, with the stand-in core and WinTUN
// library. The installed service must be running.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "win/utf.h"

namespace {

using namespace korvan::bench;
using korvan::win::UniqueHandle;

constexpr int ROUNDS = 20;
constexpr char STARTED[] = R"({"ok":"started","mixed_port":7890,"ctl_port":9090})";
constexpr size_t MAX_FRAME_LEN = 1'048'576;
constexpr wchar_t CORE[] = L"mihomo-x86_64-pc-windows-msvc.exe";

std::wstring temp_dir() {
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, path);
    return std::wstring(path, length);
}

std::string json_escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return out;
}

// A configuration that names the record the stand-in core writes once it runs, padded
// with comment lines to `size` bytes, and the start request that carries it.
struct Config {
    std::string text;
    std::string frame;
};

Config config_of(size_t size, const std::wstring& record) {
    Config config;
    config.text = "fake-core: record " + korvan::win::narrow(record) + "\nmode: rule\n";
    const std::string line = "# " + std::string(1021, 'x') + "\n";
    while (config.text.size() + line.size() <= size) {
        config.text += line;
    }
    config.text += "#" + std::string(size - config.text.size() - 2, 'y') + "\n";
    config.frame = framed(R"({"op":"start","config_yaml":")" + json_escaped(config.text) +
                          R"(","secret":"0123456789abcdef","mixed_port":7890,"ctl_port":9090})");
    return config;
}

// The largest configuration whose start request still fits in one frame.
Config largest_config(const std::wstring& record) {
    size_t size = MAX_FRAME_LEN;
    Config config = config_of(size, record);
    while (config.frame.size() - 4 > MAX_FRAME_LEN) {
        size -= config.frame.size() - 4 - MAX_FRAME_LEN;
        config = config_of(size, record);
    }
    return config;
}

// Waits until the stand-in core has written its record, so that the next measurement
// does not share the machine with a core still starting.
bool core_came_up(const std::wstring& record) {
    for (int waited = 0; waited < 30'000; waited += 2) {
        if (GetFileAttributesW(record.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return true;
        }
        Sleep(2);
    }
    return false;
}

std::optional<std::uint64_t> size_of(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

UniqueHandle null_device(DWORD access) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    return UniqueHandle(CreateFileW(L"\\\\.\\NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inheritable, OPEN_EXISTING, 0, nullptr));
}

struct BareCore {
    korvan::win::UniqueProcess process;
    UniqueHandle job;
};

// The launch's platform work, written out plainly.
std::optional<BareCore> bare_launch(const std::wstring& install, const std::wstring& root,
                                    const std::string& config) {
    const std::wstring parent = root + L"\\KorvanVPN";
    const std::wstring work = parent + L"\\service";
    for (const std::wstring& folder : {parent, work}) {
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return std::nullopt;
        }
    }
    const std::wstring config_path = work + L"\\config.yaml";
    {
        UniqueHandle file(CreateFileW(config_path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file ||
            !WriteFile(file.get(), config.data(), static_cast<DWORD>(config.size()), &written,
                       nullptr) ||
            written != config.size()) {
            return std::nullopt;
        }
    }
    const std::wstring source = install + L"\\wintun-x86_64.dll";
    const std::wstring copy = work + L"\\wintun.dll";
    const std::optional<std::uint64_t> source_size = size_of(source);
    if (!source_size ||
        (size_of(copy) != source_size &&
         !CopyFileExW(source.c_str(), copy.c_str(), nullptr, nullptr, nullptr, 0))) {
        return std::nullopt;
    }
    const std::wstring core = install + L"\\" + CORE;
    if (!size_of(core)) {
        return std::nullopt;
    }
    UniqueHandle input = null_device(GENERIC_READ);
    UniqueHandle output = null_device(GENERIC_WRITE);
    UniqueHandle error_output = null_device(GENERIC_WRITE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = output.get();
    startup.hStdError = error_output.get();
    std::wstring command = L"\"" + core + L"\" -d " + work + L" -f " + config_path;
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(core.c_str(), command.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, nullptr,
                        work.c_str(), &startup, &created)) {
        return std::nullopt;
    }
    BareCore launched{{UniqueHandle(created.hProcess), UniqueHandle(created.hThread)}, {}};
    launched.job.reset(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!launched.job ||
        !SetInformationJobObject(launched.job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits) ||
        !AssignProcessToJobObject(launched.job.get(), created.hProcess) ||
        ResumeThread(created.hThread) == static_cast<DWORD>(-1)) {
        TerminateProcess(created.hProcess, 1);
        return std::nullopt;
    }
    return launched;
}

void bare_stop(BareCore& core) {
    TerminateProcess(core.process.process.get(), 1);
    WaitForSingleObject(core.process.process.get(), INFINITE);
    core.process = {};
    core.job.reset();
}

struct Samples {
    std::vector<double> service_start, bare_start, echo_carry;
    std::vector<double> service_stop, bare_stop, service_ping;
};

bool measure(const std::wstring& install, const std::wstring& root, const std::wstring& record,
             const Config& config, Samples& samples) {
    const std::string stop = framed(STOP);
    for (int round = 0; round < ROUNDS + 1; ++round) {
        // The first round of each side only warms up (and copies the WinTUN library).
        const bool keep = round > 0;
        DeleteFileW(record.c_str());
        double start = now_us();
        const std::optional<std::string> started = round_trip(SERVICE_PIPE, config.frame);
        double took = now_us() - start;
        if (started != STARTED || !core_came_up(record)) {
            std::fprintf(stderr, "launch_bench: the service's start: %s\n",
                         started ? started->c_str() : "(no answer)");
            return false;
        }
        if (keep) {
            samples.service_start.push_back(took);
        }
        start = now_us();
        const std::optional<std::string> stopped = round_trip(SERVICE_PIPE, stop);
        took = now_us() - start;
        if (stopped != STOPPED) {
            std::fputs("launch_bench: the service did not stop its core\n", stderr);
            return false;
        }
        if (keep) {
            samples.service_stop.push_back(took);
        }

        // What carrying the same request over the pipe costs the bare echo server, and
        // what a plain round trip to the service costs.
        start = now_us();
        const std::optional<std::string> echoed = round_trip(ECHO_PIPE, config.frame);
        took = now_us() - start;
        if (echoed != PONG) {
            std::fputs("launch_bench: the echo server did not answer\n", stderr);
            return false;
        }
        if (keep) {
            samples.echo_carry.push_back(took);
        }
        start = now_us();
        const std::optional<std::string> pong = round_trip(SERVICE_PIPE, framed(PING));
        took = now_us() - start;
        if (pong != PONG) {
            std::fputs("launch_bench: the service did not answer a ping\n", stderr);
            return false;
        }
        if (keep) {
            samples.service_ping.push_back(took);
        }

        DeleteFileW(record.c_str());
        start = now_us();
        std::optional<BareCore> core = bare_launch(install, root, config.text);
        took = now_us() - start;
        if (!core || !core_came_up(record)) {
            std::fprintf(stderr, "launch_bench: the bare launch failed (error %lu)\n",
                         GetLastError());
            return false;
        }
        if (keep) {
            samples.bare_start.push_back(took);
        }
        start = now_us();
        bare_stop(*core);
        took = now_us() - start;
        if (keep) {
            samples.bare_stop.push_back(took);
        }
    }
    return true;
}

void print(const char* label, const char* side, const Summary& s) {
    say("  %-8s %-8s %8.2f %8.2f %8.2f\n", label, side, s.median / 1000, s.mean / 1000,
        s.max / 1000);
}

// The service against the bare side, then the part of the difference that a plain
// round trip carrying the same bytes explains: the service against bare plus that.
void compare(const char* label, const std::vector<double>& service, const std::vector<double>& bare,
             const char* pipe_label, const std::vector<double>& pipe) {
    const Summary a = summarize(service);
    const Summary b = summarize(bare);
    const Summary c = summarize(pipe);
    print(label, "service", a);
    print(label, "bare", b);
    say("  %-8s %-8s %8.2f %8.2f %8.2f\n", label, "ratio", a.median / b.median, a.mean / b.mean,
        a.max / b.max);
    print(label, pipe_label, c);
    say("  %-8s %-8s %8.2f %8.2f\n", label, "ratio+rt", a.median / (b.median + c.median),
        a.mean / (b.mean + c.mean));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: launch_bench INSTALL_DIR\n", stderr);
        return 2;
    }
    const std::wstring install = korvan::win::widen(argv[1]);
    const std::wstring root = temp_dir() + L"korvan-bench-launch";
    const std::wstring record = temp_dir() + L"korvan-bench-core-record.txt";
    CreateDirectoryW(root.c_str(), nullptr);
    std::optional<Child> echo = start_echo_server();
    if (!echo) {
        std::fputs("launch_bench: the echo server did not start\n", stderr);
        return 1;
    }
    if (round_trip(SERVICE_PIPE, framed(STOP)) != STOPPED) {
        std::fputs("launch_bench: the service does not answer\n", stderr);
        return 1;
    }
    const Config configs[] = {config_of(64 * 1024, record), largest_config(record)};
    Samples all_stops;
    say("launch: Start until \"started\", against the bare launch (%d each, interleaved), ms\n",
        ROUNDS);
    say("  %-8s %-8s %8s %8s %8s\n", "config", "side", "median", "mean", "max");
    for (const Config& config : configs) {
        Samples samples;
        if (!measure(install, root, record, config, samples)) {
            return 1;
        }
        char label[32];
        std::snprintf(label, sizeof label, "%zu", config.text.size());
        compare(label, samples.service_start, samples.bare_start, "echo", samples.echo_carry);
        all_stops.service_stop.insert(all_stops.service_stop.end(), samples.service_stop.begin(),
                                      samples.service_stop.end());
        all_stops.bare_stop.insert(all_stops.bare_stop.end(), samples.bare_stop.begin(),
                                   samples.bare_stop.end());
        all_stops.service_ping.insert(all_stops.service_ping.end(), samples.service_ping.begin(),
                                      samples.service_ping.end());
    }
    say("  (config: bytes of config.yaml; the request around the larger one fills a whole "
        "frame)\n");
    say("\nstop: Stop of a running core until \"stopped\", against a bare terminate-and-wait "
        "(%d each), ms\n",
        2 * ROUNDS);
    say("  %-8s %-8s %8s %8s %8s\n", "", "side", "median", "mean", "max");
    compare("stop", all_stops.service_stop, all_stops.bare_stop, "ping", all_stops.service_ping);
    say("  (echo: the same start request to the bare echo server; ping: a ping to the service;\n"
        "   ratio+rt: the service against the bare side plus that round trip)\n");
    DeleteFileW(record.c_str());
    return 0;
}
