#pragma once

// The command text the core is started with.

#include <initializer_list>
#include <string>
#include <string_view>

namespace korvan::core {

// `program` in double quotes, then each argument after one space. An argument is put
// in double quotes only when it is empty or holds a space or a tab. A double quote in
// an argument becomes a backslash and the quote, with the backslashes right before it
// doubled; in a quoted argument the backslashes at its end are doubled too.
std::wstring command_line(std::wstring_view program, std::initializer_list<std::wstring_view> args);

// `path` as a service's registered image path: in double quotes, by the same rules,
// when it is empty or holds a space, tab, line feed, vertical tab or double quote;
// otherwise unchanged.
std::wstring quoted_image_path(std::wstring_view path);

}  // namespace korvan::core
