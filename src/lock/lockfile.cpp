#include "lock/lockfile.h"

#include "exports.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int slash_to_underline(const char *src, char *dst)
{
    std::strcpy(dst, src);
    for (char *c = dst; *c; ++c)
        if (*c == '/')
            *c = '_';
    return 0;
}

int held_lock_descriptor = -1;

int test_lockfile(const char *path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd == -1)
        return -1;
    fchmod(fd, 0644);
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        close(fd);
        return -1;
    }
    // The descriptor stays open: the lock lasts as long as the process.
    held_lock_descriptor = fd;
    return 0;
}

int lock_file_path(const char *mountpoint, char *path)
{
    if (std::strlen(mountpoint) >= flat_name_size)
        return -1;
    char flat[flat_name_size] = {};
    slash_to_underline(mountpoint, flat);
    std::memset(path, 0, lock_path_size);
    std::snprintf(path, lock_path_size, "%s/.brix-%s", lock_directory, flat);
    return 0;
}

int take_mount_lock(const char *mountpoint, char *path, mode_t dir_mode)
{
    if (lock_file_path(mountpoint, path) != 0)
        return -1;
    // Failures here show when the lock file is opened.
    mkdir(lock_directory, dir_mode);
    chmod(lock_directory, dir_mode);
    return test_lockfile(path);
}
