// The shared handlers called directly on a scratch directory, for the cases
// a mount cannot force: refusing fillers, tiny buffers, a full descriptor
// table, the handle forms, the exact host descriptors used.
#include "ops/host_path.h"
#include "ops/ops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <linux/falloc.h>
#include <map>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

// A filler that records what it takes and refuses at chosen calls.
struct listing {
    std::vector<std::string> names;
    std::vector<off_t> offsets;
    std::map<std::string, struct stat> attributes;
    std::map<std::string, bool> full;
    std::set<int> refuse_at;  // call numbers, counted from 0 across calls
    int calls = 0;

    bool take(const char *name, const struct stat *st, off_t next, bool plus)
    {
        if (refuse_at.count(calls++))
            return false;
        names.push_back(name);
        offsets.push_back(next);
        attributes[name] = *st;
        full[name] = plus;
        return true;
    }
};

#if FUSE_MAJOR_VERSION >= 3
int filler(void *buffer, const char *name, const struct stat *st, off_t next, fuse_fill_dir_flags flags)
{
    return static_cast<listing *>(buffer)->take(name, st, next, (flags & FUSE_FILL_DIR_PLUS) != 0) ? 0 : 1;
}
#else
int filler(void *buffer, const char *name, const struct stat *st, off_t next)
{
    return static_cast<listing *>(buffer)->take(name, st, next, false) ? 0 : 1;
}
#endif

class Handlers : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir_template[] = "/tmp/nbf-handlers-XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
        umask(0);  // as the programs run
        ASSERT_EQ(ops::pin_host_root(), 0);
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string path(const std::string &name) const { return dir + "/" + name; }
    void make(const std::string &name, const std::string &content = "")
    {
        int fd = ::open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ::close(fd);
    }
    void expect_attribute_sizes();
    std::string read_back(const std::string &name) const
    {
        std::string bytes(256, '\0');
        int fd = ::open(path(name).c_str(), O_RDONLY);
        ssize_t n = fd < 0 ? 0 : ::read(fd, bytes.data(), bytes.size());
        ::close(fd);
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return bytes;
    }
    fuse_file_info opened(const std::string &name, int flags = O_RDWR)
    {
        fuse_file_info fi{};
        fi.flags = flags;
        EXPECT_EQ(ops::open(path(name).c_str(), &fi), 0);
        return fi;
    }
    // Lists the directory through readdir, continuing at the offset of the
    // last accepted entry as the library does.
    void list_all(fuse_file_info &fi, listing &out, bool full = false)
    {
        off_t offset = 0;
        for (int round = 0; round < 1000; ++round) {
            size_t before = out.names.size();
            int refused_before = out.calls - static_cast<int>(before);
            EXPECT_EQ(ops::readdir(nullptr, &out, filler, offset, &fi, full), 0);
            if (!out.names.empty())
                offset = out.offsets.back();
            bool refused = out.calls - static_cast<int>(out.names.size()) > refused_before;
            if (out.names.size() == before && !refused)
                return;
        }
        ADD_FAILURE() << "listing never ended";
    }

    std::string dir;
};

TEST_F(Handlers, ReaddirResumesWithoutSkippingOrRepeating)
{
    std::set<std::string> expected = {".", ".."};
    for (int i = 0; i < 50; ++i) {
        make("f" + std::to_string(i));
        expected.insert("f" + std::to_string(i));
    }
    fuse_file_info fi{};
    ASSERT_EQ(ops::opendir(dir.c_str(), &fi), 0);

    listing out;
    out.refuse_at = {0, 7, 8, 20, 52};  // the first entry, twice in a row, the end
    list_all(fi, out);
    EXPECT_EQ(out.names.size(), expected.size());
    EXPECT_EQ(std::set<std::string>(out.names.begin(), out.names.end()), expected);

    // Offset 0 after the listing advanced starts again at the first entry.
    listing again;
    list_all(fi, again);
    EXPECT_EQ(again.names, out.names);
    EXPECT_EQ(ops::releasedir(nullptr, &fi), 0);
}

