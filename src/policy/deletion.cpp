#include "policy/deletion.h"

#include "ops/result.h"
#include "policy/patterns.h"

#include <unistd.h>

int allow_delete = 0;

namespace ops {

int unlink(const char *path)
{
    // A refusal looks like success to the caller; the host file stays.
    if (!allow_delete && !is_temporary_name(path))
        return 0;
    return host_status(::unlink(path));
}

int rmdir(const char *path)
{
    if (!allow_delete)
        return 0;
    return host_status(::rmdir(path));
}

} // namespace ops
