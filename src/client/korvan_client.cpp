// The C functions of korvan-client.dll (korvan_client.h) over the client library.

#include "korvan_client.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "client/connect.h"
#include "client/input.h"
#include "client/pipe_name.h"
#include "client/record_memory.h"
#include "client/transact.h"
#include "common/names.h"
#include "common/quote.h"
#include "proto/decode_response.h"
#include "proto/encode.h"
#include "proto/frame.h"
#include "proto/message.h"

namespace {

using namespace korvan;

static_assert(proto::PROTOCOL_VERSION.data()[proto::PROTOCOL_VERSION.size()] == '\0');
static_assert(std::string_view(KORVAN_CLIENT_PROTOCOL_VERSION) == proto::PROTOCOL_VERSION);
static_assert(sizeof(KORVAN_CORE_STATE) == KORVAN_CORE_STATE_SIZE_1_0);
static_assert(KORVAN_MAX_TIMEOUT_MS <= 3600000, "win::deadline_in_ms takes an hour at most");

const KORVAN_VERSION VERSION = {KORVAN_CLIENT_VERSION, proto::PROTOCOL_VERSION.data()};

// One block of `record_size` bytes followed by `texts`, each ending with a NUL;
// `at[i]` is set to the copy of texts[i]. nullptr when memory runs out.
template <size_t N>
void* block_with_texts(size_t record_size, const std::string_view (&texts)[N],
                       const char* (&at)[N]) {
    size_t size = record_size;
    for (std::string_view text : texts) {
        size += text.size() + 1;
    }
    auto* memory = static_cast<char*>(client::allocate_record(size));
    if (memory == nullptr) {
        return nullptr;
    }
    char* next = memory + record_size;
    for (size_t i = 0; i < N; ++i) {
        std::memcpy(next, texts[i].data(), texts[i].size());
        at[i] = next;
        next += texts[i].size() + 1;
    }
    return memory;
}

// How a call ended when it did not succeed.
struct Fault {
    KORVAN_STATUS status;
    Failure failure;
    std::optional<proto::response::Error> answer;
};

// Hands `fault` to the caller as *error (when asked for; *error is already NULL) and
// returns its status, or KORVAN_INTERNAL when the record cannot be allocated.
KORVAN_STATUS report(const Fault& fault, KORVAN_ERROR** error) noexcept {
    if (error == nullptr) {
        return fault.status;
    }
    const std::string_view texts[] = {fault.failure.text,
                                      fault.answer ? std::string_view(fault.answer->code) : "",
                                      fault.answer ? std::string_view(fault.answer->message) : ""};
    const char* at[3] = {};
    void* memory = block_with_texts(sizeof(KORVAN_ERROR), texts, at);
    if (memory == nullptr) {
        return KORVAN_INTERNAL;
    }
    *error = new (memory)
        KORVAN_ERROR{static_cast<DWORD>(fault.status), fault.failure.system_error, at[0],
                     fault.answer ? at[1] : nullptr, fault.answer ? at[2] : nullptr};
    return fault.status;
}

// What an exported function does when the library itself fails: "{function}: {what}".
KORVAN_STATUS internal(std::string_view function, std::string_view what,
                       KORVAN_ERROR** error) noexcept {
    return report(Fault{KORVAN_INTERNAL, Failure{std::string(function) + ": " + std::string(what)},
                        std::nullopt},
                  error);
}

// Runs `body` (returning a KORVAN_STATUS) so that no exception leaves the function.
template <class Body>
KORVAN_STATUS guarded(std::string_view function, KORVAN_ERROR** error, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return internal(function, "out of memory", error);
    } catch (...) {
        return internal(function, "unexpected failure", error);
    }
}

// Sets a pointer out-parameter to NULL, as every function does on entry.
template <class T>
void clear(T** out) {
    if (out != nullptr) {
        *out = nullptr;
    }
}

Fault bad_argument(std::string_view function, std::string text) {
    return Fault{KORVAN_BAD_ARGUMENT, Failure{std::string(function) + ": " + std::move(text)},
                 std::nullopt};
}

