#include "lock/removal_wait.h"

#include <fuse.h>

#include <cstdlib>
#include <cstring>

char lockfile_path[lock_path_size];

int check_lockfile(int argc, char **argv)
{
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    char *mountpoint = nullptr;
    int multithreaded = 0;
    int foreground = 0;
    if (fuse_parse_cmdline(&args, &mountpoint, &multithreaded, &foreground) < 0) {
        std::free(mountpoint);
        fuse_opt_free_args(&args);
        return -1;
    }
    int result = 0;
    if (mountpoint) {
        if (lockfile_path[0] != '\0')
            std::memset(lockfile_path, 0, sizeof lockfile_path);
        result = take_mount_lock(mountpoint, lockfile_path, 0751);
    }
    std::free(mountpoint);
    fuse_opt_free_args(&args);
    return result;
}
