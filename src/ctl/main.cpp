// korvan-vpn-ctl: sends one request to the service over its control pipe and shows
// the answer. See HELP_TEXT in args.cpp for the command line and the exit codes.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/quote.h"
#include "ctl/args.h"
#include "ctl/connect.h"
#include "ctl/console.h"
#include "ctl/exchange.h"
#include "ctl/exit_code.h"
#include "ctl/input.h"
#include "ctl/reply.h"
#include "ctl/request_body.h"
#include "ctl/server_process.h"
#include "proto/frame.h"
#include "win/handle.h"
#include "win/utf.h"

namespace korvan::ctl {
namespace {

std::vector<std::string> arguments() {
    int count = 0;
    win::UniqueLocal argv(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::string> args;
    const auto* words = static_cast<wchar_t**>(argv.get());
    for (int i = 1; words != nullptr && i < count; ++i) {
        args.push_back(win::narrow(words[i]));
    }
    return args;
}

int fail(int exit_code, std::string_view message) {
    write_line(STD_ERROR_HANDLE, std::string(PROGRAM_NAME) + ": " + std::string(message));
    return exit_code;
}

std::string source_name(std::string_view path) {
    return path == "-" ? std::string("standard input") : in_quotes(path);
}

const std::string FRAME_LIMIT = std::to_string(proto::MAX_FRAME_LEN);

Result<std::string> start_body(const Invocation& invocation) {
    Result<std::string> config = read_input(invocation.config_path, proto::MAX_FRAME_LEN + 1);
    if (!config) {
        return prefixed("read config " + source_name(invocation.config_path), config.failure());
    }
    if (config->size() > proto::MAX_FRAME_LEN) {
        return Failure{"config " + source_name(invocation.config_path) + " is larger than " +
                       FRAME_LIMIT + " bytes, the most a request carries"};
    }
    Result<std::string> body = request_body(proto::request::Start{
        std::move(config.value()), invocation.secret, invocation.mixed_port, invocation.ctl_port});
    if (!body) {
        return prefixed("start", body.failure());
    }
    if (body->size() > proto::MAX_FRAME_LEN) {
        return Failure{"start: the request would be " + std::to_string(body->size()) +
                       " bytes, more than the " + FRAME_LIMIT + " a frame carries"};
    }
    return body;
}

Result<std::string> send_body(const Invocation& invocation) {
    Result<std::string> body = read_input(invocation.body_path, proto::MAX_FRAME_LEN + 1);
    if (!body) {
        return prefixed("read " + source_name(invocation.body_path), body.failure());
    }
    if (body->empty() || body->size() > proto::MAX_FRAME_LEN) {
        return Failure{
            "send: " + source_name(invocation.body_path) + " has " +
            (body->empty() ? std::string("no bytes") : "more than " + FRAME_LIMIT + " bytes") +
            "; a frame carries 1 to " + FRAME_LIMIT};
    }
    return body;
}

// The request body the invocation sends; not for Command::Help or Command::Version.
// Failures are usage errors.
Result<std::string> body_of(const Invocation& invocation) {
    switch (invocation.command) {
        case Command::Start:
            return start_body(invocation);
        case Command::Send:
            return send_body(invocation);
        case Command::Ping:
            return request_body(proto::request::Ping{});
        case Command::Status:
            return request_body(proto::request::Status{});
        case Command::Stop:
            return request_body(proto::request::Stop{});
        case Command::Help:
        case Command::Version:
            break;
    }
    return Failure{"no request for this command"};
}

int run(const Invocation& invocation) {
    Result<std::string> body = body_of(invocation);
    if (!body) {
        return fail(EXIT_USAGE, body.error());
    }
    const Deadline deadline = deadline_in(invocation.timeout_seconds);
    Result<win::UniqueHandle> client = open_pipe(invocation.pipe_name, deadline);
    if (!client) {
        return fail(EXIT_NO_ANSWER, client.error());
    }
    if (invocation.server_check) {
        if (Result<void> checked = verify_pipe_server(client->get()); !checked) {
            return fail(EXIT_NO_ANSWER, checked.error());
        }
    }
    Result<std::vector<std::uint8_t>> reply =
        exchange(client->get(),
                 std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body->data()),
                                               body->size()),
                 deadline);
    if (!reply) {
        return fail(EXIT_NO_ANSWER, reply.error());
    }
    const Outcome outcome = interpret_reply(
        invocation.command,
        std::string_view(reinterpret_cast<const char*>(reply->data()), reply->size()),
        invocation.json);
    if (outcome.out) {
        write_line(STD_OUTPUT_HANDLE, *outcome.out);
    }
    if (outcome.err) {
        fail(outcome.exit_code, *outcome.err);
    }
    return outcome.exit_code;
}

}  // namespace
}  // namespace korvan::ctl

int main() {
    using namespace korvan::ctl;
    const std::vector<std::string> args = arguments();
    korvan::Result<Invocation> invocation = parse_args(args);
    if (!invocation) {
        return fail(EXIT_USAGE, invocation.error() + " (see --help)");
    }
    if (invocation->command == Command::Help) {
        write_text(STD_OUTPUT_HANDLE, HELP_TEXT);
        return EXIT_OK;
    }
    if (invocation->command == Command::Version) {
        write_text(STD_OUTPUT_HANDLE, VERSION_TEXT);
        return EXIT_OK;
    }
    return run(invocation.value());
}
