#include "ops/host_path.h"
#include "ops/identity.h"
#include "ops/ops.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace ops {

int readlink(const char *path, char *buffer, size_t size)
{
    // Room for the terminating zero; the library never passes 0, and 0
    // must not write before the buffer.
    if (size == 0)
        return -EINVAL;
    int length = in_parent(path, [=](int dir, const char *name) {
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
    return in_parent(path, [=](int dir, const char *name) {
        return S_ISFIFO(mode) ? mkfifoat(dir, name, mode) : mknodat(dir, name, mode, device);
    });
}

int mkdir(const char *path, mode_t mode)
{
    return in_parent(path, [=](int dir, const char *name) { return mkdirat(dir, name, mode); });
}

int symlink(const char *target, const char *path)
{
    return in_parent(path, [=](int dir, const char *name) { return symlinkat(target, dir, name); });
}

int rename(const char *from, const char *to, unsigned int flags)
{
    if (flags != 0)
        return -EINVAL;
    return in_parents(from, to, [](int from_dir, const char *from_name, int to_dir, const char *to_name) {
        return renameat(from_dir, from_name, to_dir, to_name);
    });
}

int link(const char *from, const char *to)
{
    return in_parents(from, to, [](int from_dir, const char *from_name, int to_dir, const char *to_name) {
        return linkat(from_dir, from_name, to_dir, to_name, 0);
    });
}

int chmod(const char *path, mode_t mode, fuse_file_info *fi)
{
    if (fi)
        return host_status(fchmod(file_descriptor(fi), mode));
    return on_object(path, 0, [=](const char *object) { return ::chmod(object, mode); });
}

int chown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi)
{
    if (fi)
        return host_status(fchown(file_descriptor(fi), uid, gid));
    return in_parent(path, [=](int dir, const char *name) {
        return fchownat(dir, name, uid, gid, AT_SYMLINK_NOFOLLOW);
    });
}

int truncate(const char *path, off_t size, fuse_file_info *fi)
{
    if (fi)
        return host_status(ftruncate(file_descriptor(fi), size));
    return on_object(path, 0, [=](const char *object) { return ::truncate(object, size); });
}

int utimens(const char *path, const struct timespec times[2], fuse_file_info *fi)
{
    if (fi)
        return host_status(futimens(file_descriptor(fi), times));
    return in_parent(path, [=](int dir, const char *name) {
        return utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW);
    });
}

int access(const char *path, int mask)
{
    return on_object(path, 0, [=](const char *object) { return ::access(object, mask); });
}

int statfs(const char *path, struct statvfs *st)
{
    return on_object(path, 0, [=](const char *object) { return statvfs(object, st); });
}

namespace {

// Linux 6.13 has extended-attribute calls relative to a directory, which act
// on a last component as the other *at calls do. Before it, the object is
// opened and reached through its descriptor's link, which costs a walk
// through /proc (2 to 3 us a call here; a write asks for one attribute).
constexpr long sys_setxattrat = 463, sys_getxattrat = 464, sys_listxattrat = 465, sys_removexattrat = 466;

struct xattr_args {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};

std::atomic<bool> no_xattr_at{false};

// at(dir, name) where the kernel has the calls, else by_link(object link);
// both act on a final symbolic link itself.
template <typename At, typename ByLink>
int xattr_call(const char *path, At at, ByLink by_link)
{
    if (!no_xattr_at.load(std::memory_order_relaxed)) {
        int result = in_parent(path, at);
        if (result != -ENOSYS)
            return result;
        no_xattr_at.store(true, std::memory_order_relaxed);
    }
    return on_object(path, O_NOFOLLOW, by_link);
}

} // namespace

void xattr_by_link_only()
{
    no_xattr_at = true;
}

int setxattr(const char *path, const char *name, const char *value, size_t size, int flags)
{
    return xattr_call(
        path,
        [=](int dir, const char *last) {
            xattr_args args = {reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size),
                               static_cast<uint32_t>(flags)};
            return syscall(sys_setxattrat, dir, last, AT_SYMLINK_NOFOLLOW, name, &args, sizeof args);
        },
        [=](const char *object) { return ::setxattr(object, name, value, size, flags); });
}

int getxattr(const char *path, const char *name, char *value, size_t size)
{
    return xattr_call(
        path,
        [=](int dir, const char *last) {
            xattr_args args = {reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
            return syscall(sys_getxattrat, dir, last, AT_SYMLINK_NOFOLLOW, name, &args, sizeof args);
        },
        [=](const char *object) { return ::getxattr(object, name, value, size); });
}

int listxattr(const char *path, char *list, size_t size)
{
    return xattr_call(
        path,
        [=](int dir, const char *last) { return syscall(sys_listxattrat, dir, last, AT_SYMLINK_NOFOLLOW, list, size); },
        [=](const char *object) { return ::listxattr(object, list, size); });
}

int removexattr(const char *path, const char *name)
{
    return xattr_call(
        path,
        [=](int dir, const char *last) { return syscall(sys_removexattrat, dir, last, AT_SYMLINK_NOFOLLOW, name); },
        [=](const char *object) { return ::removexattr(object, name); });
}

} // namespace ops
