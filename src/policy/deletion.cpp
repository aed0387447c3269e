#include "policy/deletion.h"

#include "ops/hidden_pins.h"
#include "ops/host_path.h"
#include "policy/patterns.h"

#include <unistd.h>

int allow_delete = 0;

namespace ops {

namespace {

// The deletion policy for a name: whether its removal reaches the host.
bool removal_allowed(const char *path)
{
    return allow_delete || is_temporary_name(path);
}

} // namespace

int unlink(const char *path)
{
    // The library is done with a file it kept under a hidden name: the file
    // went where the policy said when its name did. That is the program's
    // own business, whoever's close it was.
    if (last_is_hidden(path)) {
        parent_of at(path, in_dir::own);
        if (at.dir >= 0 && at.pinned >= 0)
            return unpin(at.dir, at.name) ? 0 : -ENOENT;
    }
    // A refusal looks like success to the caller; the host file stays.
    if (!removal_allowed(path))
        return 0;
    return in_parent(path, in_dir::remove, [](int dir, const char *name) { return unlinkat(dir, name, 0); });
}

int rmdir(const char *path)
{
    if (!allow_delete)
        return 0;
    return in_parent(path, in_dir::remove, [](int dir, const char *name) { return unlinkat(dir, name, AT_REMOVEDIR); });
}

int hide_open_file(const char *from, const char *to)
{
    parent_of source(from, in_dir::remove);
    if (source.dir < 0)
        return source.dir;
    parent_of target(to);
    if (target.dir < 0)
        return target.dir;
    int object;
    if (source.pinned >= 0) {
        // Hidden again (a removal of the hidden name while it is open): the
        // file moves to the new name; the host has nothing under either.
        object = source.pinned;
        source.pinned = -1;
        unpin(source.dir, source.name);
    } else {
        object = openat(source.dir, source.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (object == -1)
            return neg_errno();
        if (removal_allowed(from) && unlinkat(source.dir, source.name, 0) == -1) {
            int error = neg_errno();
            close(object);
            return error;
        }
    }
    return pin(target.dir, target.name, object);
}

} // namespace ops
