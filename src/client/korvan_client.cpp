// The C functions of korvan-client.dll (korvan_client.h) over the client's requests
// (requests.h): the caller's arguments checked and made a target and a request, and the
// reply made the caller's status and records.

#include "korvan_client.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "client/connect.h"
#include "client/input.h"
#include "client/pipe_name.h"
#include "client/record_memory.h"
#include "client/requests.h"
#include "common/names.h"
#include "common/quote.h"
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

// Hands `failure` to the caller as *error (when asked for; *error is already NULL), with
// the service's answer for KORVAN_ANSWER_ERROR, and returns `status`, or KORVAN_INTERNAL
// when the record cannot be allocated.
KORVAN_STATUS report(KORVAN_STATUS status, const Failure& failure,
                     const std::optional<proto::response::Error>& answer,
                     KORVAN_ERROR** error) noexcept {
    if (error == nullptr) {
        return status;
    }
    const std::string_view texts[] = {failure.text, answer ? std::string_view(answer->code) : "",
                                      answer ? std::string_view(answer->message) : ""};
    const char* at[3] = {};
    void* memory = block_with_texts(sizeof(KORVAN_ERROR), texts, at);
    if (memory == nullptr) {
        return KORVAN_INTERNAL;
    }
    *error = new (memory) KORVAN_ERROR{static_cast<DWORD>(status), failure.system_error, at[0],
                                       answer ? at[1] : nullptr, answer ? at[2] : nullptr};
    return status;
}

// An argument refused before anything is sent.
KORVAN_STATUS refused(const Failure& failure, KORVAN_ERROR** error) noexcept {
    return report(KORVAN_BAD_ARGUMENT, failure, std::nullopt, error);
}

static_assert(static_cast<KORVAN_STATUS>(client::Status::Ok) == KORVAN_OK);
static_assert(static_cast<KORVAN_STATUS>(client::Status::AnswerError) == KORVAN_ANSWER_ERROR);
static_assert(static_cast<KORVAN_STATUS>(client::Status::NoAnswer) == KORVAN_NO_ANSWER);

// The status of `reply`, its failure handed to the caller as report does.
template <class T>
KORVAN_STATUS answered(const client::Reply<T>& reply, KORVAN_ERROR** error) noexcept {
    if (reply.status == client::Status::Ok) {
        return KORVAN_OK;
    }
    return report(static_cast<KORVAN_STATUS>(reply.status), reply.result.failure(), reply.refusal,
                  error);
}

// What an exported function does when the library itself fails: "{function}: {what}".
KORVAN_STATUS internal(std::string_view function, std::string_view what,
                       KORVAN_ERROR** error) noexcept {
    return report(KORVAN_INTERNAL, Failure{std::string(function) + ": " + std::string(what)},
                  std::nullopt, error);
}

// Sets a pointer out-parameter to NULL, as every function does on entry.
template <class T>
void clear(T** out) {
    if (out != nullptr) {
        *out = nullptr;
    }
}

Failure bad_argument(std::string_view function, std::string text) {
    return Failure{std::string(function) + ": " + std::move(text)};
}

// On entry: a state record of an acceptable size has every byte after its size set to
// zero; one of another size is left alone and refused by state_size.
void clear_state(KORVAN_CORE_STATE* state) {
    if (state != nullptr && state->size >= KORVAN_CORE_STATE_SIZE_1_0 &&
        state->size <= KORVAN_CORE_STATE_MAX_SIZE) {
        std::memset(reinterpret_cast<unsigned char*>(state) + sizeof state->size, 0,
                    state->size - sizeof state->size);
    }
}

Result<void> state_size(std::string_view function, std::string_view parameter,
                        const KORVAN_CORE_STATE* state) {
    if (state == nullptr ||
        (state->size >= KORVAN_CORE_STATE_SIZE_1_0 && state->size <= KORVAN_CORE_STATE_MAX_SIZE)) {
        return {};
    }
    return bad_argument(function, std::string(parameter) + "->size: expected " +
                                      std::to_string(KORVAN_CORE_STATE_SIZE_1_0) + " to " +
                                      std::to_string(KORVAN_CORE_STATE_MAX_SIZE) + ", got " +
                                      std::to_string(state->size));
}

