// The C functions of korvan-client.dll (korvan_client.h) over the client library.

#include "client/korvan_client.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "client/input.h"
#include "client/pipe_name.h"
#include "client/session.h"
#include "common/names.h"
#include "common/quote.h"
#include "proto/decode_response.h"
#include "proto/encode.h"
#include "proto/frame.h"
#include "proto/message.h"

namespace {

using namespace korvan;

static_assert(proto::PROTOCOL_VERSION.data()[proto::PROTOCOL_VERSION.size()] == '\0');

const KORVAN_VERSION VERSION = {KORVAN_PRODUCT_VERSION, proto::PROTOCOL_VERSION.data()};

// One block of `record_size` bytes followed by `texts`, each ending with a NUL;
// `at[i]` is set to the copy of texts[i]. nullptr when memory runs out.
template <size_t N>
void* block_with_texts(size_t record_size, const std::string_view (&texts)[N],
                       const char* (&at)[N]) {
    size_t size = record_size;
    for (std::string_view text : texts) {
        size += text.size() + 1;
    }
    auto* memory = static_cast<char*>(std::calloc(1, size));
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

// Hands `fault` to the caller as *error (when asked for) and returns its status.
KORVAN_STATUS report(const Fault& fault, KORVAN_ERROR** error) noexcept {
    if (error == nullptr) {
        return fault.status;
    }
    *error = nullptr;
    const std::string_view texts[] = {fault.failure.text,
                                      fault.answer ? std::string_view(fault.answer->code) : "",
                                      fault.answer ? std::string_view(fault.answer->message) : ""};
    const char* at[3] = {};
    void* memory = block_with_texts(sizeof(KORVAN_ERROR), texts, at);
    if (memory == nullptr) {
        return KORVAN_INTERNAL;
    }
    *error =
        new (memory) KORVAN_ERROR{fault.status, fault.failure.system_error, at[0],
                                  fault.answer ? at[1] : nullptr, fault.answer ? at[2] : nullptr};
    return fault.status;
}

KORVAN_STATUS succeeded(KORVAN_ERROR** error) noexcept {
    if (error != nullptr) {
        *error = nullptr;
    }
    return KORVAN_OK;
}

// What an exported function does when the library itself fails: "{function}: {what}".
KORVAN_STATUS internal(std::string_view function, std::string_view what,
                       KORVAN_ERROR** error) noexcept {
    if (error == nullptr) {
        return KORVAN_INTERNAL;
    }
    *error = nullptr;
    const size_t length = function.size() + 2 + what.size();
    auto* memory = static_cast<char*>(std::calloc(1, sizeof(KORVAN_ERROR) + length + 1));
    if (memory == nullptr) {
        return KORVAN_INTERNAL;
    }
    char* text = memory + sizeof(KORVAN_ERROR);
    std::memcpy(text, function.data(), function.size());
    std::memcpy(text + function.size(), ": ", 2);
    std::memcpy(text + function.size() + 2, what.data(), what.size());
    *error = new (memory) KORVAN_ERROR{KORVAN_INTERNAL, 0, text, nullptr, nullptr};
    return KORVAN_INTERNAL;
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

// The body of a request without fields, which always encodes.
std::string unit_body(const proto::Request& request) {
    return proto::encode_request(request).value();
}

Fault bad_argument(std::string text) {
    return Fault{KORVAN_BAD_ARGUMENT, Failure{std::move(text)}, std::nullopt};
}

// Where and how long: the pipe and the deadline, from the caller's arguments.
std::variant<client::Target, Fault> target_of(std::string_view function, const char* pipe_name,
                                              DWORD timeout_ms) {
    if (timeout_ms == 0 || timeout_ms > KORVAN_MAX_TIMEOUT_MS) {
        return bad_argument(std::string(function) + ": timeout_ms: expected 1 to " +
                            std::to_string(KORVAN_MAX_TIMEOUT_MS) + " milliseconds, got " +
                            std::to_string(timeout_ms));
    }
    std::string name(names::PIPE_NAME_TEXT);
    if (pipe_name != nullptr) {
        std::optional<std::string> full = client::full_pipe_name(pipe_name);
        if (!full) {
            return bad_argument(std::string(function) +
                                ": pipe_name: expected a name or \\\\.\\pipe\\NAME, got " +
                                in_quotes_as_typed(pipe_name));
        }
        name = std::move(*full);
    }
    return client::Target{std::move(name), client::deadline_in_ms(timeout_ms), true, ""};
}

// A request sent and its reply read: the response, or how it failed. `op` as for
// proto::decode_response; `raw`, when given, receives the reply's body whenever one came.
std::variant<proto::Response, Fault> ask(std::string_view function, const char* pipe_name,
                                         DWORD timeout_ms, std::string_view body,
                                         std::string_view op, std::string* raw = nullptr) {
    std::variant<client::Target, Fault> target = target_of(function, pipe_name, timeout_ms);
    if (Fault* fault = std::get_if<Fault>(&target)) {
        return std::move(*fault);
    }
    Result<std::string> reply = client::transact(std::get<client::Target>(target), body);
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

KORVAN_STATUS fill_state(const proto::Response& response, KORVAN_CORE_STATE* state,
                         KORVAN_ERROR** error) {
    if (state != nullptr) {
        if (const auto* status = std::get_if<proto::response::Status>(&response)) {
            *state = KORVAN_CORE_STATE{status->running ? 1 : 0, status->mixed_port.value_or(0),
                                       status->ctl_port.value_or(0)};
        } else if (const auto* started = std::get_if<proto::response::Started>(&response)) {
            *state = KORVAN_CORE_STATE{1, started->mixed_port, started->ctl_port};
        }
    }
    return succeeded(error);
}

KORVAN_STATUS start_with(std::string_view function, const char* pipe_name, DWORD timeout_ms,
                         std::string config, const char* secret, unsigned short mixed_port,
                         unsigned short ctl_port, KORVAN_CORE_STATE* started,
                         KORVAN_ERROR** error) {
    Result<std::string> body = proto::encode_request(proto::request::Start{
        std::move(config), secret == nullptr ? "" : secret, mixed_port, ctl_port});
    if (!body) {
        return report(Fault{KORVAN_BAD_ARGUMENT, prefixed("start", body.failure()), std::nullopt},
                      error);
    }
    std::variant<proto::Response, Fault> answer =
        ask(function, pipe_name, timeout_ms, body.value(), proto::KIND_START);
    if (const Fault* fault = std::get_if<Fault>(&answer)) {
        return report(*fault, error);
    }
    return fill_state(std::get<proto::Response>(answer), started, error);
}

}  // namespace

extern "C" {

const KORVAN_VERSION* KORVAN_CLIENT_CALL korvan_version(void) {
    return &VERSION;
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_ping(const char* pipe_name, DWORD timeout_ms,
                                             KORVAN_PONG** pong, KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_ping";
    return guarded(FUNCTION, error, [&] {
        std::variant<proto::Response, Fault> answer = ask(
            FUNCTION, pipe_name, timeout_ms, unit_body(proto::request::Ping{}), proto::KIND_PING);
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
        return succeeded(error);
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_status(const char* pipe_name, DWORD timeout_ms,
                                               KORVAN_CORE_STATE* state, KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_status";
    return guarded(FUNCTION, error, [&] {
        std::variant<proto::Response, Fault> answer =
            ask(FUNCTION, pipe_name, timeout_ms, unit_body(proto::request::Status{}),
                proto::KIND_STATUS);
        if (const Fault* fault = std::get_if<Fault>(&answer)) {
            return report(*fault, error);
        }
        return fill_state(std::get<proto::Response>(answer), state, error);
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_start(const char* pipe_name, DWORD timeout_ms,
                                              const char* config_yaml, size_t config_size,
                                              const char* secret, unsigned short mixed_port,
                                              unsigned short ctl_port, KORVAN_CORE_STATE* started,
                                              KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_start";
    return guarded(FUNCTION, error, [&] {
        if (config_yaml == nullptr && config_size != 0) {
            return report(bad_argument("korvan_start: config_yaml is NULL"), error);
        }
        if (config_size > proto::MAX_FRAME_LEN) {
            return report(
                bad_argument("config is larger than " + std::to_string(proto::MAX_FRAME_LEN) +
                             " bytes, the most a request carries"),
                error);
        }
        std::string config =
            config_size == 0 ? std::string() : std::string(config_yaml, config_size);
        return start_with(FUNCTION, pipe_name, timeout_ms, std::move(config), secret, mixed_port,
                          ctl_port, started, error);
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_start_file(const char* pipe_name, DWORD timeout_ms,
                                                   const char* config_path, const char* secret,
                                                   unsigned short mixed_port,
                                                   unsigned short ctl_port,
                                                   KORVAN_CORE_STATE* started,
                                                   KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_start_file";
    return guarded(FUNCTION, error, [&] {
        if (config_path == nullptr) {
            return report(bad_argument("korvan_start_file: config_path is NULL"), error);
        }
        Result<std::string> config = client::read_config(std::string_view(config_path));
        if (!config) {
            return report(Fault{KORVAN_BAD_ARGUMENT, config.failure(), std::nullopt}, error);
        }
        return start_with(FUNCTION, pipe_name, timeout_ms, std::move(config.value()), secret,
                          mixed_port, ctl_port, started, error);
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_stop(const char* pipe_name, DWORD timeout_ms,
                                             KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_stop";
    return guarded(FUNCTION, error, [&] {
        std::variant<proto::Response, Fault> answer = ask(
            FUNCTION, pipe_name, timeout_ms, unit_body(proto::request::Stop{}), proto::KIND_STOP);
        if (const Fault* fault = std::get_if<Fault>(&answer)) {
            return report(*fault, error);
        }
        return succeeded(error);
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_send(const char* pipe_name, DWORD timeout_ms,
                                             const void* request, size_t request_size,
                                             KORVAN_BYTES** reply, KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_send";
    return guarded(FUNCTION, error, [&] {
        if (reply != nullptr) {
            *reply = nullptr;
        }
        if (request == nullptr) {
            return report(bad_argument("korvan_send: request is NULL"), error);
        }
        if (request_size == 0 || request_size > proto::MAX_FRAME_LEN) {
            return report(bad_argument("korvan_send: request_size: a frame carries 1 to " +
                                       std::to_string(proto::MAX_FRAME_LEN) + " bytes, got " +
                                       std::to_string(request_size)),
                          error);
        }
        std::string raw;
        std::variant<proto::Response, Fault> answer =
            ask(FUNCTION, pipe_name, timeout_ms,
                std::string_view(static_cast<const char*>(request), request_size), "", &raw);
        if (reply != nullptr && !raw.empty()) {
            auto* memory =
                static_cast<unsigned char*>(std::malloc(sizeof(KORVAN_BYTES) + raw.size()));
            if (memory == nullptr) {
                throw std::bad_alloc();
            }
            std::memcpy(memory + sizeof(KORVAN_BYTES), raw.data(), raw.size());
            *reply = new (memory) KORVAN_BYTES{raw.size(), memory + sizeof(KORVAN_BYTES)};
        }
        if (const Fault* fault = std::get_if<Fault>(&answer)) {
            return report(*fault, error);
        }
        return succeeded(error);
    });
}

void KORVAN_CLIENT_CALL korvan_free(void* record) {
    std::free(record);
}

}  // extern "C"
