// Where a request's path meets the host.
//
// The kernel resolved the caller's path, following its symbolic links and
// checking the caller's rights, before the request came; the host resolves
// the path again when a handler acts, with the served user's rights. What
// another user changes in between must not redirect the handler: so no
// component is resolved through a symbolic link (a path from the library
// never legitimately runs through one, so a link found there is a race and
// gets ELOOP), and resolution starts from a descriptor of the host's root
// taken before the mount. A path that runs through the mount point is
// shortened to what lies beyond it, which is what the host would find
// there, so that no request calls back into its own mount.
#pragma once

#include "ops/result.h"

#include <cstddef>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace ops {

// Settled before the event loop starts, only read while it runs.
// Opens the host's root for resolving (once); 0, or -1 with errno.
int pin_host_root();
// The mount point as the library resolved it (absolute, no symbolic link).
void set_mount_point(const char *mountpoint);

// A descriptor for path's object, opened with these open flags and mode;
// minus errno on failure.
int open_object(const char *path, int flags, mode_t mode = 0);

// The directory holding path's last component, open for the *at calls,
// and that component. dir is minus errno when it could not be resolved.
class parent_of {
public:
    explicit parent_of(const char *path);
    ~parent_of();
    parent_of(const parent_of &) = delete;
    parent_of &operator=(const parent_of &) = delete;

    int dir;
    const char *name;
};

// A descriptor's object as a path that host calls without an fd form take
// (extended attributes, chmod, truncate, umount): the kernel's own link to
// it, which leads to the object itself, never through a symbolic link.
struct fd_path {
    explicit fd_path(int fd);
    char text[32];
};

// call(dir, name) on path's parent and last component, by the result
// convention: its result, or minus errno when it returns -1.
template <typename Call>
int in_parent(const char *path, Call call)
{
    parent_of at(path);
    if (at.dir < 0)
        return at.dir;
    return static_cast<int>(host_result(call(at.dir, at.name)));
}

// The same for two paths (rename, link).
template <typename Call>
int in_parents(const char *from, const char *to, Call call)
{
    parent_of a(from);
    if (a.dir < 0)
        return a.dir;
    parent_of b(to);
    if (b.dir < 0)
        return b.dir;
    return static_cast<int>(host_result(call(a.dir, a.name, b.dir, b.name)));
}

// call(fd_path) on path's object, opened O_PATH with extra flags (O_NOFOLLOW
// where the call acts on a final symbolic link itself).
template <typename Call>
int on_object(const char *path, int extra_flags, Call call)
{
    int fd = open_object(path, O_PATH | O_CLOEXEC | extra_flags);
    if (fd < 0)
        return fd;
    int result = static_cast<int>(host_result(call(fd_path(fd).text)));
    close(fd);
    return result;
}

} // namespace ops
