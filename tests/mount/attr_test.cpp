// Attributes through the mount against the host's.
#include "support/harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

class Attributes : public mount_test {
protected:
    // FUSE 2 keeps the library's default caching of a second.
    void settle() const
    {
        if (!fuse3())
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    }
};

void expect_same(const struct stat &a, const struct stat &b, bool same_inode, const std::string &what)
{
    if (same_inode) {
        EXPECT_EQ(a.st_ino, b.st_ino) << what;
    }
    EXPECT_EQ(a.st_mode, b.st_mode) << what;
    EXPECT_EQ(a.st_nlink, b.st_nlink) << what;
    EXPECT_EQ(a.st_uid, b.st_uid) << what;
    EXPECT_EQ(a.st_gid, b.st_gid) << what;
    EXPECT_EQ(a.st_size, b.st_size) << what;
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << what;
    EXPECT_EQ(a.st_mtim.tv_nsec, b.st_mtim.tv_nsec) << what;
    EXPECT_EQ(a.st_ctim.tv_sec, b.st_ctim.tv_sec) << what;
    EXPECT_EQ(a.st_ctim.tv_nsec, b.st_ctim.tv_nsec) << what;
}

TEST_F(Attributes, MatchTheHost)
{
    write_file(d("file"), "some content", 0640);
    ASSERT_EQ(chown(d("file").c_str(), 12, 34), 0);
    ASSERT_EQ(symlink("file", d("link").c_str()), 0);
    serve();
    // Only the FUSE 3 program shows the host's inode numbers.
    for (const std::string &path : {std::string("/etc/hostname"), d("file"), data, d("link")}) {
        struct stat host, mirrored;
        ASSERT_EQ(lstat(path.c_str(), &host), 0) << path;
        ASSERT_EQ(lstat(m(path).c_str(), &mirrored), 0) << path;
        expect_same(mirrored, host, fuse3(), path);
    }
    struct stat link;
    ASSERT_EQ(lstat(m(d("link")).c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(link.st_size, 4);

    struct stat st;
    EXPECT_EQ(lstat(m(d("missing")).c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(stat(m(d("file/below")).c_str(), &st), -1);
    EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(Attributes, HostChangesShowAtTheNextAccess)
{
    write_file(d("file"), "1234");
    serve();
    struct stat st;
    ASSERT_EQ(stat(m(d("file")).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
    ASSERT_EQ(stat(m(d("later")).c_str(), &st), -1);

    write_file(d("file"), "123456789");
    write_file(d("later"), "x");
    settle();
    ASSERT_EQ(stat(m(d("file")).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 9);
    EXPECT_EQ(stat(m(d("later")).c_str(), &st), 0) << "no failed lookup is remembered";
    EXPECT_EQ(read_file(m(d("file"))), "123456789");

    ASSERT_EQ(unlink(d("later").c_str()), 0);
    settle();
    EXPECT_EQ(stat(m(d("later")).c_str(), &st), -1);
}

TEST_F(Attributes, OpenFilesAnswerFromTheirHandle)
{
    write_file(d("file"), "0123456789");
    serve();
    int fd = open(m(d("file")).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(unlink(d("file").c_str()), 0);
    // The kernel asks with the handle when it must know an open file's size.
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 10);
    EXPECT_EQ(ftruncate(fd, 4), 0) << strerror(errno);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 4);
    char buffer[8];
    EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), 4);
    close(fd);
}

} // namespace
