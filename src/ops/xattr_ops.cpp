#include "ops/host_path.h"
#include "ops/ops.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <sys/syscall.h>
#include <sys/xattr.h>

namespace ops {

namespace {

// Linux 6.13 has extended-attribute calls relative to a directory, which act
// on a last component as the other *at calls do. Before it, the object is
// opened and reached through its descriptor's link, which costs a walk
// through /proc (2 to 3 us a call here; a write asks for one attribute).
// Callers other than root and the served user, and files kept under a
// hidden name, always take the second way: their checks need the object.
constexpr long sys_setxattrat = 463, sys_getxattrat = 464, sys_listxattrat = 465, sys_removexattrat = 466;

struct xattr_args {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};

std::atomic<bool> no_xattr_at{false};

bool named(const char *name, const char *prefix)
{
    return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

// The host's rules for a caller other than root and the served user: user
// attributes live on regular files and directories and follow their read
// and write rights (in a sticky directory only its owner writes them);
// trusted ones are root's; an access control list is changed by the owner.
auto attribute_rule(const char *name, bool write)
{
    return [=](request_caller &caller, int fd, const struct stat &st) {
        if (named(name, "trusted."))
            return write ? -EPERM : -ENODATA;
        if (named(name, "system.posix_acl_"))
            return write && caller.uid != st.st_uid ? -EPERM : 0;
        if (!named(name, "user."))
            return 0;
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
            return write ? -EPERM : -ENODATA;
        if (write && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && caller.uid != st.st_uid)
            return -EPERM;
        return caller_may(caller, fd, st, write ? may_write : may_read);
    };
}

// at(dir, name) where the kernel has the calls and no check needs the
// object, else by_link(object link) once check allows; both act on a
// final symbolic link itself.
template <typename Check, typename At, typename ByLink>
int xattr_call(const char *path, Check check, At at, ByLink by_link, bool unchecked = false)
{
    request_caller caller;
    if (!no_xattr_at.load(std::memory_order_relaxed) && (unchecked || !other_caller(caller))) {
        parent_of where(path);
        if (where.dir < 0)
            return where.dir;
        if (where.pinned < 0) {
            int result = static_cast<int>(host_result(at(where.dir, where.name)));
            if (result != -ENOSYS)
                return result;
            no_xattr_at.store(true, std::memory_order_relaxed);
        }
    }
    return on_object(path, O_NOFOLLOW, check, [&](int fd) { return by_link(fd_path(fd).text); });
}

} // namespace

void xattr_by_link_only()
{
    no_xattr_at = true;
}

int setxattr(const char *path, const char *name, const char *value, size_t size, int flags)
{
    return xattr_call(
        path, attribute_rule(name, true),
        [=](int dir, const char *last) {
            xattr_args args = {reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size),
                               static_cast<uint32_t>(flags)};
            return syscall(sys_setxattrat, dir, last, AT_SYMLINK_NOFOLLOW, name, &args, sizeof args);
        },
        [=](const char *object) { return ::setxattr(object, name, value, size, flags); });
}

int getxattr(const char *path, const char *name, char *value, size_t size)
{
    // The kernel reads an object's access control list at every check of a
    // caller's rights, which the host grants anyone who found the object;
    // what the program then does is checked on what it reaches anyway.
    return xattr_call(
        path, attribute_rule(name, false),
        [=](int dir, const char *last) {
            xattr_args args = {reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
            return syscall(sys_getxattrat, dir, last, AT_SYMLINK_NOFOLLOW, name, &args, sizeof args);
        },
        [=](const char *object) { return ::getxattr(object, name, value, size); }, named(name, "system.posix_acl_"));
}

int listxattr(const char *path, char *list, size_t size)
{
    return xattr_call(
        path, anyone,
        [=](int dir, const char *last) { return syscall(sys_listxattrat, dir, last, AT_SYMLINK_NOFOLLOW, list, size); },
        [=](const char *object) { return ::listxattr(object, list, size); });
}

int removexattr(const char *path, const char *name)
{
    return xattr_call(
        path, attribute_rule(name, true),
        [=](int dir, const char *last) { return syscall(sys_removexattrat, dir, last, AT_SYMLINK_NOFOLLOW, name); },
        [=](const char *object) { return ::removexattr(object, name); });
}

} // namespace ops
