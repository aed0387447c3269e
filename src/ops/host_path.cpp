#include "ops/host_path.h"

#include "ops/hidden_pins.h"

#include <climits>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/xattr.h>

namespace ops {

namespace {

int host_root = -1;
int protected_hardlinks = 1;
// Empty when paths need no shortening: no mount point given, or "/", whose
// covered tree the pinned root still reaches.
char mount_point[PATH_MAX];
size_t mount_point_length = 0;

// The path relative to the host's root, past every leading pass through the
// mount point: /MNT/MNT/etc becomes etc, and / or /MNT the empty string.
// Null when the absolute path is longer than the host takes.
const char *relative(const char *path)
{
    if (mount_point_length)
        while (std::strncmp(path, mount_point, mount_point_length) == 0 &&
               (path[mount_point_length] == '/' || path[mount_point_length] == '\0'))
            path += mount_point_length;
    if (strnlen(path, PATH_MAX) == PATH_MAX)
        return nullptr;
    while (*path == '/')
        ++path;
    return path;
}

int open_at(int dir, const char *path, int flags, mode_t mode)
{
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    // openat2 refuses a mode where nothing is created, and file-type bits.
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        how.mode = mode & 07777;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd = syscall(SYS_openat2, dir, *path ? path : ".", &how, sizeof how);
    return fd == -1 ? neg_errno() : static_cast<int>(fd);
}

void close_dir(int dir)
{
    if (dir >= 0 && dir != host_root)
        close(dir);
}

// The directory of the first length bytes of rest (the root for none),
// opened one component at a time from the root, the caller's search right
// checked on each directory reached, that one included; its attributes in
// st. The directory, or minus errno.
int walk_checked(request_caller &caller, const char *rest, size_t length, struct stat &st)
{
    int dir = host_root;
    const char *at = rest, *end = rest + length;
    for (;;) {
        int denied = fstat(dir, &st) == -1 ? neg_errno() : caller_may(caller, dir, st, may_exec);
        if (denied != 0 || at >= end) {
            if (denied != 0)
                close_dir(dir);
            return denied != 0 ? denied : dir;
        }
        const char *slash = static_cast<const char *>(std::memchr(at, '/', static_cast<size_t>(end - at)));
        size_t size = static_cast<size_t>((slash ? slash : end) - at);
        char component[NAME_MAX + 1];
        if (size > NAME_MAX) {
            close_dir(dir);
            return -ENAMETOOLONG;
        }
        std::memcpy(component, at, size);
        component[size] = '\0';
        int next = open_at(dir, component, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
        close_dir(dir);
        if (next < 0)
            return next;
        dir = next;
        at = slash ? slash + 1 : end;
        while (at < end && *at == '/')
            ++at;
    }
}

// The directory of rest's last component: dir and name; checked for caller
// (when given) as what asks. Minus errno in dir on failure.
void resolve_parent(const char *rest, request_caller *caller, in_dir what, int &dir, const char *&name)
{
    const char *slash = std::strrchr(rest, '/');
    name = slash ? slash + 1 : (*rest ? rest : ".");
    size_t length = slash ? static_cast<size_t>(slash - rest) : 0;
    if (!caller) {
        if (!slash) {
            dir = host_root;
            return;
        }
        char parent[PATH_MAX];
        std::memcpy(parent, rest, length);
        parent[length] = '\0';
        dir = open_at(host_root, parent, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        return;
    }
    struct stat st;
    dir = walk_checked(*caller, rest, length, st);
    if (dir < 0 || what == in_dir::look)
        return;
    int denied = caller_may(*caller, dir, st, may_write | may_exec);
    struct stat entry;
    if (denied == 0 && what == in_dir::remove && fstatat(dir, name, &entry, AT_SYMLINK_NOFOLLOW) == 0)
        denied = sticky_rule(*caller, st, entry.st_uid);
    if (denied != 0) {
        close_dir(dir);
        dir = denied;
    }
}

// A descriptor of object opened anew with flags, through its link in /proc.
int reopen(int object, int flags)
{
    int fd = ::open(fd_path(object).text, (flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW)) | O_CLOEXEC);
    return fd == -1 ? neg_errno() : fd;
}

} // namespace

int pin_host_root()
{
    if (host_root < 0)
        host_root = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (FILE *setting = std::fopen("/proc/sys/fs/protected_hardlinks", "r")) {
        if (std::fscanf(setting, "%d", &protected_hardlinks) != 1)
            protected_hardlinks = 1;
        std::fclose(setting);
    }
    return host_root < 0 ? -1 : 0;
}

void set_mount_point(const char *mountpoint)
{
    size_t length = std::strlen(mountpoint);
    if (length >= sizeof mount_point || std::strcmp(mountpoint, "/") == 0)
        return;
    std::memcpy(mount_point, mountpoint, length + 1);
    mount_point_length = length;
}

parent_of::parent_of(const char *path, in_dir what)
{
    const char *rest = relative(path);
    if (!rest) {
        dir = -ENAMETOOLONG;
        name = nullptr;
        return;
    }
    request_caller caller;
    bool checked = what != in_dir::own && other_caller(caller);
    resolve_parent(rest, checked ? &caller : nullptr, what, dir, name);
    if (dir >= 0 && hidden_shape(name))
        pinned = pinned_copy(dir, name);
}

parent_of::~parent_of()
{
    close_dir(dir);
    if (pinned >= 0)
        close(pinned);
}

object_of::object_of(const char *path, int flags)
{
    const char *rest = relative(path);
    if (!rest) {
        fd = -ENAMETOOLONG;
        return;
    }
    other = other_caller(caller);
    if (!other && !last_is_hidden(rest)) {
        fd = open_at(host_root, rest, flags, 0);
        return;
    }
    int dir;
    const char *name;
    resolve_parent(rest, other ? &caller : nullptr, in_dir::look, dir, name);
    if (dir < 0) {
        fd = dir;
        return;
    }
    int pinned = hidden_shape(name) ? pinned_copy(dir, name) : -1;
    fd = pinned >= 0 ? ((flags & O_PATH) ? pinned : reopen(pinned, flags)) : open_at(dir, name, flags, 0);
    if (pinned >= 0 && fd != pinned)
        close(pinned);
    close_dir(dir);
}

object_of::~object_of()
{
    if (fd >= 0)
        close(fd);
}

int moved_directory_rule(const parent_of &from, const parent_of &to)
{
    request_caller caller;
    struct stat a, b;
    if (!other_caller(caller) || fstat(from.dir, &a) == -1 || fstat(to.dir, &b) == -1 ||
        (a.st_dev == b.st_dev && a.st_ino == b.st_ino))
        return 0;
    int object = openat(from.dir, from.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    int result = object >= 0 && fstat(object, &st) == 0 && S_ISDIR(st.st_mode)
                     ? caller_may(caller, object, st, may_write)
                     : 0;
    if (object >= 0)
        close(object);
    return result;
}

int hard_link_rule(request_caller &caller, int fd, const struct stat &st)
{
    if (!protected_hardlinks || caller.uid == st.st_uid)
        return 0;
    bool plain = S_ISREG(st.st_mode) && !(st.st_mode & S_ISUID) &&
                 (st.st_mode & (S_ISGID | S_IXGRP)) != (S_ISGID | S_IXGRP);
    return plain && caller_may(caller, fd, st, may_read | may_write) == 0 ? 0 : -EPERM;
}

mode_t umask_for(int dir, mode_t umask)
{
    if (!umask)
        return 0;
    return getxattr(fd_path(dir).text, "system.posix_acl_default", nullptr, 0) > 0 ? 0 : umask;
}

int open_object(const char *path, int flags, mode_t mode, int need, mode_t umask)
{
    const char *rest = relative(path);
    if (!rest)
        return -ENAMETOOLONG;
    request_caller caller;
    bool other = other_caller(caller);
    bool creating = (flags & O_CREAT) != 0;
    if (!other && !last_is_hidden(rest) && !(creating && umask))
        return open_at(host_root, rest, flags, mode);
    parent_of at(path);
    if (at.dir < 0)
        return at.dir;
    if (at.pinned >= 0)
        return creating && (flags & O_EXCL) ? -EEXIST : reopen(at.pinned, flags);
    if (creating)
        mode &= ~umask_for(at.dir, umask);
    if (!other)
        return open_at(at.dir, at.name, flags, mode);
    // Nothing is created, truncated or opened before the caller's rights on
    // what is there are checked. A name made by somebody else between the
    // look and the creation is looked at again.
    for (int round = 0; round < 3; ++round) {
        int object = open_at(at.dir, at.name, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
        if (object >= 0) {
            struct stat st;
            int result = fstat(object, &st) == -1               ? neg_errno()
                         : (flags & O_CREAT) && (flags & O_EXCL) ? -EEXIST
                         : S_ISLNK(st.st_mode)                   ? -ELOOP
                                                                 : caller_may(caller, object, st, need);
            if (result == 0)
                result = reopen(object, flags);
            close(object);
            return result;
        }
        if (object != -ENOENT || !(flags & O_CREAT))
            return object;
        struct stat dir_st;
        if (fstat(at.dir, &dir_st) == -1)
            return neg_errno();
        if (int denied = caller_may(caller, at.dir, dir_st, may_write | may_exec); denied != 0)
            return denied;
        int fd = open_at(at.dir, at.name, flags | O_EXCL, mode);
        if (fd != -EEXIST || (flags & O_EXCL))
            return fd;
    }
    return -EAGAIN;
}

} // namespace ops
