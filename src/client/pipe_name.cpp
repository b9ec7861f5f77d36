#include "client/pipe_name.h"

#include "common/names.h"

namespace korvan::client {

std::optional<std::string> full_pipe_name(std::string_view name) {
    constexpr std::string_view PIPE_PREFIX = names::PIPE_PREFIX_TEXT;
    const std::string_view bare =
        name.starts_with(PIPE_PREFIX) ? name.substr(PIPE_PREFIX.size()) : name;
    if (bare.empty() || bare.find_first_of("\\/") != std::string_view::npos ||
        bare.find("..") != std::string_view::npos || bare.back() == '.' || bare.back() == ' ') {
        return std::nullopt;
    }
    return std::string(PIPE_PREFIX) + std::string(bare);
}

}  // namespace korvan::client
