#pragma once

// The state of the registered service that a repair or an upgrade of the package must
// give back once it has replaced the files.

#include "common/result.h"

namespace korvan::msi {

// True when the service is registered, started (any state but stopped or stopping) and
// not disabled: the service the package stops must run again afterwards. False when it
// is stopped or stopping, disabled, or not registered at all.
// Errors: "open SCM: {}", "open service: {}", "query status: {}", "query config: {}",
// each with the Windows API text of the failed call.
Result<bool> service_to_restart();

}  // namespace korvan::msi
