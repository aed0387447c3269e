#include "startup/unmount_guard.h"

#include "lock/lockfile.h"
#include "ops/backing_files.h"
#include "ops/host_path.h"
#include "startup/backing_broker.h"
#include "startup/mount_table.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

pid_t guard = -1;
int guard_pipe = -1;  // the server's end: closing it tells the guard to act

// Linux 6.8; not yet in every release's headers.
constexpr unsigned statx_unique_mount_id = 0x4000;

// The mount's root opened without crossing a symbolic link, and its
// identity read without a request to its filesystem; -1 on failure.
int open_mount_root(const char *path, mount_identity &out)
{
    int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct statx st;
    const int flags = AT_EMPTY_PATH | AT_STATX_DONT_SYNC;
    if (statx(fd, "", flags, STATX_MNT_ID, &st) != 0 || !(st.stx_mask & STATX_MNT_ID)) {
        close(fd);
        return -1;
    }
    out.id = st.stx_mnt_id;
    out.device = makedev(st.stx_dev_major, st.stx_dev_minor);
    out.unique_id = statx(fd, "", flags, statx_unique_mount_id, &st) == 0 &&
                            (st.stx_mask & statx_unique_mount_id)
                        ? st.stx_mnt_id
                        : 0;
    return fd;
}

bool same_mount(const mount_identity &a, const mount_identity &b)
{
    if (a.unique_id && b.unique_id)
        return a.unique_id == b.unique_id;
    std::string point, type;
    return a.id == b.id && a.device == b.device && find_mount(a.id, point, type) &&
           type.rfind("fuse", 0) == 0;
}

// Closes every descriptor but those given (-1: none).
void close_all_but(std::initializer_list<int> kept)
{
    unsigned next = 0;
    for (;;) {
        // The lowest kept descriptor at or above next.
        int low = -1;
        for (int fd : kept)
            if (fd >= 0 && static_cast<unsigned>(fd) >= next && (low < 0 || fd < low))
                low = fd;
        if (low < 0)
            break;
        if (static_cast<unsigned>(low) > next)
            close_range(next, static_cast<unsigned>(low) - 1, 0);
        next = static_cast<unsigned>(low) + 1;
    }
    close_range(next, ~0u, 0);
}

// What the guard keeps of root's rights: to unmount, and to reach the mount
// point through directories that only their owners may search.
void keep_only_unmount_right()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    data[0].effective = data[0].permitted = (1u << CAP_SYS_ADMIN) | (1u << CAP_DAC_READ_SEARCH);
    syscall(SYS_capset, &header, data);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

// What the guard is started with: the pipe it waits on, and where open
// files are passed through, the device and the socket the broker serves.
struct guard_start {
    int wait_end;
    int device;
    int channel;
    uid_t uid;
    gid_t gid;
};

[[noreturn]] void guard_main(const guard_start &start, const char *mountpoint, mount_identity identity)
{
    // Nothing of the server stays open here but its lock: not its device,
    // whose last close ends the connection, nor a terminal. Only the broker
    // keeps a copy of the device, and it ends with the server.
    close_all_but({start.wait_end, held_lock_descriptor, start.device, start.channel});
    setsid();
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGUSR1, SIGUSR2})
        sigaction(signal, &ignore, nullptr);
    // The broker needs credentials of its own (the served user's), and the
    // guard root's search right to reach the mount point again: two
    // processes, the broker the guard's child so that the guard can wait
    // for the device copy to go.
    pid_t broker = start.channel >= 0 ? fork() : -1;
    if (broker == 0) {
        close_all_but({start.channel, start.device});
        run_backing_broker(start.channel, start.device, start.uid, start.gid);
    }
    if (start.channel >= 0)
        close(start.channel);
    if (start.device >= 0)
        close(start.device);
    // Named only now: whoever finds the guard by its name finds it holding
    // no copy of the device, so stopping it cannot keep a dead server's
    // mount alive.
    prctl(PR_SET_NAME, "brix-unmount", 0, 0, 0);
    keep_only_unmount_right();
    char byte;
    while (read(start.wait_end, &byte, 1) == -1 && errno == EINTR) {
    }
    while (broker > 0 && waitpid(broker, nullptr, 0) == -1 && errno == EINTR) {
    }
    unmount_if_same(mountpoint, identity);
    _exit(0);
}

} // namespace

int identify_mount(const char *path, mount_identity &out)
{
    int fd = open_mount_root(path, out);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

int unmount_if_same(const char *path, const mount_identity &identity)
{
    mount_identity found;
    int fd = open_mount_root(path, found);
    if (fd < 0)
        return -1;
    // Through the descriptor, the unmount reaches the mount just compared
    // whatever is mounted at the path meanwhile.
    int result = same_mount(found, identity) ? umount2(ops::fd_path(fd).text, MNT_DETACH) : -1;
    close(fd);
    return result;
}

bool find_mount(uint64_t id, std::string &point, std::string &type)
{
    for (const mount_entry &m : mount_table())
        if (m.id == id) {
            point = m.point;
            type = m.type;
            return true;
        }
    return false;
}

void start_unmount_guard(const char *mountpoint, int device, uid_t uid, gid_t gid)
{
    mount_identity identity;
    int ends[2];
    if (!mountpoint || identify_mount(mountpoint, identity) != 0 || pipe2(ends, O_CLOEXEC) != 0)
        return;
    int channel[2] = {-1, -1};
    if (device >= 0 && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0)
        channel[0] = channel[1] = -1;
    pid_t pid = fork();
    if (pid == 0)
        guard_main({ends[0], channel[1] >= 0 ? device : -1, channel[1], uid, gid}, mountpoint, identity);
    close(ends[0]);
    if (channel[1] >= 0)
        close(channel[1]);
    if (pid < 0) {
        close(ends[1]);
        if (channel[0] >= 0)
            close(channel[0]);
        return;
    }
    guard = pid;
    guard_pipe = ends[1];
    ops::set_backing_broker(channel[0]);
}

void unmount_unless_privileged()
{
    if (geteuid() != 0)
        stop_unmount_guard();
}

void stop_unmount_guard()
{
    if (guard < 0)
        return;
    // The broker's device copy goes first; the guard waits for it.
    ops::set_backing_broker(-1);
    close(guard_pipe);
    while (waitpid(guard, nullptr, 0) == -1 && errno == EINTR) {
    }
    guard = -1;
}
