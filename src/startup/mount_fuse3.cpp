// Set-up, serving and teardown with libfuse 3.
#include "lock/lockfile.h"
#include "ops/host_path.h"
#include "ops/identity.h"
#include "ops/connection.h"
#include "ops/table.h"
#include "startup/startup.h"
#include "startup/unmount_guard.h"

#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <syslog.h>

namespace {

// What the program reads of the library's options: how many workers may
// serve, and whether the kernel checks callers itself.
struct pool_options {
    static constexpr unsigned unset = ~0u;
    unsigned max_threads = unset;
    unsigned max_idle_threads = unset;
    int default_permissions = 0;
};

// The library's parse reports a bound of ten workers where the command line
// gives none, and a pool that cannot grow stops serving everybody once that
// many requests wait (for a lock, say). Unless told otherwise the pool grows
// with the requests that wait, as libfuse 2 lets it, and keeps ten idle
// workers; the bound is the library's own ceiling for a sane value.
constexpr unsigned default_max_threads = 100000;
constexpr unsigned default_max_idle_threads = 10;

pool_options given_pool_options(const startup_state &st)
{
    static const fuse_opt pool_option_templates[] = {
        {"max_threads=%u", offsetof(pool_options, max_threads), 0},
        {"max_idle_threads=%u", offsetof(pool_options, max_idle_threads), 0},
        {"default_permissions", offsetof(pool_options, default_permissions), 1},
        FUSE_OPT_END,
    };
    fuse_args args = FUSE_ARGS_INIT(st.fuse_argc, st.fuse_argv);
    pool_options given;
    fuse_opt_parse(&args, &given, pool_option_templates, nullptr);
    fuse_opt_free_args(&args);
    return given;
}

int serve_requests(fuse *f, const fuse_cmdline_opts &opts, const startup_state &st)
{
    ops::want_access_lists(st.posix_acl && given_pool_options(st).default_permissions != 0);
    if (opts.singlethread)
        return fuse_loop(f);
    fuse_loop_config *pool = fuse_loop_cfg_create();
    if (!pool)
        return -ENOMEM;
    pool_options given = given_pool_options(st);
    fuse_loop_cfg_set_clone_fd(pool, static_cast<unsigned>(opts.clone_fd));
    fuse_loop_cfg_set_max_threads(pool, given.max_threads != pool_options::unset ? given.max_threads
                                                                                  : default_max_threads);
    fuse_loop_cfg_set_idle_threads(pool, given.max_idle_threads != pool_options::unset
                                             ? given.max_idle_threads
                                             : default_max_idle_threads);
    int result = fuse_loop_mt(f, pool);
    fuse_loop_cfg_destroy(pool);
    return result;
}

// From the FUSE object to the end of the loop; fuse_new consumes args.
int run_fuse(fuse_args &args, const fuse_cmdline_opts &opts, const startup_state &st)
{
    log_debug("Try to setup fuse now.");
    fuse *f = fuse_new(&args, &operations, sizeof operations, nullptr);
    if (!f) {
        report_failure("fuse_new failed.", "Failed to allocate fuse.");
        return 1;
    }
    // The library must not be handed an absent mount point. Requests are
    // resolved from the host's root as it stands before the mount.
    if (!opts.mountpoint || ops::pin_host_root() != 0 || fuse_mount(f, opts.mountpoint) != 0) {
        report_failure("fuse_mount failed.", "Failed to mount fuse");
        fuse_destroy(f);
        return 1;
    }
    ops::set_mount_point(opts.mountpoint);
    int status = 1;
    fuse_session *session = fuse_get_session(f);
    if (fuse_daemonize(opts.foreground) != 0) {
        report_failure("fuse_daemonize failed.", "Failed to daemonize fuse.");
    } else if (fuse_set_signal_handlers(session) != 0) {
        report_failure("fuse_set_signal_handlers failed.",
                       "Failed to set signal handlers for fuse.");
    } else {
        start_unmount_guard(opts.mountpoint, ops::passthrough_built() ? fuse_session_fd(session) : -1,
                            static_cast<uid_t>(st.uid), static_cast<gid_t>(st.gid));
        log_debug("Set groups, uid and gid.");
        if (drop_privileges(st.uid, st.gid) == 0) {
            log_debug("norra-brix-fuse is running.");
            ops::watch_callers();
            int result = serve_requests(f, opts, st);
            log_debug("norra-brix-fuse is going to exit.");
            closelog();
            status = result == 0 ? 0 : 1;
        }
        fuse_remove_signal_handlers(session);
    }
    unmount_unless_privileged();
    fuse_unmount(f);
    stop_unmount_guard();
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
