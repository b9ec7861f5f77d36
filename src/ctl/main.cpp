// korvan-vpn-ctl: sends one request to the service over its control pipe and shows
// the answer. See HELP_TEXT in args.cpp for the command line and the exit codes.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "client/input.h"
#include "client/transact.h"
#include "common/quote.h"
#include "ctl/args.h"
#include "ctl/console.h"
#include "ctl/exit_code.h"
#include "ctl/names.h"
#include "ctl/reply.h"
#include "proto/encode.h"
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
    return path == "-" ? std::string("standard input") : in_quotes_as_typed(path);
}

const std::string FRAME_LIMIT = std::to_string(proto::MAX_FRAME_LEN);

Result<std::string> start_body(const Invocation& invocation) {
    Result<std::string> config =
        invocation.config_path == "-"
            ? client::read_config(GetStdHandle(STD_INPUT_HANDLE), source_name("-"))
            : client::read_config(invocation.config_path);
    if (!config) {
        return config.failure();
    }
    Result<std::string> body = proto::encode_request(proto::request::Start{
        std::move(config.value()), invocation.secret, invocation.mixed_port, invocation.ctl_port});
    if (!body) {
        return prefixed("start", body.failure());
    }
    return body;
}

// The bytes of the file at `path`, or of standard input for "-".
Result<std::string> read_input(std::string_view path, size_t limit) {
    if (path == "-") {
        return client::read_handle(GetStdHandle(STD_INPUT_HANDLE), limit);
    }
    return client::read_file(path, limit);
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
            return proto::encode_request(proto::request::Ping{});
        case Command::Status:
            return proto::encode_request(proto::request::Status{});
        case Command::Stop:
            return proto::encode_request(proto::request::Stop{});
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
    const client::Target target{
        invocation.pipe_name, win::deadline_in_ms(std::uint64_t{invocation.timeout_seconds} * 1000),
        invocation.server_check, " (--no-server-check skips this check)"};
    Result<std::string> reply = client::transact(target, body.value());
    if (!reply) {
        return fail(EXIT_NO_ANSWER, reply.error());
    }
    const Outcome outcome = interpret_reply(invocation.command, reply.value(), invocation.json);
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
