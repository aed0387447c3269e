#pragma once

#include <cerrno>
#include <sys/types.h>

namespace ops {

// The failure result of a handler: minus the errno of the host call that
// just failed. Call it before anything else can change errno.
inline int neg_errno()
{
    return -errno;
}

// The result of a handler whose host call returns -1 on failure.
inline int host_status(int host_result)
{
    return host_result == -1 ? neg_errno() : 0;
}

// The result of a handler whose host call returns a count or 0, or -1.
inline ssize_t host_result(ssize_t host_result)
{
    return host_result == -1 ? neg_errno() : host_result;
}

} // namespace ops