TEST_F(Handlers, ReaddirKeepsARefusedEntryAfterASeek)
{
    for (int i = 0; i < 10; ++i)
        make("f" + std::to_string(i));
    fuse_file_info fi{};
    ASSERT_EQ(ops::opendir(dir.c_str(), &fi), 0);
    listing first;
    list_all(fi, first);
    ASSERT_EQ(first.names.size(), 12u);

    // Seek to the fifth entry's start and refuse at once: nothing delivered,
    // and the same offset then delivers that entry first.
    off_t fifth = first.offsets[3];
    listing refused;
    refused.refuse_at = {0};
    EXPECT_EQ(ops::readdir(nullptr, &refused, filler, fifth, &fi, false), 0);
    EXPECT_TRUE(refused.names.empty());
    EXPECT_EQ(ops::directory(&fi)->next_offset, fifth);
    ASSERT_NE(ops::directory(&fi)->entry, nullptr);

    listing rest;
    EXPECT_EQ(ops::readdir(nullptr, &rest, filler, fifth, &fi, false), 0);
    EXPECT_EQ(rest.names, std::vector<std::string>(first.names.begin() + 4, first.names.end()));

    // At the end, the same offset delivers nothing.
    listing after;
    EXPECT_EQ(ops::readdir(nullptr, &after, filler, rest.offsets.back(), &fi, false), 0);
    EXPECT_TRUE(after.names.empty());
    ops::releasedir(nullptr, &fi);
}

TEST_F(Handlers, ReaddirAttributeForms)
{
    make("file", "abc");
    ASSERT_EQ(::symlink("file", path("link").c_str()), 0);
    ASSERT_EQ(::mkdir(path("sub").c_str(), 0700), 0);
    make("vanishing");
    struct stat host;
    ASSERT_EQ(::lstat(path("link").c_str(), &host), 0);

    fuse_file_info fi{};
    ASSERT_EQ(ops::opendir(dir.c_str(), &fi), 0);
    listing brief;
    list_all(fi, brief, false);
    // Short form: the inode and the type bits, nothing else.
    EXPECT_EQ(brief.attributes["link"].st_ino, host.st_ino);
    EXPECT_EQ(brief.attributes["link"].st_mode, S_IFLNK);
    EXPECT_EQ(brief.attributes["sub"].st_mode, S_IFDIR);
    EXPECT_EQ(brief.attributes["file"].st_size, 0);

    listing full;
    list_all(fi, full, true);
    if (FUSE_MAJOR_VERSION >= 3) {
        // A link describes itself, not its target.
        EXPECT_TRUE(full.full["link"]);
        EXPECT_EQ(full.attributes["link"].st_mode, host.st_mode);
        EXPECT_EQ(full.attributes["link"].st_size, 4);
        EXPECT_EQ(full.attributes["sub"].st_mode, S_IFDIR | 0700u);
        EXPECT_EQ(full.attributes["file"].st_size, 3);
    }

    // An entry removed between the read and its stat lists in short form.
    listing racing;
    list_all(fi, racing, true);
    ASSERT_EQ(racing.names.size(), 6u);
    auto at = std::find(racing.names.begin(), racing.names.end(), "vanishing") - racing.names.begin();
    listing partial;
    partial.refuse_at = {static_cast<int>(at)};
    ASSERT_EQ(ops::readdir(nullptr, &partial, filler, 0, &fi, true), 0);
    ASSERT_EQ(::unlink(path("vanishing").c_str()), 0);
    off_t resume = partial.names.empty() ? 0 : partial.offsets.back();
    ASSERT_EQ(ops::readdir(nullptr, &partial, filler, resume, &fi, true), 0);
    EXPECT_EQ(partial.names.size(), 6u);
    EXPECT_FALSE(partial.full["vanishing"]);
    EXPECT_EQ(partial.attributes["vanishing"].st_mode, S_IFREG);
    ops::releasedir(nullptr, &fi);
}

