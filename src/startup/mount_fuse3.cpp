// Set-up, serving and teardown with libfuse 3.
#include "lock/lockfile.h"
#include "ops/table.h"
#include "startup/startup.h"

#include <fuse_lowlevel.h>

#include <cstdlib>
#include <syslog.h>

namespace {

// From the FUSE object to the end of the loop; fuse_new consumes args.
int run_fuse(fuse_args &args, const fuse_cmdline_opts &opts, const startup_state &st)
{
    log_debug("Try to setup fuse now.");
    fuse *f = fuse_new(&args, &operations, sizeof operations, nullptr);
    if (!f) {
        report_failure("fuse_new failed.", "Failed to allocate fuse.");
        return 1;
    }
    // The library must not be handed an absent mount point.
    if (!opts.mountpoint || fuse_mount(f, opts.mountpoint) != 0) {
        report_failure("fuse_mount failed.", "Failed to mount fuse");
        fuse_destroy(f);
        return 1;
    }
    int status = 1;
    fuse_session *session = fuse_get_session(f);
    if (fuse_daemonize(opts.foreground) != 0) {
        report_failure("fuse_daemonize failed.", "Failed to daemonize fuse.");
    } else if (fuse_set_signal_handlers(session) != 0) {
        report_failure("fuse_set_signal_handlers failed.",
                       "Failed to set signal handlers for fuse.");
    } else {
        log_debug("Set groups, uid and gid.");
        if (drop_privileges(st.uid, st.gid) == 0) {
            log_debug("norra-brix-fuse is running.");
            int result = opts.singlethread ? fuse_loop(f) : fuse_loop_mt(f, opts.clone_fd);
            log_debug("norra-brix-fuse is going to exit.");
            closelog();
            status = result == 0 ? 0 : 1;
        }
        fuse_remove_signal_handlers(session);
    }
    fuse_unmount(f);
    fuse_destroy(f);
    return status;
}

} // namespace

int serve_mount(const startup_state &st)
{
    fuse_args args = FUSE_ARGS_INIT(st.fuse_argc, st.fuse_argv);
    fuse_cmdline_opts opts{};
    int status = 1;
    if (fuse_parse_cmdline(&args, &opts) != 0) {
        report_failure("fuse_parse_cmdline failed.", "Failed to parse cmdline args.");
    } else {
        log_debug("Check lock file.");
        if (check_lockfile(st.fuse_argc, st.fuse_argv) < 0)
            report_failure("check_lockfile failed",
                           "Failed to check lockfile. Maybe another process has already held the lock.");
        else
            status = run_fuse(args, opts, st);
    }
    // The parser may have allocated both, whichever step failed.
    std::free(opts.mountpoint);
    fuse_opt_free_args(&args);
    return status;
}

void finish_process()
{
    // The log stays open to the end of the process unless the loop ran.
}
