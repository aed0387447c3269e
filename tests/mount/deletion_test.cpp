// The deletion policy through the mount.
#include "support/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Deletion : public mount_test {
protected:
    bool on_host(const std::string &name) const
    {
        struct stat st;
        return lstat(d(name).c_str(), &st) == 0;
    }
};

TEST_F(Deletion, WithoutTheSwitchOnlyTemporaryFilesGo)
{
    write_file(d("report.doc"), "keep me");
    write_file(d("moffice12.tmp"), "x");
    write_file(d("MOFFICE12.TMP"), "x");
    write_file(d("0f3a9c2e-1b4d-4e8a-9c1f-2a3b4c5d6e7f"), "x");
    ASSERT_EQ(mkdir(d("1.2").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(d("full").c_str(), 0755), 0);
    write_file(d("full/inside"), "x");
    serve();

    EXPECT_EQ(unlink(m(d("report.doc")).c_str()), 0);
    EXPECT_TRUE(on_host("report.doc"));
    EXPECT_EQ(read_file(d("report.doc")), "keep me");
    for (const char *name : {"moffice12.tmp", "MOFFICE12.TMP", "0f3a9c2e-1b4d-4e8a-9c1f-2a3b4c5d6e7f"}) {
        EXPECT_EQ(unlink(m(d(name)).c_str()), 0) << name;
        EXPECT_FALSE(on_host(name)) << name;
    }
    EXPECT_EQ(unlink(m(d("moffice1.tmp")).c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(rmdir(m(d("1.2")).c_str()), 0);
    EXPECT_TRUE(on_host("1.2"));
    EXPECT_EQ(rmdir(m(d("full")).c_str()), 0);
    EXPECT_TRUE(on_host("full/inside"));
}

TEST_F(Deletion, WithTheSwitchEveryRequestReachesTheHost)
{
    write_file(d("report.doc"), "x");
    ASSERT_EQ(mkdir(d("empty").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(d("full").c_str(), 0755), 0);
    write_file(d("full/inside"), "x");
    serve({"--allow-delete"});

    EXPECT_EQ(unlink(m(d("report.doc")).c_str()), 0);
    EXPECT_FALSE(on_host("report.doc"));
    EXPECT_EQ(unlink(m(d("report.doc")).c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(rmdir(m(d("full")).c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_EQ(rmdir(m(d("empty")).c_str()), 0);
    EXPECT_FALSE(on_host("empty"));
}

TEST_F(Deletion, RemovingAnOpenFilesName)
{
    write_file(d("report.doc"), "still here");
    serve();
    int fd = open(m(d("report.doc")).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(unlink(m(d("report.doc")).c_str()), 0);
    close(fd);

    std::vector<std::string> hidden;
    DIR *dir = opendir(data.c_str());
    while (dirent *e = readdir(dir))
        if (std::string(e->d_name).rfind(".fuse_hidden", 0) == 0)
            hidden.push_back(e->d_name);
    closedir(dir);
    if (fuse3()) {
        // Removed at once, so the refusal leaves the name where it was.
        EXPECT_TRUE(on_host("report.doc"));
        EXPECT_TRUE(hidden.empty());
    } else {
        // The library hides the open file first; its later removal of the
        // hidden name is refused like any other.
        EXPECT_FALSE(on_host("report.doc"));
        ASSERT_EQ(hidden.size(), 1u);
        EXPECT_EQ(read_file(d(hidden[0])), "still here");
    }
}

} // namespace
