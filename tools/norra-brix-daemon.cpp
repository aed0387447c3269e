// A stand-in for the launching daemon: starts a filesystem program as its
// direct child, turns SIGINT and SIGTERM into an unmount of the child's
// mount point and the release of its lock file, and returns the child's
// status. Processes that the child leaves behind (its lock helpers detach
// and end later) are adopted and reaped here, so none lingers as a zombie
// where the system's first process does not reap orphans. A dead mount of
// these programs that an earlier instance left at the mount point (it died
// before its own guard could remove it) is removed before the child starts.
//
//   norra-brix-daemon PROGRAM [ARGUMENT...]
//   norra-brix-daemon --remove-lock MOUNTPOINT
//   norra-brix-daemon --lock-file MOUNTPOINT   (prints the lock file's path)
#include "lock/lockfile.h"
#include "startup/unmount_guard.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The first argument that is neither an option nor an option's value, as the
// FUSE command-line parser finds it.
const char *find_mountpoint(int argc, char **argv)
{
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-u" || arg == "-g" || arg == "-o")
            ++i;
        else if (arg.empty() || arg[0] != '-')
            return argv[i];
    }
    return nullptr;
}

// The mount point as the programs' library resolves it. A dead mount cannot
// be resolved itself, so its parent is, and its name added.
std::string resolved_mountpoint(const char *mountpoint)
{
    char resolved[PATH_MAX];
    if (realpath(mountpoint, resolved))
        return resolved;
    std::string path = mountpoint;
    size_t slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (!realpath(parent.c_str(), resolved))
        return path;
    return std::string(resolved) + (resolved[1] ? "/" : "") + path.substr(slash + 1);
}

// The mount point's lock file, as the programs compute it; empty when the
// mount point is too long for one.
std::string lock_file(const char *mountpoint)
{
    char path[lock_path_size];
    return lock_file_path(resolved_mountpoint(mountpoint).c_str(), path) == 0 ? path : "";
}

// Removes the mount at mountpoint if it is one of these programs', no
// instance holds its lock, and its connection is dead. Never a live one,
// never another file system's.
void remove_dead_mount(const char *mountpoint)
{
    std::string path = resolved_mountpoint(mountpoint);
    mount_identity identity;
    std::string point, type;
    if (identify_mount(path.c_str(), identity) != 0 || !find_mount(identity.id, point, type) ||
        point != path || type.rfind("fuse.norra-brix-fuse", 0) != 0)
        return;
    std::string lock = lock_file(mountpoint);
    if (!lock.empty()) {
        int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
        bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (fd >= 0)
            close(fd);
        if (held)
            return;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOTCONN && unmount_if_same(path.c_str(), identity) == 0)
        std::fprintf(stderr, "norra-brix-daemon: removed a dead mount at %s\n", path.c_str());
}

// Moves the lock file away before removing it: a move is reported to a
// waiting program at once, a removal only once its own descriptor closes.
int remove_lock(const char *mountpoint)
{
    std::string path = lock_file(mountpoint);
    if (path.empty()) {
        std::fprintf(stderr, "norra-brix-daemon: mount point too long: %s\n", mountpoint);
        return -1;
    }
    std::string moved = path + ".released";
    if (rename(path.c_str(), moved.c_str()) == 0)
        return unlink(moved.c_str());
    return errno == ENOENT ? 0 : -1;
}

void unmount(const char *mountpoint)
{
    if (umount2(mountpoint, 0) != 0 && errno == EBUSY)
        umount2(mountpoint, MNT_DETACH);
}

int exit_status(int wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    return 128 + WTERMSIG(wait_status);
}

int run_child(int argc, char **argv)
{
    const char *mountpoint = find_mountpoint(argc - 1, argv + 1);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &signals, nullptr);

    if (mountpoint)
        remove_dead_mount(mountpoint);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    pid_t child = fork();
    if (child == -1) {
        std::perror("norra-brix-daemon: fork");
        return 1;
    }
    if (child == 0) {
        // A terminal's Ctrl-C reaches the launcher alone; the child ends
        // through the unmount.
        setpgid(0, 0);
        sigprocmask(SIG_UNBLOCK, &signals, nullptr);
        execv(argv[0], argv);
        std::fprintf(stderr, "norra-brix-daemon: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    for (;;) {
        int signal = sigwaitinfo(&signals, nullptr);
        if (signal == SIGCHLD) {
            int wait_status;
            pid_t ended;
            while ((ended = waitpid(-1, &wait_status, WNOHANG)) > 0)
                if (ended == child)
                    return exit_status(wait_status);
        } else if ((signal == SIGINT || signal == SIGTERM) && mountpoint) {
            unmount(mountpoint);
            remove_lock(mountpoint);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--remove-lock") == 0)
        return remove_lock(argv[2]) == 0 ? 0 : 1;
    if (argc == 3 && std::strcmp(argv[1], "--lock-file") == 0) {
        std::string path = lock_file(argv[2]);
        if (!path.empty())
            std::printf("%s\n", path.c_str());
        return path.empty() ? 1 : 0;
    }
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: norra-brix-daemon PROGRAM [ARGUMENT...]\n"
                             "       norra-brix-daemon --remove-lock MOUNTPOINT\n"
                             "       norra-brix-daemon --lock-file MOUNTPOINT\n");
        return 2;
    }
    return run_child(argc - 1, argv + 1);
}