// Where, how and how long: the pipe, the server check and the deadline, from the
// caller's arguments, checked in their order.
Result<client::Target> target_of(std::string_view function, const char* pipe_name, DWORD flags,
                                 DWORD timeout_ms) {
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

// What every request function does: *error set to NULL, the target taken from the
// shared arguments, then `body` (the target in, a KORVAN_STATUS out); no exception
// leaves it.
template <class Body>
KORVAN_STATUS call(std::string_view function, const char* pipe_name, DWORD flags, DWORD timeout_ms,
                   KORVAN_ERROR** error, Body&& body) noexcept {
    clear(error);
    try {
        Result<client::Target> target = target_of(function, pipe_name, flags, timeout_ms);
        if (!target) {
            return refused(target.failure(), error);
        }
        return body(target.value());
    } catch (const std::bad_alloc&) {
        return internal(function, "out of memory", error);
    } catch (...) {
        return internal(function, "unexpected failure", error);
    }
}

void fill_state(const proto::response::Status& status, KORVAN_CORE_STATE* state) {
    if (state != nullptr) {
        state->running = status.running ? 1 : 0;
        state->mixed_port = status.mixed_port.value_or(0);
        state->ctl_port = status.ctl_port.value_or(0);
    }
}

void fill_state(const proto::response::Started& started, KORVAN_CORE_STATE* state) {
    if (state != nullptr) {
        state->running = 1;
        state->mixed_port = started.mixed_port;
        state->ctl_port = started.ctl_port;
    }
}

// The start request with its configuration in hand, for korvan_start and
// korvan_start_file.
KORVAN_STATUS start_with(std::string_view function, const client::Target& target,
                         std::string config, const char* secret, unsigned short mixed_port,
                         unsigned short ctl_port, KORVAN_CORE_STATE* started,
                         KORVAN_ERROR** error) {
    Result<client::StartRequest> request = client::start_request(proto::request::Start{
        std::move(config), secret == nullptr ? "" : secret, mixed_port, ctl_port});
    if (!request) {
        return refused(prefixed(function, request.failure()), error);
    }
    if (Result<void> sized = state_size(function, "started", started); !sized) {
        return refused(sized.failure(), error);
    }
    const client::Reply<proto::response::Started> reply =
        client::start_core(target, request.value());
    if (reply.result) {
        fill_state(reply.result.value(), started);
    }
    return answered(reply, error);
}

}  // namespace

