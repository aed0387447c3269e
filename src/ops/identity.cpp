#include "ops/identity.h"

#include "ops/fuse_compat.h"
#include "ops/result.h"

#include <sys/stat.h>

namespace ops {

namespace {

// The caller of the request being served, or -1 outside a served request.
long caller_uid()
{
    if (served_uid < 0)
        return -1;
    const fuse_context *context = fuse_get_context();
    return context ? static_cast<long>(context->uid) : -1;
}

} // namespace

mode_t creation_mode(mode_t mode)
{
    long caller = caller_uid();
    if (caller <= 0 || caller == served_uid)
        return mode;
    // mknod of type 0 makes a regular file too.
    bool regular = (mode & S_IFMT) == 0 || S_ISREG(mode);
    return mode & ~(S_ISUID | (regular ? S_ISGID : 0));
}

int clear_set_id_for_writer(int fd)
{
    // Only root's capabilities keep the bits on the server's own writes.
    if (served_uid != 0 || caller_uid() <= 0)
        return 0;
    struct stat st;
    if (fstat(fd, &st) == -1)
        return neg_errno();
    mode_t kill = st.st_mode & S_ISUID;
    if ((st.st_mode & (S_ISGID | S_IXGRP)) == (S_ISGID | S_IXGRP))
        kill |= S_ISGID;
    if (!S_ISREG(st.st_mode) || !kill)
        return 0;
    return host_status(fchmod(fd, st.st_mode & 07777 & ~kill));
}

} // namespace ops
