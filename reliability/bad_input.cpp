// Bad input to the live service: frames of every length class, cut short at every
// point, and random bytes of random lengths, each followed by a ping that must be
// answered exactly. Prints the counts.
//
// usage: bad_input [RANDOM_CONNECTIONS [REPEATS]]    (2000 and 5 by default)
// Exit code 1 when a ping went unanswered, an answer was not the expected one, or the
// service process changed.

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "reliability/service_probe.h"
#include "support/pipe_client.h"

namespace {

using namespace korvan;
using namespace korvan::reliability;
using test_support::prefix_of;

constexpr std::uint32_t MAX_FRAME_LEN = 1'048'576;
// What a client has for its own part of an exchange.
constexpr DWORD EXCHANGE_BUDGET_MS = 10'000;
// Every length class: refused (0, over the limit, the largest), accepted (1, 13, 64 KiB
// and the limit itself).
constexpr std::uint32_t LENGTHS[] = {
    0, 1, 13, 65'536, MAX_FRAME_LEN, MAX_FRAME_LEN + 1, 0xFFFFFFFF,
};
constexpr std::string_view BAD_REQUEST_START =
    R"({"ok":"error","code":"bad_request","message":"parse: )";
// Ends the message of an error answer that was cut to fit a frame.
constexpr std::string_view CUT_MARK = " [truncated]";

// Sends `body` as one frame and returns the answer, if any.
std::optional<std::string> exchange(std::string_view body) {
    win::UniqueHandle pipe = test_support::open_pipe(30'000);
    if (!pipe || !test_support::send_bytes(pipe.get(), test_support::framed(body))) {
        return std::nullopt;
    }
    return test_support::read_response(pipe.get());
}

struct Counts {
    std::uint64_t sent = 0;
    std::uint64_t as_expected = 0;
    std::uint64_t pings = 0;
    std::uint64_t pongs = 0;
};

struct Run {
    std::mt19937 random{20260101};
    std::uint64_t pings = 0;
    std::uint64_t pongs = 0;

    std::string random_bytes(size_t count) {
        std::string bytes(count, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random() & 0xFF);
        }
        return bytes;
    }

    // Every case is followed by a ping on a connection of its own.
    void ping(Counts& counts) {
        const bool pong = exchange(R"({"op":"ping"})") == PONG;
        ++pings;
        ++counts.pings;
        pongs += pong;
        counts.pongs += pong;
    }
};

enum class Then {
    // Close at once, without reading.
    Close,
    // Read: the service must close the connection without a byte.
    NoAnswer,
    // Read: the service must answer "bad_request".
    BadRequest,
};