extern "C" {

const KORVAN_VERSION* KORVAN_CLIENT_CALL korvan_version(void) {
    return &VERSION;
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_ping(const char* pipe_name, DWORD flags, DWORD timeout_ms,
                                             KORVAN_PONG** pong, KORVAN_ERROR** error) {
    clear(pong);
    return call("korvan_ping", pipe_name, flags, timeout_ms, error,
                [&](const client::Target& target) {
                    const client::Reply<proto::response::Pong> reply = client::ping(target);
                    if (reply.result && pong != nullptr) {
                        const std::string_view texts[] = {reply.result->version,
                                                          reply.result->service_version};
                        const char* at[2] = {};
                        void* memory = block_with_texts(sizeof(KORVAN_PONG), texts, at);
                        if (memory == nullptr) {
                            throw std::bad_alloc();
                        }
                        *pong = new (memory) KORVAN_PONG{at[0], at[1]};
                    }
                    return answered(reply, error);
                });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_status(const char* pipe_name, DWORD flags, DWORD timeout_ms,
                                               KORVAN_CORE_STATE* state, KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_status";
    clear_state(state);
    return call(FUNCTION, pipe_name, flags, timeout_ms, error, [&](const client::Target& target) {
        if (Result<void> sized = state_size(FUNCTION, "state", state); !sized) {
            return refused(sized.failure(), error);
        }
        const client::Reply<proto::response::Status> reply = client::core_status(target);
        if (reply.result) {
            fill_state(reply.result.value(), state);
        }
        return answered(reply, error);
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_start(const char* pipe_name, DWORD flags, DWORD timeout_ms,
                                              const char* config_yaml, size_t config_size,
                                              const char* secret, unsigned short mixed_port,
                                              unsigned short ctl_port, KORVAN_CORE_STATE* started,
                                              KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_start";
    clear_state(started);
    return call(FUNCTION, pipe_name, flags, timeout_ms, error, [&](const client::Target& target) {
        if (config_yaml == nullptr && config_size != 0) {
            return refused(bad_argument(FUNCTION, "config_yaml is NULL"), error);
        }
        if (config_size > proto::MAX_FRAME_LEN) {
            return refused(bad_argument(FUNCTION, "config_size: expected at most " +
                                                      std::to_string(proto::MAX_FRAME_LEN) +
                                                      " bytes, got " + std::to_string(config_size)),
                           error);
        }
        std::string config =
            config_size == 0 ? std::string() : std::string(config_yaml, config_size);
        return start_with(FUNCTION, target, std::move(config), secret, mixed_port, ctl_port,
                          started, error);
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_start_file(const char* pipe_name, DWORD flags,
                                                   DWORD timeout_ms, const char* config_path,
                                                   const char* secret, unsigned short mixed_port,
                                                   unsigned short ctl_port,
                                                   KORVAN_CORE_STATE* started,
                                                   KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_start_file";
    clear_state(started);
    return call(FUNCTION, pipe_name, flags, timeout_ms, error, [&](const client::Target& target) {
        if (config_path == nullptr) {
            return refused(bad_argument(FUNCTION, "config_path is NULL"), error);
        }
        Result<std::string> config = client::read_config(std::string_view(config_path));
        if (!config) {
            return refused(prefixed(FUNCTION, config.failure()), error);
        }
        return start_with(FUNCTION, target, std::move(config.value()), secret, mixed_port, ctl_port,
                          started, error);
    });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_stop(const char* pipe_name, DWORD flags, DWORD timeout_ms,
                                             KORVAN_ERROR** error) {
    return call(
        "korvan_stop", pipe_name, flags, timeout_ms, error,
        [&](const client::Target& target) { return answered(client::stop_core(target), error); });
}

KORVAN_STATUS KORVAN_CLIENT_CALL korvan_send(const char* pipe_name, DWORD flags, DWORD timeout_ms,
                                             const void* request, size_t request_size,
                                             KORVAN_BYTES** reply, KORVAN_ERROR** error) {
    constexpr std::string_view FUNCTION = "korvan_send";
    clear(reply);
    return call(FUNCTION, pipe_name, flags, timeout_ms, error, [&](const client::Target& target) {
        if (request == nullptr) {
            return refused(bad_argument(FUNCTION, "request is NULL"), error);
        }
        if (!client::fits_one_frame(request_size)) {
            return refused(
                bad_argument(FUNCTION, "request_size: " + client::one_frame_rule() +
                                           " bytes, got " + std::to_string(request_size)),
                error);
        }
        const client::Reply<client::Answer> answer =
            client::send(target, std::string_view(static_cast<const char*>(request), request_size));
        if (reply != nullptr && answer.body) {
            const std::string& body = *answer.body;
            auto* memory = static_cast<unsigned char*>(
                client::allocate_record(sizeof(KORVAN_BYTES) + body.size()));
            if (memory == nullptr) {
                throw std::bad_alloc();
            }
            std::memcpy(memory + sizeof(KORVAN_BYTES), body.data(), body.size());
            *reply = new (memory) KORVAN_BYTES{body.size(), memory + sizeof(KORVAN_BYTES)};
        }
        return answered(answer, error);
    });
}

void KORVAN_CLIENT_CALL korvan_free(void* record) {
    std::free(record);
}

}  // extern "C"
