// Decoder throughput against nlohmann::json::parse and memcpy of the same bytes,
// measured in one run, and the decoder's peak memory against the body size.
//
// usage: decode_bench [--plot-data FILE] [BODY_FILE]
// Without a body file it builds a realistic start request of at most 1 MiB: a YAML
// configuration with quotes, backslashes, line feeds and non-ASCII names; it then also
// times one decode of such requests of about 1 KiB, 64 KiB and 1 MiB, against
// nlohmann::json::parse, to show the time growing linearly with the size. FILE
// receives that table: size, decode_request and nlohmann::json::parse microseconds
// per body, and the decoder's time at 1 MiB scaled linearly to the size.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "proto/decode.h"

namespace {

size_t g_live = 0;
size_t g_peak = 0;

}  // namespace

void* operator new(size_t n) {
    g_live += n;
    g_peak = g_live > g_peak ? g_live : g_peak;
    void* p = std::malloc(n + sizeof(size_t));
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<size_t*>(p) = n;
    return static_cast<size_t*>(p) + 1;
}

void operator delete(void* p) noexcept {
    if (p != nullptr) {
        size_t* base = static_cast<size_t*>(p) - 1;
        g_live -= *base;
        std::free(base);
    }
}

void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}

namespace {

using korvan::proto::decode_request;

std::string json_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The largest start request of at most `body_size` bytes whose configuration is shaped
// like a real one: a few hundred proxies with quoted, non-ASCII names (some with
// escaped quotes, passwords with backslashes, Windows paths), their groups, and
// thousands of rule lines naming those groups.
std::string start_request(size_t body_size) {
    std::string proxies =
        "mixed-port: 7890\nallow-lan: false\nmode: rule\nlog-level: info\n"
        "tun:\n  enable: true\n  stack: system\n  dns-hijack: [\"any:53\"]\nproxies:\n";
    std::string rules = "rules:\n";
    std::string body;
    for (int i = 0;; ++i) {
        const std::string n = std::to_string(i);
        if (i % 10 == 0) {
            proxies += "  - name: \"\xF0\x9F\x87\xAD\xF0\x9F\x87\xB0 \xE9\xA6\x99\xE6\xB8\xAF " +
                       n + " \\\"HK\\\"\"\n    type: ss\n    server: hk" + n +
                       ".example.net\n    port: 443\n    cipher: aes-256-gcm\n"
                       "    password: \"p\\\\ss-" +
                       std::to_string(i * 7919) +
                       "\"\n"
                       "    plugin-opts: {mode: websocket, path: \"C:\\\\proxy\\\\ws\"}\n";
        }
        rules += "  - DOMAIN-SUFFIX,site" + n +
                 ".example.com,\xF0\x9F\x9A\x80 \xE8\x8A\x82\xE7\x82\xB9\xE9\x80\x89\xE6\x8B\xA9\n"
                 "  - IP-CIDR,10." +
                 std::to_string(i % 256) + ".0.0/16,DIRECT,no-resolve\n";
        const std::string yaml = proxies +
                                 "proxy-groups:\n  - name: \"\xF0\x9F\x9A\x80 "
                                 "\xE8\x8A\x82\xE7\x82\xB9\xE9\x80\x89\xE6\x8B\xA9\"\n"
                                 "    type: select\n    proxies: [DIRECT]\n" +
                                 rules;
        // Escaping adds less than a 64th (and a short body less than 512 bytes): from
        // there on every line is tried, and the body returned is the last that fits.
        if (i % 256 == 0 ||
            yaml.size() + 200 + std::max(body_size / 64, size_t{512}) >= body_size) {
            std::string next =
                R"({"op":"start","config_yaml":")" + json_escape(yaml) +
                R"(","secret":"0123456789abcdef","mixed_port":7890,"ctl_port":9090})";
            if (next.size() > body_size) {
                return body.empty() ? next : body;
            }
            body = std::move(next);
        }
    }
}

template <class F>
double megabytes_per_second(const std::string& body, F&& run,
                            std::chrono::milliseconds window = std::chrono::milliseconds(1500)) {
    using clock = std::chrono::steady_clock;
    size_t rounds = 0;
    const auto start = clock::now();
    auto elapsed = clock::duration::zero();
    do {
        run();
        ++rounds;
        elapsed = clock::now() - start;
    } while (elapsed < window);
    const double seconds = std::chrono::duration<double>(elapsed).count();
    return static_cast<double>(body.size()) * static_cast<double>(rounds) / seconds / 1e6;
}

// Two throughputs on the same body, taken in alternating short windows and each the
// median of its windows, so that load from elsewhere on the machine falls on both
// alike and a burst of it does not decide the ratio.
struct Pair {
    double first;
    double second;
};

