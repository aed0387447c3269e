// Libraries before libfuse 3.17.1: capabilities are asked for in the
// connection's want word, and every open is served by the program.
#include "ops/connection.h"

namespace ops {

bool want_capability(fuse_conn_info *conn, uint64_t capability)
{
    if (!(conn->capable & capability))
        return false;
    conn->want |= static_cast<unsigned>(capability);
    return true;
}

bool passthrough_built()
{
    return false;
}

void request_passthrough(fuse_conn_info *, fuse_config *) {}

void attach_open_file(fuse_file_info *) {}

void detach_open_file(const fuse_file_info *) {}

} // namespace ops
