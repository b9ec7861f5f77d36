#include "ctl/args.h"

#include <optional>
#include <vector>

#include "client/pipe_name.h"
#include "common/quote.h"

namespace korvan::ctl {

const std::string_view HELP_TEXT =
    R"(usage: korvan-vpn-ctl [OPTIONS] COMMAND

Sends one request to the KorvanVPN service over its control pipe and shows the answer.

Commands:
  ping              ask for the protocol and service versions
  status            tell whether the core runs, and on which ports
  stop              end the core
  start --config FILE --mixed-port N --ctl-port N [--secret S]
                    start the core with the YAML configuration in FILE (- for
                    standard input); the ports (0 to 65535) are stored by the
                    service and reported back; the secret is sent and ignored
  send FILE         send the bytes of FILE (- for standard input) unchanged as one
                    request body, and show the answer

Options:
  --json            print the answer's JSON body exactly as received
  --timeout SECONDS give up after SECONDS (1 to 3600, default 10), counted from the
                    start: waiting for the pipe, sending, and reading the answer;
                    nothing is sent once they have passed, and a service that is
                    not installed or not running is reported at once
  --pipe NAME       talk to \\.\pipe\NAME (or a full \\.\pipe\ path) instead of
                    \\.\pipe\korvan-vpn-service
  --no-server-check talk to the pipe even when its server is not the process of the
                    installed service korvan-vpn-service
  -h, --help        show this help
  --version         show the tool's version

Exit codes:
  0   the service answered with success
  1   the service answered with an error
  2   no usable answer: the pipe cannot be reached, its server is not the service,
      no answer came in time, or the answer is malformed
  64  the command line is wrong, or a file it names cannot be read
)";

// The product version comes from the build, the project's version.
const std::string_view VERSION_TEXT = "korvan-vpn-ctl " KORVAN_PRODUCT_VERSION "\n";

namespace {

bool is_digits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// A decimal number of at most `max`, digits only.
std::optional<unsigned> parse_bounded(std::string_view text, unsigned max) {
    if (!is_digits(text)) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : text) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > max) {
            return std::nullopt;
        }
    }
    return value;
}

struct Seen {
    std::optional<std::string> command_word;
    std::vector<std::string> operands;
    std::optional<std::string> config;
    std::optional<std::string> mixed_port;
    std::optional<std::string> ctl_port;
    std::optional<std::string> secret;
    std::optional<std::string> timeout;
    std::optional<std::string> pipe;
    bool json = false;
    bool no_server_check = false;
    bool help = false;
    bool version = false;
};

std::optional<std::string>* value_slot(Seen& seen, std::string_view option) {
    if (option == "--config") {
        return &seen.config;
    }
    if (option == "--mixed-port") {
        return &seen.mixed_port;
    }
    if (option == "--ctl-port") {
        return &seen.ctl_port;
    }
    if (option == "--secret") {
        return &seen.secret;
    }
    if (option == "--timeout") {
        return &seen.timeout;
    }
    if (option == "--pipe") {
        return &seen.pipe;
    }
    return nullptr;
}

bool* flag_slot(Seen& seen, std::string_view option) {
    if (option == "--json") {
        return &seen.json;
    }
    if (option == "--no-server-check") {
        return &seen.no_server_check;
    }
    if (option == "--help" || option == "-h") {
        return &seen.help;
    }
    if (option == "--version") {
        return &seen.version;
    }
    return nullptr;
}

std::optional<Command> command_of(std::string_view word) {
    if (word == "ping") {
        return Command::Ping;
    }
    if (word == "status") {
        return Command::Status;
    }
    if (word == "stop") {
        return Command::Stop;
    }
    if (word == "start") {
        return Command::Start;
    }
    if (word == "send") {
        return Command::Send;
    }
    if (word == "help") {
        return Command::Help;
    }
    return std::nullopt;
}

// Reads the words into `seen`; the first fault is kept in `error` and reading goes on,
// so that a later --help still counts.
void scan(std::span<const std::string> args, Seen& seen, std::optional<std::string>& error) {
    auto fail = [&error](std::string text) {
        if (!error) {
            error = std::move(text);
        }
    };
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        const bool is_option = !options_ended && word.size() > 1 && word[0] == '-';
        if (!is_option) {
            if (!seen.command_word) {
                seen.command_word = word;
            } else {
                seen.operands.push_back(word);
            }
            continue;
        }
        if (word == "--") {
            options_ended = true;
        } else if (bool* flag = flag_slot(seen, word)) {
            if (*flag && word != "--help" && word != "-h" && word != "--version") {
                fail(word + " given twice");
            }
            *flag = true;
        } else if (std::optional<std::string>* slot = value_slot(seen, word)) {
            if (i + 1 == args.size()) {
                fail(word + " needs a value");
                continue;
            }
            if (*slot) {
                fail(word + " given twice");
            }
            *slot = args[++i];
        } else {
            fail("unknown option " + in_quotes_as_typed(word));
        }
    }
}

