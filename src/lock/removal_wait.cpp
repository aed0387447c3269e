#include "lock/removal_wait.h"

#include "lock/inotify_scan.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

int wait_lockfile_removed()
{
    int fd = inotify_init1(IN_CLOEXEC);
    if (fd == -1)
        return -1;
    int wd = inotify_add_watch(fd, lockfile_path, IN_DELETE_SELF | IN_MOVE_SELF);
    if (wd == -1) {
        close(fd);
        return -1;
    }
    int result;
    pollfd watch = {fd, POLLIN, 0};
    int ready = poll(&watch, 1, 10000);
    if (ready <= 0) {
        result = ready == 0 ? 0 : -1;
    } else {
        char buffer[1024] = {};
        ssize_t n = read(fd, buffer, sizeof buffer);
        result = n <= 0 ? -1 : scan_inotify_events(buffer, static_cast<size_t>(n), wd);
    }
    inotify_rm_watch(fd, wd);
    close(fd);
    return result;
}

void wait_for_lockfile_removal()
{
    // The lock descriptor of this process keeps the file's inode alive, so a
    // removal shows only as a failed existence test after a quiet poll.
    while (access(lockfile_path, F_OK) == 0) {
        int result = wait_lockfile_removed();
        if (result == 1)
            return;
        if (result == 0)
            continue;
        for (int i = 0; i < 10; ++i) {
            if (access(lockfile_path, F_OK) != 0)
                return;
            sleep(1);
        }
    }
}
