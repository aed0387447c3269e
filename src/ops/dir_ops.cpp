#include "ops/host_path.h"
#include "ops/ops.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ops {

int opendir(const char *path, fuse_file_info *fi)
{
    auto *handle = static_cast<dir_handle *>(std::malloc(sizeof(dir_handle)));
    if (!handle)
        return -ENOMEM;
    int fd = open_object(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC, 0, may_read);
    handle->stream = fd < 0 ? nullptr : fdopendir(fd);
    if (!handle->stream) {
        int result = fd < 0 ? fd : neg_errno();
        if (fd >= 0)
            close(fd);
        std::free(handle);
        return result;
    }
    handle->entry = nullptr;
    handle->next_offset = 0;
    fi->fh = reinterpret_cast<uintptr_t>(handle);
    return 0;
}

int readdir(const char *, void *buffer, fuse_fill_dir_t filler, off_t offset,
            fuse_file_info *fi, bool full_attributes)
{
    dir_handle *d = directory(fi);
    // The library continues at the offset it was last handed; only another
    // offset costs a seek, and drops an entry kept from a refusal.
    if (offset != d->next_offset) {
        seekdir(d->stream, offset);
        d->entry = nullptr;
        d->next_offset = offset;
    }
    if (!d->entry)
        d->entry = ::readdir(d->stream);

    while (d->entry) {
        struct stat st{};
        bool full = full_attributes &&
                    fstatat(dirfd(d->stream), d->entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!full) {
            st = {};
            st.st_ino = d->entry->d_ino;
            st.st_mode = static_cast<mode_t>(d->entry->d_type) << 12;
        }
        off_t next_offset = telldir(d->stream);
        if (fill_refused(filler, buffer, d->entry->d_name, &st, next_offset, full))
            return 0;  // entry is kept and offered first next time
        d->next_offset = next_offset;
        d->entry = ::readdir(d->stream);
    }
    return 0;
}

int releasedir(const char *, fuse_file_info *fi)
{
    dir_handle *d = directory(fi);
    closedir(d->stream);
    std::free(d);
    return 0;
}

} // namespace ops
