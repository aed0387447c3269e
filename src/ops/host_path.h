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
//
// For callers other than root and the served user the path is resolved one
// directory at a time, and the caller's rights are checked on what is
// actually reached (ops/caller_access.h): search on every directory, write
// on the directory of a name made or removed, and on the object what the
// request asks for, before anything happens. A name the library hides an
// open file under leads to that file (ops/hidden_pins.h).
#pragma once

#include "ops/caller_access.h"
#include "ops/fd_path.h"
#include "ops/result.h"

#include <cstddef>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace ops {

// Settled before the event loop starts, only read while it runs.
// Opens the host's root for resolving (once); 0, or -1 with errno.
int pin_host_root();
// The mount point as the library resolved it (absolute, no symbolic link).
void set_mount_point(const char *mountpoint);

// A descriptor for path's object, opened with these open flags and mode
// (open, create, opendir); a caller other than root and the served user
// must be allowed need (may_read, may_write, may_exec) on an existing
// object, and write on its directory where it is created. A new file's
// mode loses umask unless its directory has a default access control list
// (which the host then applies instead). Minus errno on failure.
int open_object(const char *path, int flags, mode_t mode = 0, int need = 0, mode_t umask = 0);

// The umask a creation in dir applies: none where dir has a default access
// control list.
mode_t umask_for(int dir, mode_t umask);

// What a request does to the directory holding the name it acts on.
enum class in_dir {
    look,    // nothing: searching it is enough
    change,  // adds or removes a name: write as well
    remove,  // removes (or replaces) the name: and the sticky rule
    own,     // the program's own business: no caller is checked
};

// The directory holding path's last component, open for the *at calls, and
// that component; where the library keeps an open file under the name
// (a hidden name), pinned is a descriptor of that file.
class parent_of {
public:
    explicit parent_of(const char *path, in_dir what = in_dir::look);
    ~parent_of();
    parent_of(const parent_of &) = delete;
    parent_of &operator=(const parent_of &) = delete;

    int dir;  // minus errno when not resolved or not permitted
    const char *name;
    int pinned = -1;
};

// path's object itself, opened O_PATH (with O_NOFOLLOW among the flags, a
// final symbolic link itself), for *at calls with "" and AT_EMPTY_PATH, or
// through fd_path. For callers other than root and the served user,
// caller is theirs and the object has been reached by a checked walk.
class object_of {
public:
    object_of(const char *path, int flags);
    ~object_of();
    object_of(const object_of &) = delete;
    object_of &operator=(const object_of &) = delete;

    int fd;  // minus errno on failure
    bool other = false;
    request_caller caller;
};

// call(fd) on path's object, after check(caller, fd, attributes) has allowed
// it for a caller other than root and the served user (0, or minus errno).
template <typename Check, typename Call>
int on_object(const char *path, int flags, Check check, Call call)
{
    object_of object(path, O_PATH | O_CLOEXEC | flags);
    if (object.fd < 0)
        return object.fd;
    if (object.other) {
        struct stat st;
        if (fstat(object.fd, &st) == -1)
            return neg_errno();
        if (int denied = check(object.caller, object.fd, st); denied != 0)
            return denied;
    }
    return static_cast<int>(host_result(call(object.fd)));
}

// Checks for on_object.
inline int anyone(request_caller &, int, const struct stat &)
{
    return 0;
}
inline int owner_only(request_caller &caller, int, const struct stat &st)
{
    return caller.uid == st.st_uid ? 0 : -EPERM;
}
template <int mask>
int caller_needs(request_caller &caller, int fd, const struct stat &st)
{
    return caller_may(caller, fd, st, mask);
}

// The host's rule for a rename that moves a directory to another
// directory: a caller other than root and the served user must be allowed
// to write the directory moved (its ".." changes). 0, or minus errno.
int moved_directory_rule(const parent_of &from, const parent_of &to);

// The host's rule (fs.protected_hardlinks) for a hard link to the object
// fd: its owner, or one who may read and write a plain regular file.
int hard_link_rule(request_caller &caller, int fd, const struct stat &st);

// The kernel's mark on the open of a program being started.
inline constexpr int exec_open = 040;

// call(dir, name) on path's parent and last component, by the result
// convention: its result, or minus errno when it returns -1. A file kept
// under a hidden name comes as its descriptor and "", for *at calls that
// take at_flags.
template <typename Call>
int in_parent(const char *path, in_dir what, Call call)
{
    parent_of at(path, what);
    if (at.dir < 0)
        return at.dir;
    if (at.pinned >= 0)
        return static_cast<int>(host_result(call(at.pinned, "")));
    return static_cast<int>(host_result(call(at.dir, at.name)));
}

// The flags of an *at call on (dir, name) as in_parent and on_object give
// them: an empty name means dir itself.
inline int at_flags(const char *name, int flags)
{
    return *name ? flags : flags | AT_EMPTY_PATH;
}

} // namespace ops