// Sends `bytes` on a connection of its own and does what `then` says. Writes the
// service refuses (it has closed the connection after a bad prefix) are expected and
// not counted against it.
bool send_case(std::string_view bytes, Then then) {
    win::UniqueHandle pipe = test_support::open_pipe(30'000);
    if (!pipe) {
        return false;
    }
    const bool written = test_support::send_bytes(pipe.get(), bytes);
    switch (then) {
        case Then::Close:
            return true;
        case Then::NoAnswer:
            return test_support::closed_without_data(pipe.get());
        case Then::BadRequest: {
            if (!written) {
                return false;
            }
            const std::optional<std::string> answer = test_support::read_response(pipe.get());
            return answer && answer->starts_with(BAD_REQUEST_START);
        }
    }
    return false;
}

void count_case(Run& run, Counts& counts, std::string_view bytes, Then then) {
    ++counts.sent;
    counts.as_expected += send_case(bytes, then);
    run.ping(counts);
}

std::string outcome(const Counts& c) {
    return std::to_string(c.sent) + " sent, " + std::to_string(c.as_expected) +
           " as expected, pings answered " + std::to_string(c.pongs) + "/" +
           std::to_string(c.pings);
}

bool in_range(std::uint32_t length) {
    return length >= 1 && length <= MAX_FRAME_LEN;
}

// A request whose kind is `letters` unknown letters, and the decoder's answer to it,
// which quotes them all.
std::string unknown_kind(size_t letters) {
    return R"({"op":")" + std::string(letters, 'A') + R"("})";
}
std::string unknown_kind_answer(size_t letters) {
    return bad_request_answer("unknown variant `" + std::string(letters, 'A') +
                              "`, expected one of `ping`, `status`, `start`, `stop` at line 1 "
                              "column " +
                              std::to_string(letters + 8));
}

// The number of letters whose answer is exactly MAX_FRAME_LEN bytes long.
size_t letters_for_largest_answer() {
    size_t letters = MAX_FRAME_LEN - (unknown_kind_answer(1'000'000).size() - 1'000'000);
    while (unknown_kind_answer(letters).size() > MAX_FRAME_LEN) {
        --letters;
    }
    return letters;
}

// The answer that a request of `letters` letters, one or more over the largest, gets
// instead: its message, all of it ASCII that needs no escape, cut to fill the frame
// once CUT_MARK and the closing "} follow.
std::string cut_unknown_kind_answer(size_t letters) {
    return unknown_kind_answer(letters).substr(0, MAX_FRAME_LEN - CUT_MARK.size() - 2) +
           std::string(CUT_MARK) + "\"}";
}

// A ping sent one byte every `gap_ms`: how long the service kept the connection, and
// whether it answered.
struct Trickle {
    std::uint64_t held_us = 0;
    bool answered = false;
};
Trickle trickle_ping(DWORD gap_ms) {
    Trickle trickle;
    win::UniqueHandle pipe = test_support::open_pipe(30'000);
    if (!pipe) {
        return trickle;
    }
    const std::uint64_t from = now_us();
    const std::string bytes = test_support::framed(R"({"op":"ping"})");
    bool written = true;
    for (size_t i = 0; i < bytes.size() && written; ++i) {
        Sleep(gap_ms);
        written = test_support::send_bytes(pipe.get(), bytes.substr(i, 1));
    }
    trickle.answered = written && test_support::read_response(pipe.get()).has_value();
    trickle.held_us = now_us() - from;
    return trickle;
}

}  // namespace

int main(int argc, char** argv) {
    const int random_connections = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::optional<SERVICE_STATUS_PROCESS> service = query_service();
    if (!service || service->dwCurrentState != SERVICE_RUNNING) {
        print_line("bad input: the service is not running");
        return 1;
    }
    Run run;
    bool all_expected = true;
    print_line("bad input to the live service, " + std::to_string(repeats) +
               " times each, a ping on a new connection after every case:");

    Counts short_prefix;
    for (int r = 0; r < repeats; ++r) {
        for (size_t cut = 0; cut < 4; ++cut) {
            count_case(run, short_prefix, prefix_of(13).substr(0, cut), Then::Close);
        }
    }
    print_line("  0, 1, 2, 3 bytes of prefix, then close: " + outcome(short_prefix));
    all_expected = all_expected && short_prefix.as_expected == short_prefix.sent;

    for (const std::uint32_t length : LENGTHS) {
        Counts prefix_only, half_body, whole;
        const std::uint32_t half = std::min<std::uint32_t>(length / 2, MAX_FRAME_LEN);
        for (int r = 0; r < repeats; ++r) {
            count_case(run, prefix_only, prefix_of(length), Then::Close);
            count_case(run, half_body, prefix_of(length) + run.random_bytes(half), Then::Close);
            // A refused length is dropped at once; an accepted one with its whole body
            // of random bytes is answered "bad_request".
            if (in_range(length)) {
                count_case(run, whole, prefix_of(length) + run.random_bytes(length),
                           Then::BadRequest);
            } else {
                count_case(run, whole, prefix_of(length), Then::NoAnswer);
            }
        }
        print_line("  length " + std::to_string(length) +
                   ": prefix only then close: " + outcome(prefix_only) + "; prefix and " +
                   std::to_string(half) + " body bytes then close: " + outcome(half_body) +
                   (in_range(length) ? "; whole random body, answered bad_request: "
                                     : "; prefix then read, closed without an answer: ") +
                   outcome(whole));
        all_expected = all_expected && whole.as_expected == whole.sent;
    }

    // Raw random bytes, closed at once, and whole frames of random bodies, answered.
    Counts raw, framed;
    std::uint64_t raw_bytes = 0;
    for (int i = 0; i < random_connections; ++i) {
        if (i % 2 == 0) {
            const size_t size =
                std::uniform_int_distribution<size_t>(0, i % 10 == 0 ? 70'000 : 600)(run.random);
            raw_bytes += size;
            count_case(run, raw, run.random_bytes(size), Then::Close);
        } else {
            const size_t size = std::uniform_int_distribution<size_t>(1, 4096)(run.random);
            count_case(run, framed, test_support::framed(run.random_bytes(size)), Then::BadRequest);
        }
    }
    print_line("  random bytes of random lengths (" + std::to_string(raw_bytes) +
               " bytes in all) then close: " + outcome(raw));
    print_line("  frames of random bodies of 1 to 4096 bytes, answered bad_request: " +
               outcome(framed));
    all_expected = all_expected && framed.as_expected == framed.sent;

    // Error answers that quote the request: past the pipe's 64 KiB buffer, exactly the
    // frame limit, and one byte over it, which the service sends cut to the limit.
    Counts large;
    const size_t largest = letters_for_largest_answer();
    for (int r = 0; r < repeats; ++r) {
        for (const size_t letters : {size_t{100'000}, largest}) {
            ++large.sent;
            large.as_expected += exchange(unknown_kind(letters)) == unknown_kind_answer(letters);
            run.ping(large);
        }
        ++large.sent;
        large.as_expected +=
            exchange(unknown_kind(largest + 1)) == cut_unknown_kind_answer(largest + 1);
        run.ping(large);
    }
    print_line("  error answers of " + std::to_string(unknown_kind_answer(100'000).size()) +
               " and " + std::to_string(MAX_FRAME_LEN) + " bytes answered exactly, and of " +
               std::to_string(unknown_kind_answer(largest + 1).size()) + " bytes answered cut to " +
               std::to_string(cut_unknown_kind_answer(largest + 1).size()) + " bytes ending in \"" +
               std::string(CUT_MARK) + "\": " + outcome(large));
    all_expected = all_expected && large.as_expected == large.sent;

    // Requests whose client goes before reading the answer.
    Counts gone;
    for (int r = 0; r < repeats; ++r) {
        for (const char* body : {R"({"op":"ping"})", R"({"op":"status"})", R"({"op":"x"})"}) {
            count_case(run, gone, test_support::framed(body), Then::Close);
        }
    }
    print_line("  a request, then close without reading the answer: " + outcome(gone));

    // The client's bound covers the whole of its sending, not each read.
    Counts slow;
    const Trickle trickle = trickle_ping(700);
    ++slow.sent;
    slow.as_expected += !trickle.answered;
    run.ping(slow);
    print_line("  a ping sent one byte every 0.7 s (about 12 s in all): " +
               std::string(trickle.answered ? "answered" : "dropped without an answer") +
               " after " + millis(trickle.held_us) + ", " + outcome(slow));
    all_expected = all_expected && slow.as_expected == slow.sent;

    // A client that sends a ping and then neither reads nor closes holds only its own
    // instance, until its bound: the next client is answered long before that, and the
    // unread connection is dropped at it.
    Counts unread;
    {
        win::UniqueHandle holder = test_support::open_pipe(30'000);
        const std::uint64_t from = now_us();
        ++unread.sent;
        if (holder &&
            test_support::send_bytes(holder.get(), test_support::framed(R"({"op":"ping"})"))) {
            run.ping(unread);
            const std::uint64_t waited = now_us() - from;
            const bool dropped = test_support::disconnected_within(holder.get(), 30'000);
            const std::uint64_t held = now_us() - from;
            unread.as_expected +=
                unread.pongs == 1 && waited < EXCHANGE_BUDGET_MS * 1000ull && dropped;
            print_line(
                "  a ping whose answer is never read, the connection kept open: the next "
                "ping answered after " +
                millis(waited) + ", the unread connection " +
                (dropped ? "dropped after " + millis(held) : std::string("not dropped")) + ", " +
                outcome(unread));
        } else {
            print_line("  a ping whose answer is never read: could not send it");
        }
    }
    all_expected = all_expected && unread.as_expected == unread.sent;

    const std::optional<SERVICE_STATUS_PROCESS> after = query_service();
    const bool same_process = after && after->dwProcessId == service->dwProcessId &&
                              after->dwCurrentState == SERVICE_RUNNING;
    print_line("pings: " + std::to_string(run.pings) + " sent, " + std::to_string(run.pongs) +
               " answered exactly, " + std::to_string(run.pings - run.pongs) +
               " not (must be 0); service process " + std::to_string(service->dwProcessId) +
               (same_process ? " the same throughout" : " NOT the same after"));
    return run.pongs == run.pings && all_expected && same_process ? 0 : 1;
}
