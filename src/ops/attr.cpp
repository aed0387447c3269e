#include "ops/ops.h"

#include <sys/stat.h>

namespace ops {

int getattr(const char *path, struct stat *st, fuse_file_info *fi)
{
    // An open file answers from its descriptor, even when its name is gone;
    // a path never follows a final symbolic link.
    int result = fi ? fstat(file_descriptor(fi), st) : lstat(path, st);
    return result == -1 ? neg_errno() : 0;
}

} // namespace ops
