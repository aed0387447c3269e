#include "ops/ops.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace ops {

int readlink(const char *path, char *buffer, size_t size)
{
    // Room for the terminating zero; the library never passes 0, and 0
    // must not write before the buffer.
    if (size == 0)
        return -EINVAL;
    ssize_t length = ::readlink(path, buffer, size - 1);
    if (length == -1)
        return neg_errno();
    buffer[length] = '\0';
    return 0;
}

int mknod(const char *path, mode_t mode, dev_t device)
{
    if (S_ISFIFO(mode))
        return host_status(mkfifo(path, mode));
    return host_status(::mknod(path, mode, device));
}

int mkdir(const char *path, mode_t mode)
{
    return host_status(::mkdir(path, mode));
}

int symlink(const char *target, const char *path)
{
    return host_status(::symlink(target, path));
}

int rename(const char *from, const char *to, unsigned int flags)
{
    if (flags != 0)
        return -EINVAL;
    return host_status(::rename(from, to));
}

int link(const char *from, const char *to)
{
    return host_status(::link(from, to));
}

int chmod(const char *path, mode_t mode, fuse_file_info *fi)
{
    return host_status(fi ? fchmod(file_descriptor(fi), mode) : ::chmod(path, mode));
}

int chown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi)
{
    return host_status(fi ? fchown(file_descriptor(fi), uid, gid) : lchown(path, uid, gid));
}

int truncate(const char *path, off_t size, fuse_file_info *fi)
{
    return host_status(fi ? ftruncate(file_descriptor(fi), size) : ::truncate(path, size));
}

int utimens(const char *path, const struct timespec times[2], fuse_file_info *fi)
{
    // Paths are absolute, so the directory descriptor is never consulted.
    return host_status(fi ? futimens(file_descriptor(fi), times)
                     : utimensat(0, path, times, AT_SYMLINK_NOFOLLOW));
}

int access(const char *path, int mask)
{
    return host_status(::access(path, mask));
}

int statfs(const char *path, struct statvfs *st)
{
    return host_status(statvfs(path, st));
}

int setxattr(const char *path, const char *name, const char *value, size_t size, int flags)
{
    return host_status(lsetxattr(path, name, value, size, flags));
}

int getxattr(const char *path, const char *name, char *value, size_t size)
{
    int length = static_cast<int>(lgetxattr(path, name, value, size));
    return length == -1 ? neg_errno() : length;
}

int listxattr(const char *path, char *list, size_t size)
{
    int length = static_cast<int>(llistxattr(path, list, size));
    return length == -1 ? neg_errno() : length;
}

int removexattr(const char *path, const char *name)
{
    return host_status(lremovexattr(path, name));
}

} // namespace ops
