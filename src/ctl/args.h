#pragma once

// The tool's command line, read into a record. Pure: no Windows in here.
//
//   korvan-vpn-ctl [OPTIONS] ping | status | stop
//   korvan-vpn-ctl [OPTIONS] start --config FILE|- --mixed-port N --ctl-port N [--secret S]
//   korvan-vpn-ctl [OPTIONS] send FILE|-
//   korvan-vpn-ctl --help | --version
//
// Options may stand before or after the command; "--" ends them.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/names.h"
#include "common/result.h"

namespace korvan::ctl {

enum class Command { Help, Version, Ping, Status, Stop, Start, Send };

struct Invocation {
    Command command = Command::Help;
    // start
    std::string config_path;
    std::uint16_t mixed_port = 0;
    std::uint16_t ctl_port = 0;
    std::string secret;
    // send: a file, or "-" for standard input
    std::string body_path;
    // every command
    std::string pipe_name{names::PIPE_NAME_TEXT};
    unsigned timeout_seconds = 10;
    bool json = false;
    bool server_check = true;
};

inline constexpr unsigned MAX_TIMEOUT_SECONDS = 3600;

// `args` are UTF-8 and do not include the program name. "--help", "-h" or "help"
// anywhere (other than as an option's value) yields Command::Help whatever else is
// wrong; failing that, "--version" yields Command::Version the same way. A failure is
// the usage error's one-line text.
Result<Invocation> parse_args(std::span<const std::string> args);

// What --help prints.
extern const std::string_view HELP_TEXT;

// What --version prints: the tool's name and the product version, on one line.
extern const std::string_view VERSION_TEXT;

}  // namespace korvan::ctl
