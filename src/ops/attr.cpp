#include "ops/host_path.h"
#include "ops/identity.h"
#include "ops/ops.h"

#include <sys/stat.h>

namespace ops {

int getattr(const char *path, struct stat *st, fuse_file_info *fi)
{
    // An open file answers from its descriptor, even when its name is gone;
    // a path never follows a final symbolic link.
    if (fi)
        return host_status(fstat(file_descriptor(fi), st));
    int result = in_parent(path, in_dir::look, [st](int dir, const char *name) {
        return fstatat(dir, name, st, at_flags(name, AT_SYMLINK_NOFOLLOW));
    });
    // The library asks whether a hidden name is free before it hides an
    // open file there.
    if (result == -ENOENT)
        note_free_hidden_name(path);
    return result;
}

} // namespace ops
