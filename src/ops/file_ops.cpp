#include "ops/host_path.h"
#include "ops/identity.h"
#include "ops/ops.h"
#include "ops/connection.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The header has no C++ linkage of its own.
extern "C" {
#include <ulockmgr.h>
}

namespace ops {

namespace {

int opened(int fd, fuse_file_info *fi)
{
    if (fd < 0)
        return fd;
    fi->fh = static_cast<uint64_t>(static_cast<int64_t>(fd));
    attach_open_file(fi);
    return 0;
}

// The open flags for the host: those an open(2) takes, for openat2 refuses
// the kernel's own marks (the one of a program being started, say) that
// open(2) quietly drops. O_DIRECT stays with the mount, whose kernel side
// honours it; the host descriptor goes without, because write data arrives
// in the library's request buffer at an address that host direct I/O
// refuses, and the kernel may pass down any size and offset.
constexpr int open_flags = O_ACCMODE | O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC | O_APPEND | O_NONBLOCK |
                           O_SYNC | O_DSYNC | FASYNC | O_LARGEFILE | O_DIRECTORY | O_NOFOLLOW |
                           O_NOATIME | O_CLOEXEC | O_TMPFILE;

int host_flags(const fuse_file_info *fi)
{
    return fi->flags & open_flags;
}

// What an open asks of the file, as the host checks it: starting a
// program, or reading and writing by its access mode and truncation.
int access_asked(const fuse_file_info *fi)
{
    if (fi->flags & exec_open)
        return may_exec;
    int mode = fi->flags & O_ACCMODE;
    int asked = mode == O_RDONLY ? may_read : mode == O_WRONLY ? may_write : may_read | may_write;
    return (fi->flags & O_TRUNC) ? asked | may_write : asked;
}

// A vector of one buffer that stands for the file's descriptor at offset:
// the library moves the bytes itself, splicing where the kernel allows.
fuse_buf descriptor_buffer(size_t size, off_t offset, const fuse_file_info *fi)
{
    fuse_buf buf{};
    buf.size = size;
    buf.flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    buf.fd = file_descriptor(fi);
    buf.pos = offset;
    return buf;
}

} // namespace

int create(const char *path, mode_t mode, fuse_file_info *fi)
{
    return opened(open_object(path, host_flags(fi), creation_mode(mode | S_IFREG), access_asked(fi), creation_umask()),
                  fi);
}

int open(const char *path, fuse_file_info *fi)
{
    return opened(open_object(path, host_flags(fi), 0, access_asked(fi)), fi);
}

int read(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *fi)
{
    int count = static_cast<int>(pread(file_descriptor(fi), buffer, size, offset));
    return count == -1 ? neg_errno() : count;
}

int write(const char *, const char *buffer, size_t size, off_t offset, fuse_file_info *fi)
{
    if (int cleared = clear_set_id_for_writer(file_descriptor(fi)); cleared < 0)
        return cleared;
    int count = static_cast<int>(pwrite(file_descriptor(fi), buffer, size, offset));
    return count == -1 ? neg_errno() : count;
}

int read_buf(const char *, fuse_bufvec **result, size_t size, off_t offset, fuse_file_info *fi)
{
    // The library frees the vector after replying.
    auto *vector = static_cast<fuse_bufvec *>(std::malloc(sizeof(fuse_bufvec)));
    if (!vector)
        return -ENOMEM;
    *vector = FUSE_BUFVEC_INIT(size);
    vector->buf[0] = descriptor_buffer(size, offset, fi);
    *result = vector;
    return 0;
}

int write_buf(const char *, fuse_bufvec *source, off_t offset, fuse_file_info *fi)
{
    if (int cleared = clear_set_id_for_writer(file_descriptor(fi)); cleared < 0)
        return cleared;
    fuse_bufvec destination = FUSE_BUFVEC_INIT(fuse_buf_size(source));
    destination.buf[0] = descriptor_buffer(destination.buf[0].size, offset, fi);
    return static_cast<int>(fuse_buf_copy(&destination, source, FUSE_BUF_SPLICE_NONBLOCK));
}

int flush(const char *, fuse_file_info *fi)
{
    // Closing a duplicate runs the host's close-time work and reports its
    // errors while the handle itself stays open.
    int duplicate = dup(file_descriptor(fi));
    if (duplicate == -1)
        return neg_errno();
    return host_status(close(duplicate));
}

// The kernel sends a file's release only once every read of it is
// answered, and the library reads the host descriptor while it answers;
// the thread sanitizer cannot see that order, and its suppressions name
// this function.
[[gnu::noinline]] static void close_released_descriptor(int fd)
{
    close(fd);
}

int release(const char *, fuse_file_info *fi)
{
    detach_open_file(fi);
    close_released_descriptor(file_descriptor(fi));
    return 0;
}

int fsync(const char *, int datasync, fuse_file_info *fi)
{
    int fd = file_descriptor(fi);
    return host_status(datasync ? fdatasync(fd) : ::fsync(fd));
}

int lock(const char *, fuse_file_info *fi, int command, struct flock *description)
{
    return ulockmgr_op(file_descriptor(fi), command, description, &fi->lock_owner,
                       sizeof fi->lock_owner);
}

int flock(const char *, fuse_file_info *fi, int operation)
{
    return host_status(::flock(file_descriptor(fi), operation));
}

int fallocate(const char *, int mode, off_t offset, off_t length, fuse_file_info *fi)
{
    if (mode != 0)
        return -EOPNOTSUPP;
    return -posix_fallocate(file_descriptor(fi), offset, length);
}

ssize_t copy_file_range(const char *, fuse_file_info *fi_in, off_t offset_in, const char *,
                        fuse_file_info *fi_out, off_t offset_out, size_t length, int flags)
{
    // Explicit offsets leave both descriptors' positions where they were.
    loff_t in = offset_in;
    loff_t out = offset_out;
    ssize_t count = ::copy_file_range(file_descriptor(fi_in), &in, file_descriptor(fi_out), &out,
                                      length, static_cast<unsigned int>(flags));
    return count == -1 ? neg_errno() : count;
}

off_t lseek(const char *, off_t offset, int whence, fuse_file_info *fi)
{
    off_t position = ::lseek(file_descriptor(fi), offset, whence);
    return position == -1 ? neg_errno() : position;
}

} // namespace ops
