// libfuse 3.17.1 and later: capabilities are asked for through the
// library's feature flags (setting the old want word as well would make it
// refuse the connection), and an open of a registered host file is
// answered with its backing id, which the library hands to the kernel.
#include "ops/connection.h"

#include "ops/backing_files.h"
#include "ops/ops.h"

namespace ops {

namespace {

// Settled by init, before any file is opened.
bool passing_through = false;
// Whether the command line asked the library to keep pages between opens.
bool keep_pages = false;

} // namespace

bool want_capability(fuse_conn_info *conn, uint64_t capability)
{
    return (conn->capable_ext & capability) && fuse_set_feature_flag(conn, capability);
}

bool passthrough_built()
{
    return true;
}

void request_passthrough(fuse_conn_info *conn, fuse_config *config)
{
    if (!have_backing_broker() || !want_capability(conn, FUSE_CAP_PASSTHROUGH))
        return;
    passing_through = true;
    keep_pages = config->auto_cache || config->kernel_cache;
    config->auto_cache = 0;
    config->kernel_cache = 0;
}

void attach_open_file(fuse_file_info *fi)
{
    if (!passing_through)
        return;
    fi->backing_id = backing_for_open(file_descriptor(fi), fi->flags);
    // The kernel refuses a passed-through open that keeps pages. Where the
    // program serves the file, pages may stay between opens: before each
    // read the kernel compares the host's modification time and size with
    // what it cached, as the library's auto_cache would at each open.
    fi->keep_cache = fi->backing_id == 0 && keep_pages;
}

void detach_open_file(const fuse_file_info *fi)
{
    if (passing_through)
        backing_for_release(file_descriptor(fi));
}

} // namespace ops
