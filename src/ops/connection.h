// What the program asks of the kernel's side of the connection, which
// libfuse 3.17 asks for differently from earlier libraries: each build
// links the file that fits its library (connection_fuse317.cpp, or
// connection_older.cpp for libfuse 3 before 3.17.1 and libfuse 2).
//
// Passing open files through: the kernel then reads, writes and maps their
// host files itself. Only libfuse 3.17.1 and later can ask for it.
#pragma once

#include "ops/fuse_compat.h"

#include <cstdint>

// libfuse 3's configuration record; libfuse 2 has none.
struct fuse_config;

namespace ops {

// Asks for a capability of the connection where the kernel offers it;
// whether it is granted.
bool want_capability(fuse_conn_info *conn, uint64_t capability);

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
