// The passthrough handlers, written once in libfuse 3's shape: a
// file-information record that may be null, rename flags, and readdir told
// whether the kernel wants full attributes. Each build's table adapts the
// few signatures that differ. Every path goes to the host unchanged.
#pragma once

#include "ops/fuse_compat.h"
#include "ops/result.h"
#include "policy/deletion.h"

#include <cstdint>
#include <dirent.h>
#include <sys/statvfs.h>

namespace ops {

// The handle of an open file is its host descriptor.
inline int file_descriptor(const fuse_file_info *fi)
{
    return static_cast<int>(fi->fh);
}

// The handle of an open directory.
struct dir_handle {
    DIR *stream;
    struct dirent *entry;  // read from stream, not yet taken by the filler
    off_t next_offset;     // where entry begins, or where the next read starts
};

inline dir_handle *directory(const fuse_file_info *fi)
{
    return reinterpret_cast<dir_handle *>(static_cast<uintptr_t>(fi->fh));
}

// Attributes
int getattr(const char *path, struct stat *st, fuse_file_info *fi);

// Names
int readlink(const char *path, char *buffer, size_t size);
int mknod(const char *path, mode_t mode, dev_t device);
int mkdir(const char *path, mode_t mode);
int symlink(const char *target, const char *path);
int rename(const char *from, const char *to, unsigned int flags);
int link(const char *from, const char *to);
int chmod(const char *path, mode_t mode, fuse_file_info *fi);
int chown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi);
int truncate(const char *path, off_t size, fuse_file_info *fi);
int utimens(const char *path, const struct timespec times[2], fuse_file_info *fi);
int access(const char *path, int mask);
int statfs(const char *path, struct statvfs *st);
int setxattr(const char *path, const char *name, const char *value, size_t size, int flags);
int getxattr(const char *path, const char *name, char *value, size_t size);
int listxattr(const char *path, char *list, size_t size);
int removexattr(const char *path, const char *name);
// From now on the extended-attribute handlers take the way of kernels
// before 6.13, whatever this one has (for tests of that way).
void xattr_by_link_only();

// Open files
int create(const char *path, mode_t mode, fuse_file_info *fi);
int open(const char *path, fuse_file_info *fi);
int read(const char *path, char *buffer, size_t size, off_t offset, fuse_file_info *fi);
int write(const char *path, const char *buffer, size_t size, off_t offset, fuse_file_info *fi);
int read_buf(const char *path, fuse_bufvec **result, size_t size, off_t offset, fuse_file_info *fi);
int write_buf(const char *path, fuse_bufvec *source, off_t offset, fuse_file_info *fi);
int flush(const char *path, fuse_file_info *fi);
int release(const char *path, fuse_file_info *fi);
int fsync(const char *path, int datasync, fuse_file_info *fi);
int lock(const char *path, fuse_file_info *fi, int command, struct flock *description);
int flock(const char *path, fuse_file_info *fi, int operation);
int fallocate(const char *path, int mode, off_t offset, off_t length, fuse_file_info *fi);
ssize_t copy_file_range(const char *path_in, fuse_file_info *fi_in, off_t offset_in,
                        const char *path_out, fuse_file_info *fi_out, off_t offset_out,
                        size_t length, int flags);
off_t lseek(const char *path, off_t offset, int whence, fuse_file_info *fi);

// Directories
int opendir(const char *path, fuse_file_info *fi);
int readdir(const char *path, void *buffer, fuse_fill_dir_t filler, off_t offset,
            fuse_file_info *fi, bool full_attributes);
int releasedir(const char *path, fuse_file_info *fi);

} // namespace ops
