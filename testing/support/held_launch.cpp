#include "support/held_launch.h"

#include "support/core_sandbox.h"

namespace korvan::test_support {

namespace {

HeldLaunch* current = nullptr;

}  // namespace

HeldLaunch::HeldLaunch() {
    current = this;
}

HeldLaunch::~HeldLaunch() {
    SetEvent(release.get());
    current = nullptr;
}

Result<core::LaunchedCore> launch_when_released(core::InstallFiles& install,
                                                std::string_view config_yaml) {
    ++current->calls;
    SetEvent(current->entered.get());
    WaitForSingleObject(current->release.get(), INFINITE);
    Result<core::LaunchedCore> core = core::start_core_suspended(install, config_yaml);
    if (core) {
        current->process = duplicate(core->child.process.get());
    }
    return core;
}

}  // namespace korvan::test_support
