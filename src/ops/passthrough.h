// Passing open files through to the kernel, which then reads, writes and
// maps their host files itself. Only libfuse 3.17.1 and later can ask for
// it; each build links the file that fits its library
// (passthrough_fuse317.cpp or passthrough_none.cpp).
#pragma once

#include "ops/fuse_compat.h"

// libfuse 3's configuration record; libfuse 2 has none.
struct fuse_config;

namespace ops {

// Whether this build can pass open files through at all (it then starts
// the broker that registers them).
bool passthrough_built();

// From init: asks for passthrough where the kernel offers it and the broker
// runs. A kept page cache and passthrough exclude each other, so the
// library's own page keeping (auto_cache, kernel_cache) then gives way to
// the program's, for the files served without.
void request_passthrough(fuse_conn_info *conn, fuse_config *config);

// After open or create stored the host descriptor in fi: how the kernel is
// to serve this open.
void attach_open_file(fuse_file_info *fi);

// From release, before the host descriptor is closed.
void detach_open_file(const fuse_file_info *fi);

} // namespace ops
