#include "ops/host_path.h"
#include "ops/ops.h"

#include <sys/stat.h>

namespace ops {

int getattr(const char *path, struct stat *st, fuse_file_info *fi)
{
    // An open file answers from its descriptor, even when its name is gone;
    // a path never follows a final symbolic link.
    if (fi)
        return host_status(fstat(file_descriptor(fi), st));
    return in_parent(path, [st](int dir, const char *name) {
        return fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW);
    });
}

} // namespace ops