template <class F, class G>
Pair alternating(const std::string& body, F&& first, G&& second) {
    constexpr int WINDOWS = 9;
    constexpr std::chrono::milliseconds WINDOW(200);
    std::vector<double> a, b;
    for (int i = 0; i < WINDOWS; ++i) {
        a.push_back(megabytes_per_second(body, first, WINDOW));
        b.push_back(megabytes_per_second(body, second, WINDOW));
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return {a[WINDOWS / 2], b[WINDOWS / 2]};
}

std::span<const std::uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Microseconds per decode of bodies of growing size, decode_request against
// nlohmann::json::parse.
void by_size(const char* plot_data) {
    struct Row {
        size_t size;
        double ours_us;
        double theirs_us;
    };
    std::vector<Row> rows;
    volatile size_t sink = 0;
    for (size_t size : {size_t{1} << 10, size_t{64} << 10, size_t{1} << 20}) {
        const std::string b = start_request(size);
        const auto [ours, theirs] = alternating(
            b,
            [&] {
                auto r = decode_request(bytes_of(b));
                sink = sink + r.ok();
            },
            [&] {
                auto doc = nlohmann::json::parse(b, nullptr, false);
                sink = sink + doc.size();
            });
        const double bytes = static_cast<double>(b.size());
        rows.push_back({b.size(), bytes / ours, bytes / theirs});
    }
    const Row& largest = rows.back();
    std::printf("time per decode against the body size:\n");
    std::printf("  %9s %14s %9s %16s %9s %11s\n", "body", "decode_request", "ns/byte",
                "nlohmann::parse", "ns/byte", "nlohmann/us");
    for (const Row& row : rows) {
        const double size = static_cast<double>(row.size);
        std::printf("  %9zu %11.1f us %9.2f %13.1f us %9.2f %10.1fx\n", row.size, row.ours_us,
                    row.ours_us * 1000 / size, row.theirs_us, row.theirs_us * 1000 / size,
                    row.theirs_us / row.ours_us);
    }
    if (plot_data == nullptr) {
        return;
    }
    FILE* out = std::fopen(plot_data, "w");
    if (out == nullptr) {
        std::fprintf(stderr, "decode_bench: cannot write %s\n", plot_data);
        return;
    }
    std::fputs("# body_bytes decode_request_us nlohmann_us linear_us\n", out);
    for (const Row& row : rows) {
        std::fprintf(
            out, "%zu %.3f %.3f %.3f\n", row.size, row.ours_us, row.theirs_us,
            largest.ours_us * static_cast<double>(row.size) / static_cast<double>(largest.size));
    }
    std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
    const char* plot_data = nullptr;
    if (argc > 2 && std::strcmp(argv[1], "--plot-data") == 0) {
        plot_data = argv[2];
        argv += 2;
        argc -= 2;
    }
    std::string body;
    if (argc > 1) {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "decode_bench: cannot read %s\n", argv[1]);
            return 1;
        }
        body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        body = start_request(1 << 20);
    }
    const auto first = decode_request(bytes_of(body));
    std::printf("body: %zu bytes, %s\n", body.size(),
                first.ok() ? "decodes" : ("fault: " + first.error().substr(0, 200)).c_str());

    std::vector<char> copy(body.size());
    volatile size_t sink = 0;
    const auto [ours, theirs] = alternating(
        body,
        [&] {
            auto r = decode_request(bytes_of(body));
            sink = sink + r.ok();
        },
        [&] {
            auto doc = nlohmann::json::parse(body, nullptr, false);
            sink = sink + doc.size();
        });
    const double baseline = megabytes_per_second(body, [&] {
        std::memcpy(copy.data(), body.data(), body.size());
        sink = sink + static_cast<unsigned char>(copy[body.size() / 2]);
    });
    std::printf("decode_request        %9.1f MB/s\n", ours);
    std::printf("nlohmann::json::parse %9.1f MB/s\n", theirs);
    std::printf("memcpy                %9.1f MB/s\n", baseline);
    std::printf("decode_request / nlohmann: %.1fx\n", ours / theirs);
    std::printf("decode_request / memcpy:   %.3f\n", ours / baseline);

    if (argc == 1) {
        std::printf("peak memory of one decode, against the body size:\n");
        for (size_t size :
             {size_t{128} << 10, size_t{256} << 10, size_t{512} << 10, size_t{1} << 20}) {
            const std::string b = start_request(size);
            g_peak = g_live;
            const size_t before = g_live;
            auto r = decode_request(bytes_of(b));
            std::printf("  body %8zu bytes: peak %8zu bytes (%.2f per body byte)\n", b.size(),
                        g_peak - before,
                        static_cast<double>(g_peak - before) / static_cast<double>(b.size()));
            sink = sink + r.ok();
        }
        by_size(plot_data);
    }
    return 0;
}
