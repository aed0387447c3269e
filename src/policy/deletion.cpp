#include "policy/deletion.h"

#include "ops/host_path.h"
#include "policy/patterns.h"

#include <unistd.h>

int allow_delete = 0;

namespace ops {

int unlink(const char *path)
{
    // A refusal looks like success to the caller; the host file stays.
    if (!allow_delete && !is_temporary_name(path))
        return 0;
    return in_parent(path, [](int dir, const char *name) { return unlinkat(dir, name, 0); });
}

int rmdir(const char *path)
{
    if (!allow_delete)
        return 0;
    return in_parent(path, [](int dir, const char *name) { return unlinkat(dir, name, AT_REMOVEDIR); });
}

} // namespace ops
