#include "support/core_sandbox.h"

#include <gtest/gtest.h>

#include "support/folder_probes.h"

namespace korvan::test_support {

CoreSandbox::CoreSandbox() {
    EXPECT_TRUE(write_file(module_dir() + L"\\wintun-x86_64.dll", WINTUN_STANDIN));
}

LoggedSandbox::LoggedSandbox() {
    own_work_dir(program_data);
}

std::optional<CoreRecord> wait_for_record(const std::wstring& path) {
    for (int waited = 0; waited < 10000 && !exists(path); waited += 20) {
        Sleep(20);
    }
    const std::optional<std::string> text = read_file(path);
    if (!text) {
        return std::nullopt;
    }
    CoreRecord record;
    size_t start = 0;
    while (start < text->size()) {
        size_t end = text->find('\n', start);
        if (end == std::string::npos) {
            end = text->size();
        }
        const std::string line = text->substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            record[line.substr(0, equals)] = line.substr(equals + 1);
        }
        start = end + 1;
    }
    return record;
}

win::UniqueHandle duplicate(HANDLE process) {
    HANDLE copy = nullptr;
    EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    return win::UniqueHandle(copy);
}

Result<core::LaunchedCore> start_core(core::InstallFiles& install, std::string_view config_yaml) {
    Result<core::LaunchedCore> core = core::start_core_suspended(install, config_yaml);
    if (!core) {
        return core;
    }
    if (Result<void> resumed = core::resume_core(core.value()); !resumed) {
        return resumed.failure();
    }
    return core;
}

void end_core(core::LaunchedCore& core) {
    if (core.child.process) {
        TerminateProcess(core.child.process.get(), 99);
        WaitForSingleObject(core.child.process.get(), 10000);
    }
    core.job.reset();
}

}  // namespace korvan::test_support
