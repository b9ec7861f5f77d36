#pragma once

// Texts for diagnostics: quoted, as in: string "a\"b\n", or put on one line.

#include <string>
#include <string_view>

namespace korvan {

// Appends `text` (UTF-8) in double quotes. The double quote and the backslash get a
// backslash before them; tab, carriage return, line feed and NUL are written \t, \r,
// \n and \0; every other control character (U+0001-U+001F, U+007F-U+009F) is written
// \u{hex} in lower case. Everything else, malformed UTF-8 included, is copied.
void append_quoted(std::string& out, std::string_view text);

// `text` quoted as append_quoted does.
std::string in_quotes(std::string_view text);

// `text` in double quotes as a Windows user types it, for paths and other words of a
// command line: backslashes and double quotes are copied, as in "C:\tmp\x"; control
// characters are escaped as append_quoted does, so that the text stays on one line.
std::string in_quotes_as_typed(std::string_view text);

// A text of the service's on one line, to be shown after other words: each CR LF, CR
// or LF becomes a blank; nothing else changes.
std::string one_line(std::string_view text);

}  // namespace korvan
