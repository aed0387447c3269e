#include "ops/host_path.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace ops {

namespace {

int host_root = -1;
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

int open_relative(const char *relative_path, int flags, mode_t mode)
{
    if (!relative_path)
        return -ENAMETOOLONG;
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    // openat2 refuses a mode where nothing is created, and file-type bits.
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        how.mode = mode & 07777;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd = syscall(SYS_openat2, host_root, *relative_path ? relative_path : ".", &how, sizeof how);
    return fd == -1 ? neg_errno() : static_cast<int>(fd);
}

} // namespace

int pin_host_root()
{
    if (host_root < 0)
        host_root = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
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

int open_object(const char *path, int flags, mode_t mode)
{
    return open_relative(relative(path), flags, mode);
}

parent_of::parent_of(const char *path)
{
    const char *rest = relative(path);
    if (!rest) {
        dir = -ENAMETOOLONG;
        name = nullptr;
        return;
    }
    const char *slash = std::strrchr(rest, '/');
    if (!slash) {
        dir = host_root;
        name = *rest ? rest : ".";
        return;
    }
    name = slash + 1;
    size_t length = static_cast<size_t>(slash - rest);
    char parent[PATH_MAX];
    std::memcpy(parent, rest, length);
    parent[length] = '\0';
    dir = open_relative(parent, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
}

parent_of::~parent_of()
{
    if (dir >= 0 && dir != host_root)
        close(dir);
}

fd_path::fd_path(int fd)
{
    // By hand, so that a process forked from a threaded one may use it.
    static constexpr char prefix[] = "/proc/self/fd/";
    std::memcpy(text, prefix, sizeof prefix - 1);
    char digits[12];
    int count = 0;
    do
        digits[count++] = static_cast<char>('0' + fd % 10);
    while ((fd /= 10) > 0);
    char *out = text + sizeof prefix - 1;
    while (count > 0)
        *out++ = digits[--count];
    *out = '\0';
}

} // namespace ops
