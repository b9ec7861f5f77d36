#include "workdir/program_data.h"

#include <optional>

#include "win/paths.h"

namespace korvan::workdir {

Result<std::wstring> program_data_for_start() {
    std::optional<std::wstring> program_data = win::env_var(win::PROGRAM_DATA_VAR);
    if (!program_data) {
        return Failure{std::string(PROGRAM_DATA_NOT_SET)};
    }
    return std::move(*program_data);
}

std::wstring program_data_for_log() {
    return win::env_var(win::PROGRAM_DATA_VAR).value_or(FALLBACK_PROGRAM_DATA);
}

}  // namespace korvan::workdir
