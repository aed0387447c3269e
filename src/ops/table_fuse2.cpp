// The libfuse 2.9 operation table. Its getattr, rename, readdir and the
// path-only chmod, chown, truncate and utimens take fewer arguments than the
// shared handlers; open files reach fgetattr and ftruncate instead.
#include "ops/connection.h"
#include "ops/ops.h"
#include "ops/table.h"

namespace {
namespace fuse2 {

int getattr(const char *path, struct stat *st)
{
    return ops::getattr(path, st, nullptr);
}

int fgetattr(const char *path, struct stat *st, fuse_file_info *fi)
{
    return ops::getattr(path, st, fi);
}

int rename(const char *from, const char *to)
{
    return ops::rename(from, to, 0);
}

int chmod(const char *path, mode_t mode)
{
    return ops::chmod(path, mode, nullptr);
}

int chown(const char *path, uid_t uid, gid_t gid)
{
    return ops::chown(path, uid, gid, nullptr);
}

int truncate(const char *path, off_t size)
{
    return ops::truncate(path, size, nullptr);
}

int ftruncate(const char *path, off_t size, fuse_file_info *fi)
{
    return ops::truncate(path, size, fi);
}

int utimens(const char *path, const struct timespec times[2])
{
    return ops::utimens(path, times, nullptr);
}

int readdir(const char *path, void *buffer, fuse_fill_dir_t filler, off_t offset,
            fuse_file_info *fi)
{
    return ops::readdir(path, buffer, filler, offset, fi, false);
}

// Read replies go from the host file to the device by splicing, with no
// buffer in between.
void *init(fuse_conn_info *conn)
{
    ops::want_capability(conn, FUSE_CAP_SPLICE_WRITE);
    ops::want_capability(conn, FUSE_CAP_SPLICE_MOVE);
    return nullptr;
}

} // namespace fuse2
} // namespace

static_assert(sizeof(fuse_operations) == 360, "libfuse 2.9 table with its flags word");

const fuse_operations operations = {
    .getattr = fuse2::getattr,
    .readlink = ops::readlink,
    .mknod = ops::mknod,
    .mkdir = ops::mkdir,
    .unlink = ops::unlink,
    .rmdir = ops::rmdir,
    .symlink = ops::symlink,
    .rename = fuse2::rename,
    .link = ops::link,
    .chmod = fuse2::chmod,
    .chown = fuse2::chown,
    .truncate = fuse2::truncate,
    .open = ops::open,
    .read = ops::read,
    .write = ops::write,
    .statfs = ops::statfs,
    .flush = ops::flush,
    .release = ops::release,
    .fsync = ops::fsync,
    .setxattr = ops::setxattr,
    .getxattr = ops::getxattr,
    .listxattr = ops::listxattr,
    .removexattr = ops::removexattr,
    .opendir = ops::opendir,
    .readdir = fuse2::readdir,
    .releasedir = ops::releasedir,
    .init = fuse2::init,
    .access = ops::access,
    .create = ops::create,
    .ftruncate = fuse2::ftruncate,
    .fgetattr = fuse2::fgetattr,
    .lock = ops::lock,
    .utimens = fuse2::utimens,
    // Handle-carrying calls may come without a path; utimens receives
    // UTIME_NOW and UTIME_OMIT as they are.
    .flag_nullpath_ok = 1,
    .flag_nopath = 0,
    .flag_utime_omit_ok = 1,
    .flag_reserved = 0,
    .write_buf = ops::write_buf,
    .read_buf = ops::read_buf,
    .flock = ops::flock,
    .fallocate = ops::fallocate,
};
