#include "service/work_folder.h"

#include "log/service_log.h"
#include "workdir/provision.h"
#include "workdir/service_dir.h"

namespace korvan::service {

void prepare_work_folder() {
    const Result<workdir::ServiceDir> work = workdir::prepare_work_dir();
    if (!work) {
        return;
    }
    for (const workdir::MovedAside& moved : work->moved) {
        log::write_log(workdir::moved_aside_line(moved));
    }
}

}  // namespace korvan::service