// On entry: a state record of an acceptable size has every byte after its size set to
// zero; one of another size is left alone and refused by state_fault.
void clear_state(KORVAN_CORE_STATE* state) {
    if (state != nullptr && state->size >= KORVAN_CORE_STATE_SIZE_1_0 &&
        state->size <= KORVAN_CORE_STATE_MAX_SIZE) {
        std::memset(reinterpret_cast<unsigned char*>(state) + sizeof state->size, 0,
                    state->size - sizeof state->size);
    }
}

std::optional<Fault> state_fault(std::string_view function, std::string_view parameter,
                                 const KORVAN_CORE_STATE* state) {
    if (state == nullptr ||
        (state->size >= KORVAN_CORE_STATE_SIZE_1_0 && state->size <= KORVAN_CORE_STATE_MAX_SIZE)) {
        return std::nullopt;
    }
    return bad_argument(function, std::string(parameter) + "->size: expected " +
                                      std::to_string(KORVAN_CORE_STATE_SIZE_1_0) + " to " +
                                      std::to_string(KORVAN_CORE_STATE_MAX_SIZE) + ", got " +
                                      std::to_string(state->size));
}

// Where, how and how long: the pipe, the server check and the deadline, from the
// caller's arguments, checked in their order.
std::variant<client::Target, Fault> target_of(std::string_view function, const char* pipe_name,
                                              DWORD flags, DWORD timeout_ms) {
    std::string name(names::PIPE_NAME_TEXT);
    if (pipe_name != nullptr) {
        std::optional<std::string> full = client::full_pipe_name(pipe_name);
        if (!full) {
            return bad_argument(function, "pipe_name: expected " +
                                              std::string(client::PIPE_NAME_RULE) + ", got " +
                                              in_quotes_as_typed(pipe_name));
        }
        name = std::move(*full);
    }
    if ((flags & ~DWORD{KORVAN_FLAG_NO_SERVER_CHECK}) != 0) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%lX",
                      static_cast<unsigned long>(flags & ~DWORD{KORVAN_FLAG_NO_SERVER_CHECK}));
        return bad_argument(function, "flags: unknown flags 0x" + std::string(hex));
    }
    const bool server_check = (flags & KORVAN_FLAG_NO_SERVER_CHECK) == 0;
    if (!server_check && client::is_service_pipe(name)) {
        return bad_argument(
            function, "flags: KORVAN_FLAG_NO_SERVER_CHECK is refused for the service's pipe " +
                          std::string(names::PIPE_NAME_TEXT));
    }
    if (timeout_ms == 0 || timeout_ms > KORVAN_MAX_TIMEOUT_MS) {
        return bad_argument(function, "timeout_ms: expected 1 to " +
                                          std::to_string(KORVAN_MAX_TIMEOUT_MS) +
                                          " milliseconds, got " + std::to_string(timeout_ms));
    }
    return client::Target{std::move(name), win::deadline_in_ms(timeout_ms), server_check, ""};
}

// The body of a request without fields, which always encodes.
std::string unit_body(const proto::Request& request) {
    return proto::encode_request(request).value();
}

// A request sent to `target` and its reply read: the response, or how it failed. `op`
// as for proto::decode_response; `raw`, when given, receives the reply's body whenever
// one came.
std::variant<proto::Response, Fault> ask(const client::Target& target, std::string_view body,
                                         std::string_view op, std::string* raw = nullptr) {
    Result<std::string> reply = client::transact(target, body);
    if (!reply) {
        return Fault{KORVAN_NO_ANSWER, reply.failure(), std::nullopt};
    }
    if (raw != nullptr) {
        *raw = reply.value();
    }
    Result<proto::Response> response = proto::decode_response(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(reply->data()),
                                      reply->size()),
        op);
    if (!response) {
        return Fault{KORVAN_NO_ANSWER, response.failure(), std::nullopt};
    }
    if (const auto* answer = std::get_if<proto::response::Error>(&response.value())) {
        return Fault{KORVAN_ANSWER_ERROR,
                     Failure{"error " + one_line(answer->code) + ": " + one_line(answer->message)},
                     *answer};
    }
    return std::move(response.value());
}

void fill_state(const proto::Response& response, KORVAN_CORE_STATE* state) {
    if (state == nullptr) {
        return;
    }
    if (const auto* status = std::get_if<proto::response::Status>(&response)) {
        state->running = status->running ? 1 : 0;
        state->mixed_port = status->mixed_port.value_or(0);
        state->ctl_port = status->ctl_port.value_or(0);
    } else if (const auto* started = std::get_if<proto::response::Started>(&response)) {
        state->running = 1;
        state->mixed_port = started->mixed_port;
        state->ctl_port = started->ctl_port;
    }
}

