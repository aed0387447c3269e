// libfuse 3.17.1 and later: an open of a registered host file is answered
// with its backing id, and the library hands that to the kernel.
#include "ops/passthrough.h"

#include "ops/backing_files.h"
#include "ops/ops.h"

namespace ops {

namespace {

// Settled by init, before any file is opened.
bool passing_through = false;
// Whether the command line asked the library to keep pages between opens.
bool keep_pages = false;

} // namespace

bool passthrough_built()
{
    return true;
}

void request_passthrough(fuse_conn_info *conn, fuse_config *config)
{
    if (!have_backing_broker() || !(conn->capable_ext & FUSE_CAP_PASSTHROUGH) ||
        !fuse_set_feature_flag(conn, FUSE_CAP_PASSTHROUGH))
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
