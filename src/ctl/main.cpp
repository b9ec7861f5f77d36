// korvan-vpn-ctl: sends one request to the service over its control pipe and shows
// the answer. See HELP_TEXT in args.cpp for the command line and the exit codes.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "client/input.h"
#include "client/requests.h"
#include "common/quote.h"
#include "ctl/args.h"
#include "ctl/console.h"
#include "ctl/exit_code.h"
#include "ctl/names.h"
#include "ctl/reply.h"
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

// The start request, its configuration read from the file or standard input.
Result<client::StartRequest> start_request_of(const Invocation& invocation) {
    Result<std::string> config =
        invocation.config_path == "-"
            ? client::read_config(GetStdHandle(STD_INPUT_HANDLE), source_name("-"))
            : client::read_config(invocation.config_path);
    if (!config) {
        return config.failure();
    }
    Result<client::StartRequest> request = client::start_request(proto::request::Start{
        std::move(config.value()), invocation.secret, invocation.mixed_port, invocation.ctl_port});
    if (!request) {
        return prefixed("start", request.failure());
    }
    return request;
}

// The bytes of the file at `path`, or of standard input for "-".
Result<std::string> read_input(std::string_view path, size_t limit) {
    if (path == "-") {
        return client::read_handle(GetStdHandle(STD_INPUT_HANDLE), limit);
    }
    return client::read_file(path, limit);
}

// The body sent unchanged, from the file or standard input.
Result<std::string> send_body(const Invocation& invocation) {
    Result<std::string> body = read_input(invocation.body_path, proto::MAX_FRAME_LEN + 1);
    if (!body) {
        return prefixed("read " + source_name(invocation.body_path), body.failure());
    }
    if (!client::fits_one_frame(body->size())) {
        return Failure{
            "send: " + source_name(invocation.body_path) + " has " +
            (body->empty() ? std::string("no bytes") : "more than " + FRAME_LIMIT + " bytes") +
            "; " + client::one_frame_rule()};
    }
    return body;
}

// Where the request goes, its deadline starting now.
client::Target target_of(const Invocation& invocation) {
    return client::Target{invocation.pipe_name,
                          win::deadline_in_ms(std::uint64_t{invocation.timeout_seconds} * 1000),
                          invocation.server_check, " (--no-server-check skips this check)"};
}

// Prints what the tool shows for `reply` and returns the exit code.
template <class T>
int shown(const client::Reply<T>& reply, bool json) {
    const Outcome outcome = outcome_of(reply, json);
    if (outcome.out) {
        write_line(STD_OUTPUT_HANDLE, *outcome.out);
    }
    if (outcome.err) {
        fail(outcome.exit_code, *outcome.err);
    }
    return outcome.exit_code;
}

// Sends the invocation's request, once the files it names are read; not for
// Command::Help or Command::Version. A file that cannot be used is a usage error.
int run(const Invocation& invocation) {
    const bool json = invocation.json;
    switch (invocation.command) {
        case Command::Ping:
            return shown(client::ping(target_of(invocation)), json);
        case Command::Status:
            return shown(client::core_status(target_of(invocation)), json);
        case Command::Stop:
            return shown(client::stop_core(target_of(invocation)), json);
        case Command::Start: {
            Result<client::StartRequest> request = start_request_of(invocation);
            if (!request) {
                return fail(EXIT_USAGE, request.error());
            }
            return shown(client::start_core(target_of(invocation), request.value()), json);
        }
        case Command::Send: {
            Result<std::string> body = send_body(invocation);
            if (!body) {
                return fail(EXIT_USAGE, body.error());
            }
            return shown(client::send(target_of(invocation), body.value()), json);
        }
        case Command::Help:
        case Command::Version:
            break;
    }
    return fail(EXIT_USAGE, "no request for this command");
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
