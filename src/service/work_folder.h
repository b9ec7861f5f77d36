#pragma once

// The work folder made before any start request needs it.

namespace korvan::service {

// Makes both levels of the work folder the service's own and records them
// (workdir::prepare_work_dir), and logs each level moved aside on the way. The service's
// own start calls it, before it serves anyone; the install makes the missing levels
// before that, so that they exist from the install on. A failure fails neither: each
// start request makes the levels as it always does, and answers with what keeps it from
// doing so.
void prepare_work_folder();

}  // namespace korvan::service
