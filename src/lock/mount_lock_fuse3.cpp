#include "lock/lockfile.h"

#include <fuse.h>
#include <fuse_lowlevel.h>

#include <cstdlib>

int check_lockfile(int argc, char **argv)
{
    // A record of our own: the library parses a copy and leaves argv alone.
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    fuse_cmdline_opts opts{};
    if (fuse_parse_cmdline(&args, &opts) != 0) {
        std::free(opts.mountpoint);
        fuse_opt_free_args(&args);
        return -1;
    }
    int result = 0;
    if (opts.mountpoint) {
        char path[lock_path_size] = {};
        result = take_mount_lock(opts.mountpoint, path, 0750);
    }
    std::free(opts.mountpoint);
    fuse_opt_free_args(&args);
    return result;
}
