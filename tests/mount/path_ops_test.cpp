// Operations on names through the mount, checked on the host.
#include "support/harness.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

class PathOps : public mount_test {};

TEST_F(PathOps, CreatesWhatTheHostShows)
{
    serve();
    umask(0);
    EXPECT_EQ(mkfifo(m(d("fifo")).c_str(), 0640), 0);
    EXPECT_EQ(mknod(m(d("plain")).c_str(), S_IFREG | 0604, 0), 0);
    EXPECT_EQ(mkdir(m(d("dir")).c_str(), 0751), 0);
    EXPECT_EQ(symlink("plain", m(d("link")).c_str()), 0);
    EXPECT_EQ(link(m(d("plain")).c_str(), m(d("hard")).c_str()), 0);
    umask(022);

    struct stat st;
    ASSERT_EQ(lstat(d("fifo").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFIFO | 0640u);
    ASSERT_EQ(lstat(d("plain").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFREG | 0604u);
    EXPECT_EQ(st.st_nlink, 2u);
    ASSERT_EQ(lstat(d("dir").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFDIR | 0751u);
    char target[16] = {};
    EXPECT_EQ(readlink(m(d("link")).c_str(), target, sizeof target), 5);
    EXPECT_STREQ(target, "plain");

    EXPECT_EQ(mkdir(m(d("dir")).c_str(), 0755), -1);
    EXPECT_EQ(errno, EEXIST);
    int fd = open(m(d("plain")).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(PathOps, RenameFlagsAreRefused)
{
    write_file(d("a"), "A");
    write_file(d("b"), "B");
    serve();
    // Onto an existing name the kernel answers by itself; otherwise the
    // flags reach the program, which refuses them.
    EXPECT_EQ(renameat2(AT_FDCWD, m(d("a")).c_str(), AT_FDCWD, m(d("b")).c_str(), RENAME_NOREPLACE), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(renameat2(AT_FDCWD, m(d("a")).c_str(), AT_FDCWD, m(d("c")).c_str(), RENAME_NOREPLACE), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(renameat2(AT_FDCWD, m(d("a")).c_str(), AT_FDCWD, m(d("b")).c_str(), RENAME_EXCHANGE), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_NE(access(d("c").c_str(), F_OK), 0);
    EXPECT_EQ(read_file(d("a")), "A");
    EXPECT_EQ(read_file(d("b")), "B");
    EXPECT_EQ(rename(m(d("a")).c_str(), m(d("b")).c_str()), 0);
    EXPECT_EQ(read_file(d("b")), "A");
    EXPECT_NE(access(d("a").c_str(), F_OK), 0);
}

TEST_F(PathOps, LinksFollowedOrNotAsTheCallAsks)
{
    write_file(d("target"), "0123456789", 0644);
    ASSERT_EQ(symlink("target", d("link").c_str()), 0);
    serve();
    const std::string link = m(d("link"));
    EXPECT_EQ(chmod(link.c_str(), 0600), 0);
    EXPECT_EQ(truncate(link.c_str(), 3), 0);
    EXPECT_EQ(lchown(link.c_str(), 5, 6), 0);
    const timespec times[2] = {{1000, 0}, {2000, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, link.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);

    struct stat target, self;
    ASSERT_EQ(stat(d("target").c_str(), &target), 0);
    ASSERT_EQ(lstat(d("link").c_str(), &self), 0);
    EXPECT_EQ(target.st_mode & 07777, 0600u);
    EXPECT_EQ(target.st_size, 3);
    EXPECT_EQ(target.st_uid, 0u);
    EXPECT_NE(target.st_mtime, 2000);
    EXPECT_EQ(self.st_uid, 5u);
    EXPECT_EQ(self.st_gid, 6u);
    EXPECT_EQ(self.st_mtime, 2000);

    const timespec omit[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    EXPECT_EQ(utimensat(AT_FDCWD, link.c_str(), omit, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_EQ(lstat(d("link").c_str(), &self), 0);
    EXPECT_EQ(self.st_mtime, 2000);
    EXPECT_EQ(self.st_atime, 1000);
    const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    EXPECT_EQ(utimensat(AT_FDCWD, m(d("target")).c_str(), now, 0), 0);
    ASSERT_EQ(stat(d("target").c_str(), &target), 0);
    EXPECT_GE(target.st_mtime, time(nullptr) - 60);
}

TEST_F(PathOps, ExtendedAttributes)
{
    write_file(d("file"), "x");
    if (setxattr(d("file").c_str(), "user.colour", "blue", 4, 0) != 0)
        GTEST_SKIP() << "no user extended attributes under " << data;
    serve();
    const std::string file = m(d("file"));
    char buffer[64];
    EXPECT_EQ(getxattr(file.c_str(), "user.colour", nullptr, 0), 4);
    EXPECT_EQ(getxattr(file.c_str(), "user.colour", buffer, 2), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(getxattr(file.c_str(), "user.colour", buffer, sizeof buffer), 4);
    EXPECT_EQ(listxattr(file.c_str(), nullptr, 0), static_cast<ssize_t>(sizeof "user.colour"));
    EXPECT_EQ(listxattr(file.c_str(), buffer, 3), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(setxattr(file.c_str(), "user.size", "big", 3, XATTR_CREATE), 0);
    EXPECT_EQ(setxattr(file.c_str(), "user.size", "big", 3, XATTR_CREATE), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(getxattr(d("file").c_str(), "user.size", buffer, sizeof buffer), 3);
    EXPECT_EQ(removexattr(file.c_str(), "user.size"), 0);
    EXPECT_EQ(getxattr(d("file").c_str(), "user.size", buffer, sizeof buffer), -1);
}

TEST_F(PathOps, StatisticsAreTheHostFileSystems)
{
    serve();
    struct statvfs host, mirrored;
    ASSERT_EQ(statvfs(data.c_str(), &host), 0);
    ASSERT_EQ(statvfs(m(data).c_str(), &mirrored), 0);
    EXPECT_EQ(mirrored.f_blocks, host.f_blocks);
    EXPECT_EQ(mirrored.f_bsize, host.f_bsize);
    EXPECT_EQ(mirrored.f_files, host.f_files);
}

TEST_F(PathOps, RequestsRunAsTheGivenUser)
{
    ASSERT_EQ(chmod(data.c_str(), 0777), 0);
    write_file(d("private"), "secret", 0600);
    serve({}, "65534");
    umask(0);
    int fd = open(m(d("made")).c_str(), O_CREAT | O_WRONLY, 0644);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(mkdir(m(d("made-dir")).c_str(), 0755), 0);
    umask(022);
    for (const char *name : {"made", "made-dir"}) {
        struct stat st;
        ASSERT_EQ(lstat(d(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << name;
        EXPECT_EQ(st.st_gid, 65534u) << name;
    }
    // access answers for that user, whoever asks.
    EXPECT_EQ(access(m(d("private")).c_str(), R_OK), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(access(m(d("made")).c_str(), W_OK), 0);
    EXPECT_EQ(open(m(d("private")).c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
}

// The mirror shows the host's whole tree, its own mount point included: a
// path through the mount point thirty times over is the path beyond it,
// answered at once, and the mount keeps serving.
TEST_F(PathOps, PathsThroughTheMountPointAreThePathBeyond)
{
    write_file(d("file"), "through");
    ASSERT_EQ(mkdir(d("dir").c_str(), 0755), 0);
    write_file(d("dir/entry"), "");
    std::string through = mnt;
    for (int i = 0; i < 30; ++i)
        through += mnt;
    for (const auto &line : {std::vector<std::string>{}, config.recommended}) {
        SCOPED_TRACE(line.empty() ? "library defaults" : "recommended line");
        server &s = serve(line);
        const std::string file = through + d("file"), dir = through + d("dir"), direct = m(d("file"));
        pid_t reader = fork();
        if (reader == 0) {
            struct stat st, plain;
            char bytes[16];
            int fd = open(file.c_str(), O_RDONLY);
            DIR *listing = opendir(dir.c_str());
            int entries = 0;
            while (listing && readdir(listing))
                ++entries;
            bool same = stat(file.c_str(), &st) == 0 && stat(direct.c_str(), &plain) == 0 &&
                        st.st_size == plain.st_size && st.st_mtim.tv_nsec == plain.st_mtim.tv_nsec && read(fd, bytes, sizeof bytes) == 7 &&
                        std::memcmp(bytes, "through", 7) == 0 && entries == 3;
            _exit(same ? 0 : 1);
        }
        EXPECT_EQ(wait_adopted(reader, 1000), 0) << "no answer within a second, or not the one beyond";
        struct stat st;
        EXPECT_EQ(stat(m("/etc/hostname").c_str(), &st), 0);
        EXPECT_EQ(unmount_and_wait(s, mnt), 0);
    }
}

} // namespace
