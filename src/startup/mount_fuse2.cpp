// Set-up, serving and teardown with libfuse 2.9, and the wait for the lock
// file's removal at exit.
#include "lock/removal_wait.h"
#include "ops/host_path.h"
#include "ops/identity.h"
#include "ops/table.h"
#include "startup/startup.h"
#include "startup/unmount_guard.h"

#include <syslog.h>

int serve_mount(const startup_state &st)
{
    log_debug("Check lock file.");
    if (check_lockfile(st.fuse_argc, st.fuse_argv) < 0) {
        report_failure("check_lockfile failed",
                       "Failed to check lockfile. Maybe another process has already held the lock.");
        return 1;
    }
    log_debug("Try to setup fuse now.");
    char *mountpoint = nullptr;
    int multithreaded = 0;
    // Requests are resolved from the host's root as it stands before the mount.
    fuse *f = ops::pin_host_root() != 0 ? nullptr
              : fuse_setup(st.fuse_argc, st.fuse_argv, &operations, sizeof operations,
                           &mountpoint, &multithreaded, nullptr);
    if (!f) {
        report_failure("fuse_setup failed", "Failed to setup fuse.");
        return 1;
    }
    ops::set_mount_point(mountpoint);
    start_unmount_guard(mountpoint, -1, static_cast<uid_t>(st.uid), static_cast<gid_t>(st.gid));
    log_debug("Set groups, uid and gid.");
    int status = 1;
    if (drop_privileges(st.uid, st.gid) == 0) {
        log_debug("norra-brix-fuse is running.");
        ops::watch_callers();
        int result = multithreaded ? fuse_loop_mt(f) : fuse_loop(f);
        status = result == -1 ? 1 : 0;
    }
    log_debug("norra-brix-fuse is going to exit.");
    unmount_unless_privileged();
    fuse_teardown(f, mountpoint);
    stop_unmount_guard();
    return status;
}

void finish_process()
{
    wait_for_lockfile_removal();
    closelog();
}