TEST_F(Handlers, OpendirFailuresStoreNoHandle)
{
    make("file");
    fuse_file_info fi{};
    fi.fh = 77;
    EXPECT_EQ(ops::opendir(path("file").c_str(), &fi), -ENOTDIR);
    EXPECT_EQ(ops::opendir(path("missing").c_str(), &fi), -ENOENT);
    EXPECT_EQ(fi.fh, 77u);
}

TEST_F(Handlers, ReadlinkTerminatesWithinTheBuffer)
{
    ASSERT_EQ(::symlink("abcdefgh", path("link").c_str()), 0);
    char buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), 'x');
    EXPECT_EQ(ops::readlink(path("link").c_str(), buffer, 9), 0);  // exactly size - 1
    EXPECT_STREQ(buffer, "abcdefgh");
    std::fill(std::begin(buffer), std::end(buffer), 'x');
    EXPECT_EQ(ops::readlink(path("link").c_str(), buffer, 8), 0);  // one byte short
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_EQ(buffer[8], 'x');
    std::fill(std::begin(buffer), std::end(buffer), 'x');
    EXPECT_EQ(ops::readlink(path("link").c_str(), buffer + 1, 0), -EINVAL);
    EXPECT_EQ(buffer[0], 'x') << "nothing written before the buffer";
    make("file");
    EXPECT_EQ(ops::readlink(path("file").c_str(), buffer, sizeof buffer), -EINVAL);
}