Result<std::uint16_t> port_value(std::string_view option, const std::string& text) {
    const std::optional<unsigned> port = parse_bounded(text, 65535);
    if (!port) {
        return Failure{std::string(option) + ": expected a port number from 0 to 65535, got " +
                       in_quotes_as_typed(text)};
    }
    return static_cast<std::uint16_t>(*port);
}

}  // namespace

Result<Invocation> parse_args(std::span<const std::string> args) {
    Seen seen;
    std::optional<std::string> error;
    scan(args, seen, error);
    if (seen.help || (seen.command_word && *seen.command_word == "help")) {
        return Invocation{};
    }
    if (seen.version) {
        Invocation version;
        version.command = Command::Version;
        return version;
    }
    if (error) {
        return Failure{*error};
    }
    if (!seen.command_word) {
        return Failure{"no command given"};
    }
    const std::optional<Command> command = command_of(*seen.command_word);
    if (!command) {
        return Failure{"unknown command " + in_quotes_as_typed(*seen.command_word)};
    }

    Invocation invocation;
    invocation.command = *command;
    invocation.json = seen.json;
    invocation.server_check = !seen.no_server_check;
    if (seen.timeout) {
        const std::optional<unsigned> seconds = parse_bounded(*seen.timeout, MAX_TIMEOUT_SECONDS);
        if (!seconds || *seconds == 0) {
            return Failure{"--timeout: expected whole seconds from 1 to " +
                           std::to_string(MAX_TIMEOUT_SECONDS) + ", got " +
                           in_quotes_as_typed(*seen.timeout)};
        }
        invocation.timeout_seconds = *seconds;
    }
    if (seen.pipe) {
        std::optional<std::string> name = client::full_pipe_name(*seen.pipe);
        if (!name) {
            return Failure{"--pipe: expected " + std::string(client::PIPE_NAME_RULE) + ", got " +
                           in_quotes_as_typed(*seen.pipe)};
        }
        invocation.pipe_name = std::move(*name);
    }

    if (*command != Command::Start) {
        for (const auto& [option, given] : {std::pair{"--config", seen.config.has_value()},
                                            std::pair{"--mixed-port", seen.mixed_port.has_value()},
                                            std::pair{"--ctl-port", seen.ctl_port.has_value()},
                                            std::pair{"--secret", seen.secret.has_value()}}) {
            if (given) {
                return Failure{std::string(option) + " is only for start"};
            }
        }
    }
    if (*command == Command::Send) {
        if (seen.operands.empty()) {
            return Failure{"send needs a FILE, or - for standard input"};
        }
        if (seen.operands.size() > 1) {
            return Failure{"unexpected argument " + in_quotes_as_typed(seen.operands[1]) +
                           " after send FILE"};
        }
        invocation.body_path = seen.operands[0];
        return invocation;
    }
    if (!seen.operands.empty()) {
        return Failure{"unexpected argument " + in_quotes_as_typed(seen.operands[0]) + " after " +
                       *seen.command_word};
    }
    if (*command == Command::Start) {
        if (!seen.config) {
            return Failure{"start needs --config FILE"};
        }
        if (!seen.mixed_port) {
            return Failure{"start needs --mixed-port N"};
        }
        if (!seen.ctl_port) {
            return Failure{"start needs --ctl-port N"};
        }
        if (seen.config->empty()) {
            return Failure{"--config: expected a file name, got \"\""};
        }
        Result<std::uint16_t> mixed = port_value("--mixed-port", *seen.mixed_port);
        if (!mixed) {
            return mixed.failure();
        }
        Result<std::uint16_t> ctl = port_value("--ctl-port", *seen.ctl_port);
        if (!ctl) {
            return ctl.failure();
        }
        invocation.config_path = *seen.config;
        invocation.mixed_port = mixed.value();
        invocation.ctl_port = ctl.value();
        invocation.secret = seen.secret.value_or("");
    }
    return invocation;
}

}  // namespace korvan::ctl
