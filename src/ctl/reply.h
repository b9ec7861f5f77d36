#pragma once

// What the tool shows for the service's reply, and its exit code. Pure: no Windows in
// here.

#include <optional>
#include <string>
#include <string_view>

#include "ctl/args.h"

namespace korvan::ctl {

struct Outcome {
    int exit_code = 0;
    // One line for standard output, without its line feed.
    std::optional<std::string> out;
    // One line for standard error, without the program's prefix and the line feed.
    std::optional<std::string> err;
};

// Reads the body of the reply to `command` (every answer kind is accepted for
// Command::Send; for the others only the matching kind or "error").
//
// A success answer gives EXIT_OK and its human line on `out`, such as
// "pong: protocol 1, service 1.0.0". An "error" answer gives EXIT_ANSWER_ERROR and
// "error {code}: {message}" on `err`. A body that is not JSON, not an object, has no
// known "ok", lacks a field or has one of the wrong type (members the tool does not
// know are ignored), or answers another request, gives EXIT_NO_ANSWER and says so on
// `err`.
//
// With `json`, `out` is the body exactly as received, whatever it holds; `err` and the
// exit code stay as above.
Outcome interpret_reply(Command command, std::string_view body, bool json);

}  // namespace korvan::ctl