TEST_F(Handlers, MknodRenameAndFlags)
{
    EXPECT_EQ(ops::mknod(path("fifo").c_str(), S_IFIFO | 0640, 0), 0);
    EXPECT_EQ(ops::mknod(path("plain").c_str(), S_IFREG | 0600, 0), 0);
    struct stat st;
    ASSERT_EQ(::lstat(path("fifo").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFIFO | 0640u);
    ASSERT_EQ(::lstat(path("plain").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFREG | 0600u);

    make("a", "A");
    make("b", "B");
    EXPECT_EQ(ops::rename(path("a").c_str(), path("b").c_str(), RENAME_NOREPLACE), -EINVAL);
    EXPECT_EQ(ops::rename(path("a").c_str(), path("b").c_str(), RENAME_EXCHANGE), -EINVAL);
    EXPECT_EQ(::access(path("a").c_str(), F_OK), 0);
    EXPECT_EQ(ops::rename(path("a").c_str(), path("b").c_str(), 0), 0);
    EXPECT_EQ(::access(path("a").c_str(), F_OK), -1);
    EXPECT_EQ(ops::link(path("b").c_str(), path("c").c_str()), 0);
    EXPECT_EQ(ops::link(path("b").c_str(), path("c").c_str()), -EEXIST);
}

// The kernel has followed every symbolic link of the caller's path before
// the request comes, so a link in a path means it was swapped in since:
// no handler acts through one. Those that act on a final link itself do so.
TEST_F(Handlers, PathsNeverRunThroughSymbolicLinks)
{
    make("target", "0123456789");
    ASSERT_EQ(::symlink("target", path("link").c_str()), 0);
    ASSERT_EQ(::mkdir(path("real").c_str(), 0755), 0);
    make("real/file", "abc");
    ASSERT_EQ(::symlink("real", path("dirlink").c_str()), 0);
    const std::string link = path("link"), through = path("dirlink/file"), beside = path("dirlink/new");

    EXPECT_EQ(ops::chmod(link.c_str(), 0604, nullptr), -ELOOP);
    EXPECT_EQ(ops::truncate(link.c_str(), 4, nullptr), -ELOOP);
    EXPECT_EQ(ops::access(link.c_str(), F_OK), -ELOOP);
    fuse_file_info fi{};
    fi.flags = O_RDWR;
    EXPECT_EQ(ops::open(link.c_str(), &fi), -ELOOP);
    struct stat st;
    char buffer[64];
    const timespec zero[2] = {{0, 0}, {0, 0}};
    struct statvfs vfs;
    const std::vector<std::pair<const char *, int>> refused = {
        {"getattr", ops::getattr(through.c_str(), &st, nullptr)},
        {"readlink", ops::readlink(through.c_str(), buffer, sizeof buffer)},
        {"mknod", ops::mknod(beside.c_str(), S_IFIFO | 0600, 0)},
        {"mkdir", ops::mkdir(beside.c_str(), 0700)},
        {"symlink", ops::symlink("x", beside.c_str())},
        {"rename from", ops::rename(through.c_str(), path("moved").c_str(), 0)},
        {"rename to", ops::rename(path("target").c_str(), beside.c_str(), 0)},
        {"link", ops::link(through.c_str(), path("linked").c_str())},
        {"chmod", ops::chmod(through.c_str(), 0600, nullptr)},
        {"chown", ops::chown(through.c_str(), 1, 1, nullptr)},
        {"truncate", ops::truncate(through.c_str(), 0, nullptr)},
        {"utimens", ops::utimens(through.c_str(), zero, nullptr)},
        {"access", ops::access(through.c_str(), F_OK)},
        {"statfs", ops::statfs(through.c_str(), &vfs)},
        {"setxattr", ops::setxattr(through.c_str(), "user.a", "1", 1, 0)},
        {"getxattr", ops::getxattr(through.c_str(), "user.a", buffer, sizeof buffer)},
        {"listxattr", ops::listxattr(through.c_str(), buffer, sizeof buffer)},
        {"removexattr", ops::removexattr(through.c_str(), "user.a")},
        {"create", ops::create(beside.c_str(), 0600, &fi)},
        {"open", ops::open(through.c_str(), &fi)},
        {"opendir", ops::opendir(path("dirlink").c_str(), &fi)},
        {"unlink", (allow_delete = 1, ops::unlink(through.c_str()))},
        {"rmdir", ops::rmdir(path("dirlink/sub").c_str())},
    };
    allow_delete = 0;
    for (const auto &[handler, result] : refused)
        EXPECT_EQ(result, -ELOOP) << handler;
    EXPECT_EQ(read_back("real/file"), "abc");
    EXPECT_EQ(::access(path("real/new").c_str(), F_OK), -1);

    EXPECT_EQ(ops::chown(link.c_str(), 1, 2, nullptr), 0);
    const timespec old_times[2] = {{1000, 0}, {2000, 0}};
    EXPECT_EQ(ops::utimens(link.c_str(), old_times, nullptr), 0);

    struct stat target, self;
    ASSERT_EQ(::stat(path("target").c_str(), &target), 0);
    ASSERT_EQ(::lstat(link.c_str(), &self), 0);
    EXPECT_EQ(target.st_mode & 07777, 0644u);
    EXPECT_EQ(target.st_size, 10);
    EXPECT_EQ(target.st_uid, 0u);
    EXPECT_NE(target.st_mtime, 2000);
    EXPECT_EQ(self.st_uid, 1u);
    EXPECT_EQ(self.st_gid, 2u);
    EXPECT_EQ(self.st_mtime, 2000);
    EXPECT_EQ(self.st_atime, 1000);

    // UTIME_OMIT changes nothing; UTIME_NOW takes the clock.
    const timespec omit[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    EXPECT_EQ(ops::utimens(link.c_str(), omit, nullptr), 0);
    ASSERT_EQ(::lstat(link.c_str(), &self), 0);
    EXPECT_EQ(self.st_mtime, 2000);
    const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
    EXPECT_EQ(ops::utimens(link.c_str(), now, nullptr), 0);
    ASSERT_EQ(::lstat(link.c_str(), &self), 0);
    EXPECT_GT(self.st_atime, time(nullptr) - 60);
    EXPECT_EQ(self.st_mtime, 2000);

    EXPECT_EQ(ops::chmod(path("missing").c_str(), 0600, nullptr), -ENOENT);
    EXPECT_EQ(ops::access(path("missing").c_str(), F_OK), -ENOENT);
}

TEST_F(Handlers, HandleFormsWorkAfterTheNameIsGone)
{
    make("file", "0123456789");
    fuse_file_info fi = opened("file");
    ASSERT_EQ(::unlink(path("file").c_str()), 0);

    struct stat st;
    EXPECT_EQ(ops::getattr(nullptr, &st, &fi), 0);
    EXPECT_EQ(st.st_nlink, 0u);
    EXPECT_EQ(ops::chmod(nullptr, 0600, &fi), 0);
    EXPECT_EQ(ops::chown(nullptr, 3, 4, &fi), 0);
    EXPECT_EQ(ops::truncate(nullptr, 5, &fi), 0);
    const timespec times[2] = {{10, 0}, {20, 0}};
    EXPECT_EQ(ops::utimens(nullptr, times, &fi), 0);
    ASSERT_EQ(ops::getattr(nullptr, &st, &fi), 0);
    EXPECT_EQ(st.st_mode, S_IFREG | 0600u);
    EXPECT_EQ(st.st_uid, 3u);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_EQ(st.st_mtime, 20);
    // The handle wins even when a path is given.
    EXPECT_EQ(ops::getattr(path("file").c_str(), &st, &fi), 0);
    EXPECT_EQ(ops::getattr(path("file").c_str(), &st, nullptr), -ENOENT);
    EXPECT_EQ(ops::release(nullptr, &fi), 0);
}

// Both ways to the last component: the kernel's *xattrat calls, and the
// descriptor's link that older kernels need. A final symbolic link is
// acted on itself.
TEST_F(Handlers, ExtendedAttributeSizes)
{
    for (bool by_link : {false, true}) {
        if (by_link)
            ops::xattr_by_link_only();
        SCOPED_TRACE(by_link ? "by the descriptor's link" : "relative to the directory");
        expect_attribute_sizes();
    }
}

void Handlers::expect_attribute_sizes()
{
    std::system(("rm -f " + dir + "/file " + dir + "/link").c_str());
    make("file");
    const std::string file = path("file"), link = path("link");
    ASSERT_EQ(::symlink("file", link.c_str()), 0);
    EXPECT_EQ(ops::setxattr(link.c_str(), "trusted.mark", "1", 1, 0), 0);
    char mark[4];
    EXPECT_EQ(::lgetxattr(link.c_str(), "trusted.mark", mark, sizeof mark), 1);
    EXPECT_EQ(ops::getxattr(file.c_str(), "trusted.mark", mark, sizeof mark), -ENODATA);
    EXPECT_EQ(ops::getxattr(link.c_str(), "trusted.mark", mark, sizeof mark), 1);
    if (::setxattr(file.c_str(), "user.probe", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user extended attributes on " << dir;
    EXPECT_EQ(ops::setxattr(file.c_str(), "user.colour", "blue", 4, XATTR_CREATE), 0);
    EXPECT_EQ(ops::setxattr(file.c_str(), "user.colour", "red", 3, XATTR_CREATE), -EEXIST);
    char buffer[64];
    EXPECT_EQ(ops::getxattr(file.c_str(), "user.colour", nullptr, 0), 4);
    EXPECT_EQ(ops::getxattr(file.c_str(), "user.colour", buffer, 2), -ERANGE);
    EXPECT_EQ(ops::getxattr(file.c_str(), "user.colour", buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "blue");
    int needed = ops::listxattr(file.c_str(), nullptr, 0);
    EXPECT_EQ(needed, static_cast<int>(sizeof "user.probe" + sizeof "user.colour"));
    EXPECT_EQ(ops::listxattr(file.c_str(), buffer, 3), -ERANGE);
    EXPECT_EQ(ops::removexattr(file.c_str(), "user.colour"), 0);
    EXPECT_EQ(ops::getxattr(file.c_str(), "user.colour", buffer, sizeof buffer), -ENODATA);
}

TEST_F(Handlers, CreateAndOpenSetOnlyTheHandle)
{
    fuse_file_info fi{};
    fi.flags = O_WRONLY | O_CREAT | O_EXCL;
    fi.direct_io = 0;
    fi.keep_cache = 0;
    ASSERT_EQ(ops::create(path("new").c_str(), 0640, &fi), 0);
    struct stat st;
    ASSERT_EQ(::fstat(ops::file_descriptor(&fi), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFREG | 0640u);
    ops::release(nullptr, &fi);

    fuse_file_info again{};
    again.flags = O_WRONLY | O_CREAT | O_EXCL;
    again.fh = 99;
    EXPECT_EQ(ops::create(path("new").c_str(), 0640, &again), -EEXIST);
    EXPECT_EQ(again.fh, 99u);
    again.flags = O_RDONLY;
    EXPECT_EQ(ops::open(path("missing").c_str(), &again), -ENOENT);
    EXPECT_EQ(again.fh, 99u);

    fuse_file_info reader = opened("new", O_RDONLY);
    EXPECT_EQ(reader.flags, O_RDONLY);
    EXPECT_EQ(reader.direct_io, 0u);
    EXPECT_EQ(reader.keep_cache, 0u);
    ops::release(nullptr, &reader);
}

TEST_F(Handlers, ReadWriteAndBuffers)
{
    make("file", "hello world");
    fuse_file_info fi = opened("file");
    char buffer[32];
    EXPECT_EQ(ops::read(nullptr, buffer, 5, 6, &fi), 5);
    EXPECT_EQ(std::string(buffer, 5), "world");
    EXPECT_EQ(ops::read(nullptr, buffer, 5, 11, &fi), 0);
    EXPECT_EQ(ops::read(nullptr, buffer, 5, 1000, &fi), 0);
    EXPECT_EQ(ops::write(nullptr, "HELLO", 5, 0, &fi), 5);
    EXPECT_EQ(::lseek(ops::file_descriptor(&fi), 0, SEEK_CUR), 0) << "positional transfers only";

    fuse_bufvec *vector = nullptr;
    ASSERT_EQ(ops::read_buf(nullptr, &vector, 64, 3, &fi), 0);
    ASSERT_NE(vector, nullptr);
    EXPECT_EQ(vector->count, 1u);
    EXPECT_EQ(vector->idx, 0u);
    EXPECT_EQ(vector->off, 0u);
    EXPECT_EQ(vector->buf[0].size, 64u);
    EXPECT_EQ(vector->buf[0].flags, FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    EXPECT_EQ(vector->buf[0].fd, ops::file_descriptor(&fi));
    EXPECT_EQ(vector->buf[0].pos, 3);
    EXPECT_EQ(vector->buf[0].mem, nullptr);
    // The library's copy moves the bytes; at the end it finds 8 of them.
    fuse_bufvec into = FUSE_BUFVEC_INIT(sizeof buffer);
    into.buf[0].mem = buffer;
    EXPECT_EQ(fuse_buf_copy(&into, vector, static_cast<fuse_buf_copy_flags>(0)), 8);
    EXPECT_EQ(std::string(buffer, 8), "LO world");
    free(vector);

    char source_bytes[] = "0123456789";
    fuse_bufvec source = FUSE_BUFVEC_INIT(10);
    source.buf[0].mem = source_bytes;
    EXPECT_EQ(ops::write_buf(nullptr, &source, 20, &fi), 10);
    struct stat st;
    ASSERT_EQ(::fstat(ops::file_descriptor(&fi), &st), 0);
    EXPECT_EQ(st.st_size, 30);
    EXPECT_EQ(ops::read(nullptr, buffer, 10, 20, &fi), 10);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    ops::release(nullptr, &fi);
}

TEST_F(Handlers, FlushFsyncAndReleaseOnBadDescriptors)
{
    make("file", "x");
    fuse_file_info fi = opened("file");
    EXPECT_EQ(ops::flush(nullptr, &fi), 0);
    EXPECT_EQ(ops::fsync(nullptr, 0, &fi), 0);
    EXPECT_EQ(ops::fsync(nullptr, 1, &fi), 0);

    // With the descriptor table full the duplicate fails, and that is what
    // is reported; the handle itself stays usable.
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    std::vector<int> fillers;
    int fd;
    while ((fd = ::open("/dev/null", O_RDONLY)) >= 0 && fillers.size() < 100000)
        fillers.push_back(fd);
    EXPECT_EQ(ops::flush(nullptr, &fi), -EMFILE);
    for (int f : fillers)
        ::close(f);
    EXPECT_EQ(ops::flush(nullptr, &fi), 0);
    ops::release(nullptr, &fi);

    fuse_file_info dead{};
    dead.fh = static_cast<uint64_t>(-1);
    EXPECT_EQ(ops::release(nullptr, &dead), 0);
    EXPECT_EQ(ops::fsync(nullptr, 0, &dead), -EBADF);
}

TEST_F(Handlers, FallocateOnlyInItsPlainMode)
{
    make("file", "abcd");
    fuse_file_info fi = opened("file");
    EXPECT_EQ(ops::fallocate(nullptr, FALLOC_FL_KEEP_SIZE, 0, 4096, &fi), -EOPNOTSUPP);
    EXPECT_EQ(ops::fallocate(nullptr, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 2, &fi), -EOPNOTSUPP);
    struct stat st;
    ASSERT_EQ(::fstat(ops::file_descriptor(&fi), &st), 0);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_EQ(ops::fallocate(nullptr, 0, 0, 8192, &fi), 0);
    ASSERT_EQ(::fstat(ops::file_descriptor(&fi), &st), 0);
    EXPECT_EQ(st.st_size, 8192);
    EXPECT_EQ(ops::fallocate(nullptr, 0, -1, 10, &fi), -EINVAL);
    ops::release(nullptr, &fi);
}

TEST_F(Handlers, CopyAndSeekLeavePositionsAlone)
{
    make("in", "0123456789");
    make("out", "..........");
    fuse_file_info in = opened("in", O_RDONLY);
    fuse_file_info out = opened("out", O_RDWR);
    EXPECT_EQ(ops::copy_file_range(nullptr, &in, 2, nullptr, &out, 5, 4, 0), 4);
    EXPECT_EQ(::lseek(ops::file_descriptor(&in), 0, SEEK_CUR), 0);
    EXPECT_EQ(::lseek(ops::file_descriptor(&out), 0, SEEK_CUR), 0);
    char buffer[10];
    EXPECT_EQ(ops::read(nullptr, buffer, 10, 0, &out), 10);
    EXPECT_EQ(std::string(buffer, 10), ".....2345.");
    EXPECT_EQ(ops::copy_file_range(nullptr, &in, 0, nullptr, &out, 0, 4, 12345), -EINVAL);

    EXPECT_EQ(ops::lseek(nullptr, 3, SEEK_SET, &in), 3);
    EXPECT_EQ(ops::lseek(nullptr, 0, SEEK_END, &in), 10);
    EXPECT_EQ(ops::lseek(nullptr, 20, SEEK_DATA, &in), -ENXIO);
    EXPECT_EQ(ops::lseek(nullptr, -1, SEEK_SET, &in), -EINVAL);
    ops::release(nullptr, &in);
    ops::release(nullptr, &out);
}

TEST_F(Handlers, FlockConflictsBetweenHandles)
{
    make("file");
    fuse_file_info a = opened("file");
    fuse_file_info b = opened("file");
    EXPECT_EQ(ops::flock(nullptr, &a, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ops::flock(nullptr, &b, LOCK_EX | LOCK_NB), -EWOULDBLOCK);
    EXPECT_EQ(ops::flock(nullptr, &a, LOCK_UN), 0);
    EXPECT_EQ(ops::flock(nullptr, &b, LOCK_SH | LOCK_NB), 0);
    ops::release(nullptr, &a);
    ops::release(nullptr, &b);
}

} // namespace
