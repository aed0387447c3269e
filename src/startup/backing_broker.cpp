#include "startup/backing_broker.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unordered_set>

namespace {

// Linux 6.9; older release headers lack them.
struct fuse_backing_map {
    int32_t fd;
    uint32_t flags;
    uint64_t padding;
};
constexpr unsigned long backing_open_ioctl = _IOW(229, 1, fuse_backing_map);
constexpr unsigned long backing_close_ioctl = _IOW(229, 2, uint32_t);

// The served user's ids and groups, with the right to register kept across
// the change of user and every other capability gone: the kernel keeps
// these credentials for the registered files' I/O.
bool take_served_identity(uid_t uid, gid_t gid)
{
    const gid_t groups[1] = {gid};
    if (setgroups(1, groups) != 0 || setresgid(gid, gid, gid) != 0 ||
        prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0 || setresuid(uid, uid, uid) != 0)
        return false;
    uint32_t kept = 1u << CAP_SYS_ADMIN;
    if (uid == 0)
        kept |= 1u << CAP_FSETID;
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    data[0].effective = data[0].permitted = kept;
    return syscall(SYS_capset, &header, data) == 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

std::unordered_set<int32_t> &held_ids = *new std::unordered_set<int32_t>;

int32_t register_file(int device, int fd)
{
    struct stat st;
    int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || flags == -1)
        return -errno;
    if (!S_ISREG(st.st_mode) || (flags & O_PATH) || (flags & O_ACCMODE) != O_RDWR)
        return -EINVAL;
    if (held_ids.size() >= max_backing_ids)
        return -ENFILE;
    fuse_backing_map map = {fd, 0, 0};
    int id = ioctl(device, backing_open_ioctl, &map);
    if (id <= 0)
        return id == 0 ? -EIO : -errno;
    held_ids.insert(id);
    return id;
}

int32_t release_file(int device, int32_t id)
{
    if (held_ids.erase(id) == 0)
        return -ENOENT;
    uint32_t value = static_cast<uint32_t>(id);
    return ioctl(device, backing_close_ioctl, &value) == 0 ? 0 : -errno;
}

// One request: its message and the descriptors that came with it (at most
// one is used; any others are closed). Zero when the server went.
ssize_t receive(int channel, backing_message &message, int &fd)
{
    char control[CMSG_SPACE(4 * sizeof(int))];
    iovec part = {&message, sizeof message};
    msghdr header = {};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t n;
    while ((n = recvmsg(channel, &header, MSG_CMSG_CLOEXEC)) == -1 && errno == EINTR) {
    }
    fd = -1;
    for (cmsghdr *c = n > 0 ? CMSG_FIRSTHDR(&header) : nullptr; c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
            if (fd < 0)
                fd = received;
            else
                close(received);
        }
    }
    if (n > 0 && n != static_cast<ssize_t>(sizeof message))
        message.op = 0;
    return n;
}

} // namespace

int32_t ask_backing_broker(int channel, backing_message message, int fd)
{
    iovec part = {&message, sizeof message};
    msghdr header = {};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    backing_message answer{};
    if (sendmsg(channel, &header, MSG_NOSIGNAL) != sizeof message ||
        recv(channel, &answer, sizeof answer, 0) != sizeof answer)
        return -EPIPE;
    return answer.value;
}

void run_backing_broker(int channel, int device, uid_t uid, gid_t gid)
{
    prctl(PR_SET_NAME, "brix-backing", 0, 0, 0);
    if (!take_served_identity(uid, gid))
        _exit(1);
    backing_message message;
    int fd;
    while (receive(channel, message, fd) > 0) {
        int32_t reply = -EINVAL;
        if (message.op == backing_register && fd >= 0)
            reply = register_file(device, fd);
        else if (message.op == backing_release && fd < 0)
            reply = release_file(device, message.value);
        if (fd >= 0)
            close(fd);
        backing_message answer = {message.op, reply};
        if (send(channel, &answer, sizeof answer, MSG_NOSIGNAL) != sizeof answer)
            break;
    }
    // The device goes before the mount does: a copy kept past the server's
    // end would keep the connection alive with nobody serving it.
    close(device);
    _exit(0);
}
