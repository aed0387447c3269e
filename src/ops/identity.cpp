#include "ops/identity.h"

#include "ops/caller_access.h"
#include "ops/fuse_compat.h"
#include "ops/hidden_pins.h"
#include "ops/result.h"

#include <climits>
#include <cstring>
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

bool library_caller(request_caller &caller)
{
    long uid = caller_uid();
    if (uid <= 0 || uid == served_uid)
        return false;
    caller.uid = static_cast<uid_t>(uid);
    caller.gid = fuse_get_context()->gid;
    caller.fetch_groups = fuse_getgroups;
    return true;
}

// Settled before serving, or by init.
bool lists_wanted = false;
bool masks_creations = false;

// No umask the kernel sends has bits beyond 0777.
constexpr mode_t request_mark = ~mode_t{0};
thread_local char marked_path[PATH_MAX];

// The library's record of the request being served; null outside one (the
// FUSE 2 library has no record to give before it serves).
fuse_context *request_record()
{
    return served_uid < 0 ? nullptr : fuse_get_context();
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

void want_access_lists(bool wanted)
{
    lists_wanted = wanted;
}

bool access_lists_wanted()
{
    return lists_wanted;
}

void mask_creations(bool masks)
{
    masks_creations = masks;
}

mode_t creation_umask()
{
    const fuse_context *context = masks_creations ? request_record() : nullptr;
    return context ? context->umask & 0777 : 0;
}

void watch_callers()
{
    set_caller_source(library_caller);
}

void note_free_hidden_name(const char *path)
{
    fuse_context *context = request_record();
    size_t length = strnlen(path, PATH_MAX);
    if (!context || length == PATH_MAX || !last_is_hidden(path))
        return;
    std::memcpy(marked_path, path, length + 1);
    context->umask = request_mark;
}

bool hiding_step(const char *path)
{
    const fuse_context *context = request_record();
    return context && context->umask == request_mark && std::strcmp(marked_path, path) == 0;
}

} // namespace ops
