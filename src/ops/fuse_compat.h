// The little that shared handler code must do differently for libfuse 2.9
// and libfuse 3. FUSE_USE_VERSION comes from the build of each program.
#pragma once

#include <fuse.h>

namespace ops {

// Hands one directory entry to the library's filler; true when it refused
// the entry because its reply buffer is full. Only libfuse 3 takes fill
// flags, and only it can carry full attributes with an entry.
inline bool fill_refused(fuse_fill_dir_t filler, void *buffer, const char *name,
                         const struct stat *st, off_t next_offset, bool full_attributes)
{
#if FUSE_MAJOR_VERSION >= 3
    return filler(buffer, name, st, next_offset,
                  full_attributes ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0)) != 0;
#else
    (void)full_attributes;
    return filler(buffer, name, st, next_offset) != 0;
#endif
}

} // namespace ops
