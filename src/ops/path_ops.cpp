#include "ops/host_path.h"
#include "ops/identity.h"
#include "ops/ops.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ops {

namespace {

// The host's rule for chmod: only the owner; except that the kernel clears
// the set-id bits of a file that anyone who may write it writes into, and
// asks for that as a change of mode on the writer's behalf.
auto chmod_rule(mode_t mode)
{
    return [=](request_caller &caller, int fd, const struct stat &st) {
        if (caller.uid == st.st_uid)
            return 0;
        mode_t now = st.st_mode & 07777;
        bool clears_set_id = (mode & 07777) != now && (mode & 07777) == (now & ~mode_t{S_ISUID | S_ISGID});
        return clears_set_id && caller_may(caller, fd, st, may_write) == 0 ? 0 : -EPERM;
    };
}

// The host's rule for chown by someone other than root: only the owner,
// never to another owner, and only to a group of its own.
auto chown_rule(uid_t uid, gid_t gid)
{
    return [=](request_caller &caller, int, const struct stat &st) {
        if (caller.uid != st.st_uid || (uid != static_cast<uid_t>(-1) && uid != st.st_uid))
            return -EPERM;
        return gid == static_cast<gid_t>(-1) || gid == st.st_gid || caller.in_group(gid) ? 0 : -EPERM;
    };
}

// The host's rule for times: the owner sets any (others get EPERM);
// anybody who may write sets them to the current time (others get EACCES);
// leaving both alone needs nothing.
auto times_rule(const struct timespec times[2])
{
    bool now_only = times[0].tv_nsec == UTIME_NOW || times[0].tv_nsec == UTIME_OMIT;
    now_only = now_only && (times[1].tv_nsec == UTIME_NOW || times[1].tv_nsec == UTIME_OMIT);
    bool nothing = times[0].tv_nsec == UTIME_OMIT && times[1].tv_nsec == UTIME_OMIT;
    return [=](request_caller &caller, int fd, const struct stat &st) {
        if (nothing || caller.uid == st.st_uid)
            return 0;
        return !now_only ? -EPERM : caller_may(caller, fd, st, may_write);
    };
}

} // namespace

int readlink(const char *path, char *buffer, size_t size)
{
    // Room for the terminating zero; the library never passes 0, and 0
    // must not write before the buffer.
    if (size == 0)
        return -EINVAL;
    int length = in_parent(path, in_dir::look, [=](int dir, const char *name) {
        return readlinkat(dir, name, buffer, size - 1);
    });
    if (length < 0)
        return length;
    buffer[length] = '\0';
    return 0;
}

int mknod(const char *path, mode_t mode, dev_t device)
{
    mode = creation_mode(mode);
    mode_t umask = creation_umask();
    return in_parent(path, in_dir::change, [=](int dir, const char *name) {
        mode_t made = mode & ~umask_for(dir, umask);
        return S_ISFIFO(made) ? mkfifoat(dir, name, made) : mknodat(dir, name, made, device);
    });
}

int mkdir(const char *path, mode_t mode)
{
    mode_t umask = creation_umask();
    return in_parent(path, in_dir::change, [=](int dir, const char *name) {
        return mkdirat(dir, name, mode & ~umask_for(dir, umask));
    });
}

int symlink(const char *target, const char *path)
{
    return in_parent(path, in_dir::change, [=](int dir, const char *name) { return symlinkat(target, dir, name); });
}

int rename(const char *from, const char *to, unsigned int flags)
{
    if (flags != 0)
        return -EINVAL;
    if (hiding_step(to))
        return hide_open_file(from, to);
    parent_of source(from, in_dir::remove);
    if (source.dir < 0)
        return source.dir;
    parent_of target(to, in_dir::remove);
    if (target.dir < 0)
        return target.dir;
    // A file the library keeps under a hidden name has no host name to move.
    if (source.pinned >= 0)
        return -EBUSY;
    if (int denied = moved_directory_rule(source, target); denied != 0)
        return denied;
    return host_status(renameat(source.dir, source.name, target.dir, target.name));
}

int link(const char *from, const char *to)
{
    parent_of target(to, in_dir::change);
    if (target.dir < 0)
        return target.dir;
    object_of source(from, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (source.fd < 0)
        return source.fd;
    struct stat st;
    if (fstat(source.fd, &st) == -1)
        return neg_errno();
    if (source.other)
        if (int denied = hard_link_rule(source.caller, source.fd, st); denied != 0)
            return denied;
    // The object itself, through its link in /proc; a symbolic link (which
    // that link would lead through) by its name.
    if (!S_ISLNK(st.st_mode))
        return host_status(linkat(AT_FDCWD, fd_path(source.fd).text, target.dir, target.name, AT_SYMLINK_FOLLOW));
    parent_of at(from);
    return at.dir < 0 ? at.dir : host_status(linkat(at.dir, at.name, target.dir, target.name, 0));
}

int chmod(const char *path, mode_t mode, fuse_file_info *fi)
{
    if (fi)
        return host_status(fchmod(file_descriptor(fi), mode));
    return on_object(path, 0, chmod_rule(mode), [=](int fd) { return ::chmod(fd_path(fd).text, mode); });
}

int chown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi)
{
    if (fi)
        return host_status(fchown(file_descriptor(fi), uid, gid));
    return on_object(path, O_NOFOLLOW, chown_rule(uid, gid), [=](int fd) {
        return fchownat(fd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
    });
}

int truncate(const char *path, off_t size, fuse_file_info *fi)
{
    if (fi)
        return host_status(ftruncate(file_descriptor(fi), size));
    return on_object(path, 0, caller_needs<may_write>, [=](int fd) { return ::truncate(fd_path(fd).text, size); });
}

int utimens(const char *path, const struct timespec times[2], fuse_file_info *fi)
{
    if (fi)
        return host_status(futimens(file_descriptor(fi), times));
    return on_object(path, O_NOFOLLOW, times_rule(times), [=](int fd) {
        return utimensat(fd, "", times, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
    });
}

int access(const char *path, int mask)
{
    auto rule = [=](request_caller &caller, int fd, const struct stat &st) {
        return caller_may(caller, fd, st, mask & (R_OK | W_OK | X_OK));
    };
    return on_object(path, 0, rule, [=](int fd) { return ::access(fd_path(fd).text, mask); });
}

int statfs(const char *path, struct statvfs *st)
{
    return on_object(path, 0, anyone, [=](int fd) { return statvfs(fd_path(fd).text, st); });
}

} // namespace ops