// The start request with its configuration in hand, for korvan_start and
// korvan_start_file.
KORVAN_STATUS start_with(std::string_view function, const client::Target& target,
                         std::string config, const char* secret, unsigned short mixed_port,
                         unsigned short ctl_port, KORVAN_CORE_STATE* started,
                         KORVAN_ERROR** error) {
    Result<std::string> body = proto::encode_request(proto::request::Start{
        std::move(config), secret == nullptr ? "" : secret, mixed_port, ctl_port});
    if (!body) {
        return report(Fault{KORVAN_BAD_ARGUMENT, prefixed(function, body.failure()), std::nullopt},
                      error);
    }
    if (std::optional<Fault> fault = state_fault(function, "started", started)) {
        return report(*fault, error);
    }
    std::variant<proto::Response, Fault> answer = ask(target, body.value(), proto::KIND_START);
    if (const Fault* fault = std::get_if<Fault>(&answer)) {
        return report(*fault, error);
    }
    fill_state(std::get<proto::Response>(answer), started);
    return KORVAN_OK;
}

}  // namespace

extern "C" {

const KORVAN_VERSION* KORVAN_CLIENT_CALL korvan_version(void) {
    return &VERSION;
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_ping(const char* pipe_name, DWORD flags, DWORD timeout_ms,
                                             KORVAN_PONG** pong, KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_ping";
    clear(pong);
    clear(error);
    return guarded(FUNCTION, error, [&] {
        std::variant<client::Target, Fault> target =
            target_of(FUNCTION, pipe_name, flags, timeout_ms);
        if (const Fault* fault = std::get_if<Fault>(&target)) {
            return report(*fault, error);
        }
        std::variant<proto::Response, Fault> answer = ask(
            std::get<client::Target>(target), unit_body(proto::request::Ping{}), proto::KIND_PING);
        if (const Fault* fault = std::get_if<Fault>(&answer)) {
            return report(*fault, error);
        }
        if (pong != nullptr) {
            const auto& got = std::get<proto::response::Pong>(std::get<proto::Response>(answer));
            const std::string_view texts[] = {got.version, got.service_version};
            const char* at[2] = {};
            void* memory = block_with_texts(sizeof(KORVAN_PONG), texts, at);
            if (memory == nullptr) {
                throw std::bad_alloc();
            }
            *pong = new (memory) KORVAN_PONG{at[0], at[1]};
        }
        return KORVAN_OK;
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_status(const char* pipe_name, DWORD flags, DWORD timeout_ms,
                                               KORVAN_CORE_STATE* state, KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_status";
    clear(error);
    clear_state(state);
    return guarded(FUNCTION, error, [&] {
        std::variant<client::Target, Fault> target =
            target_of(FUNCTION, pipe_name, flags, timeout_ms);
        if (const Fault* fault = std::get_if<Fault>(&target)) {
            return report(*fault, error);
        }
        if (std::optional<Fault> fault = state_fault(FUNCTION, "state", state)) {
            return report(*fault, error);
        }
        std::variant<proto::Response, Fault> answer =
            ask(std::get<client::Target>(target), unit_body(proto::request::Status{}),
                proto::KIND_STATUS);
        if (const Fault* fault = std::get_if<Fault>(&answer)) {
            return report(*fault, error);
        }
        fill_state(std::get<proto::Response>(answer), state);
        return KORVAN_OK;
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_start(const char* pipe_name, DWORD flags, DWORD timeout_ms,
                                              const char* config_yaml, size_t config_size,
                                              const char* secret, unsigned short mixed_port,
                                              unsigned short ctl_port, KORVAN_CORE_STATE* started,
                                              KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_start";
    clear(error);
    clear_state(started);
    return guarded(FUNCTION, error, [&] {
        std::variant<client::Target, Fault> target =
            target_of(FUNCTION, pipe_name, flags, timeout_ms);
        if (const Fault* fault = std::get_if<Fault>(&target)) {
            return report(*fault, error);
        }
        if (config_yaml == nullptr && config_size != 0) {
            return report(bad_argument(FUNCTION, "config_yaml is NULL"), error);
        }
        if (config_size > proto::MAX_FRAME_LEN) {
            return report(bad_argument(FUNCTION, "config_size: expected at most " +
                                                     std::to_string(proto::MAX_FRAME_LEN) +
                                                     " bytes, got " + std::to_string(config_size)),
                          error);
        }
        std::string config =
            config_size == 0 ? std::string() : std::string(config_yaml, config_size);
        return start_with(FUNCTION, std::get<client::Target>(target), std::move(config), secret,
                          mixed_port, ctl_port, started, error);
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_start_file(const char* pipe_name, DWORD flags,
                                                   DWORD timeout_ms, const char* config_path,
                                                   const char* secret, unsigned short mixed_port,
                                                   unsigned short ctl_port,
                                                   KORVAN_CORE_STATE* started,
                                                   KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_start_file";
    clear(error);
    clear_state(started);
    return guarded(FUNCTION, error, [&] {
        std::variant<client::Target, Fault> target =
            target_of(FUNCTION, pipe_name, flags, timeout_ms);
        if (const Fault* fault = std::get_if<Fault>(&target)) {
            return report(*fault, error);
        }
        if (config_path == nullptr) {
            return report(bad_argument(FUNCTION, "config_path is NULL"), error);
        }
        Result<std::string> config = client::read_config(std::string_view(config_path));
        if (!config) {
            return report(
                Fault{KORVAN_BAD_ARGUMENT, prefixed(FUNCTION, config.failure()), std::nullopt},
                error);
        }
        return start_with(FUNCTION, std::get<client::Target>(target), std::move(config.value()),
                          secret, mixed_port, ctl_port, started, error);
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_stop(const char* pipe_name, DWORD flags, DWORD timeout_ms,
                                             KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_stop";
    clear(error);
    return guarded(FUNCTION, error, [&] {
        std::variant<client::Target, Fault> target =
            target_of(FUNCTION, pipe_name, flags, timeout_ms);
        if (const Fault* fault = std::get_if<Fault>(&target)) {
            return report(*fault, error);
        }
        std::variant<proto::Response, Fault> answer = ask(
            std::get<client::Target>(target), unit_body(proto::request::Stop{}), proto::KIND_STOP);
        if (const Fault* fault = std::get_if<Fault>(&answer)) {
            return report(*fault, error);
        }
        return KORVAN_OK;
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_send(const char* pipe_name, DWORD flags, DWORD timeout_ms,
                                             const void* request, size_t request_size,
                                             KORVAN_BYTES** reply, KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_send";
    clear(reply);
    clear(error);
    return guarded(FUNCTION, error, [&] {
        std::variant<client::Target, Fault> target =
            target_of(FUNCTION, pipe_name, flags, timeout_ms);
        if (const Fault* fault = std::get_if<Fault>(&target)) {
            return report(*fault, error);
        }
        if (request == nullptr) {
            return report(bad_argument(FUNCTION, "request is NULL"), error);
        }
        if (request_size == 0 || request_size > proto::MAX_FRAME_LEN) {
            return report(bad_argument(FUNCTION, "request_size: a frame carries 1 to " +
                                                     std::to_string(proto::MAX_FRAME_LEN) +
                                                     " bytes, got " + std::to_string(request_size)),
                          error);
        }
        std::string raw;
        std::variant<proto::Response, Fault> answer =
            ask(std::get<client::Target>(target),
                std::string_view(static_cast<const char*>(request), request_size), "", &raw);
        if (reply != nullptr && !raw.empty()) {
            auto* memory = static_cast<unsigned char*>(
                client::allocate_record(sizeof(KORVAN_BYTES) + raw.size()));
            if (memory == nullptr) {
                throw std::bad_alloc();
            }
            std::memcpy(memory + sizeof(KORVAN_BYTES), raw.data(), raw.size());
            *reply = new (memory) KORVAN_BYTES{raw.size(), memory + sizeof(KORVAN_BYTES)};
        }
        if (const Fault* fault = std::get_if<Fault>(&answer)) {
            return report(*fault, error);
        }
        return KORVAN_OK;
    });
}

void KORVAN_CLIENT_CALL korvan_free(void* record) {
    std::free(record);
}

}  // extern "C"
