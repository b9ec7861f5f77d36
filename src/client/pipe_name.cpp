#include "client/pipe_name.h"

#include "common/names.h"

namespace korvan::client {

std::optional<std::string> full_pipe_name(std::string_view name) {
    constexpr std::string_view PIPE_PREFIX = names::PIPE_PREFIX_TEXT;
    if (name.starts_with(PIPE_PREFIX) && name.size() > PIPE_PREFIX.size()) {
        return std::string(name);
    }
    if (!name.empty() && name.find_first_of("\\/") == std::string_view::npos) {
        return std::string(PIPE_PREFIX) + std::string(name);
    }
    return std::nullopt;
}

}  // namespace korvan::client
