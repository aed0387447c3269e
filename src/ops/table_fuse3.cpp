// The libfuse 3 operation table: every handler takes an optional
// file-information record, so no adapters are needed beyond readdir and init.
#include "ops/connection.h"
#include "ops/identity.h"
#include "ops/ops.h"
#include "ops/table.h"

#include <csignal>

namespace {
namespace fuse3 {

int readdir(const char *path, void *buffer, fuse_fill_dir_t filler, off_t offset,
            fuse_file_info *fi, fuse_readdir_flags flags)
{
    return ops::readdir(path, buffer, filler, offset, fi, (flags & FUSE_READDIR_PLUS) != 0);
}

// Delivered to a worker whose request the caller gave up (a killed lock
// waiter), so that the host call it is blocked in returns EINTR. Without
// SA_RESTART; the call's own EINTR is all that is wanted.
void interrupted(int) {}

void *init(fuse_conn_info *conn, fuse_config *config)
{
    // Nothing is cached, so host changes show at once; a file whose name
    // goes while it is open is hidden by the library, which the program
    // meets without touching the host (ops/hidden_pins.h); the host's inode
    // numbers show; handle-carrying operations need no path.
    config->entry_timeout = 0.0;
    config->negative_timeout = 0.0;
    config->attr_timeout = 0.0;
    config->hard_remove = 0;
    config->use_ino = 1;
    config->nullpath_ok = 1;
    // Interrupted requests are answered. The library installs a handler for
    // their signal only where interrupts are on when it creates the FUSE
    // object, before init runs; without one the first interrupt would end
    // the process.
    config->intr = 1;
    struct sigaction action = {};
    action.sa_handler = interrupted;
    sigemptyset(&action.sa_mask);
    sigaction(config->intr_signal, &action, nullptr);
    ops::request_passthrough(conn, config);
    // Read replies go from the host file to the device by splicing, with no
    // buffer in between; a reply must fit a pipe (1 MiB at most by default),
    // and the kernel asks for reads as large as the largest write.
    ops::want_capability(conn, FUSE_CAP_SPLICE_WRITE);
    ops::want_capability(conn, FUSE_CAP_SPLICE_MOVE);
    if (conn->max_write > (960u << 10))
        conn->max_write = 960u << 10;
    // Where the kernel checks callers, it does so by their access control
    // lists as the host would, once asked (--posix-acl; it then asks for a
    // list at every check); it then leaves the umask to the program, since
    // a default list on the directory replaces it.
    if (ops::access_lists_wanted() && ops::want_capability(conn, FUSE_CAP_POSIX_ACL))
        ops::mask_creations(ops::want_capability(conn, FUSE_CAP_DONT_MASK));
    return nullptr;
}

} // namespace fuse3
} // namespace

static_assert(sizeof(fuse_operations) == 336, "libfuse 3 table of 42 members");

const fuse_operations operations = {
    .getattr = ops::getattr,
    .readlink = ops::readlink,
    .mknod = ops::mknod,
    .mkdir = ops::mkdir,
    .unlink = ops::unlink,
    .rmdir = ops::rmdir,
    .symlink = ops::symlink,
    .rename = ops::rename,
    .link = ops::link,
    .chmod = ops::chmod,
    .chown = ops::chown,
    .truncate = ops::truncate,
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
    .readdir = fuse3::readdir,
    .releasedir = ops::releasedir,
    .init = fuse3::init,
    .access = ops::access,
    .create = ops::create,
    .lock = ops::lock,
    .utimens = ops::utimens,
    .write_buf = ops::write_buf,
    .read_buf = ops::read_buf,
    .flock = ops::flock,
    .fallocate = ops::fallocate,
    .copy_file_range = ops::copy_file_range,
    .lseek = ops::lseek,
};
