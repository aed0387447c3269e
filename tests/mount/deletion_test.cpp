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

// A name removed while its file is open, on each line and with and without
// the switch: the host's name goes as the policy says, at once; the open
// descriptor keeps working; and nothing the program or its library made is
// left on the host. A rename over an open file leaves the host as the
// host's own rename would, and a rename to a name shaped like the library's
// hidden ones is a rename like any other.
TEST_F(Deletion, NamesRemovedWhileOpen)
{
    const std::string hidden_looking = ".fuse_hidden0000000a00000001";
    for (const auto &line : {std::vector<std::string>{}, config.recommended})
        for (bool allowed : {false, true}) {
            SCOPED_TRACE((line.empty() ? "defaults" : "recommended") + std::string(allowed ? ", --allow-delete" : ""));
            ASSERT_EQ(system(("rm -rf " + data + "/* " + data + "/.[!.]*").c_str()), 0);
            std::vector<std::string> extra = line;
            if (allowed)
                extra.push_back("--allow-delete");
            server &s = serve(extra);
            write_file(d("new.tmp"), "new version");
            struct removal {
                std::string name;
                bool renamed_over;
                bool stays;
            };
            for (const removal &r : {removal{"12-345", false, false}, removal{"report.doc", false, !allowed},
                                     removal{"report2.doc", true, true}}) {
                SCOPED_TRACE(r.name);
                int fd = open(m(d(r.name)).c_str(), O_CREAT | O_RDWR, 0644);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(write(fd, "before ", 7), 7);
                if (r.renamed_over)
                    ASSERT_EQ(rename(m(d("new.tmp")).c_str(), m(d(r.name)).c_str()), 0);
                else
                    ASSERT_EQ(unlink(m(d(r.name)).c_str()), 0);
                EXPECT_EQ(on_host(r.name), r.stays) << "at once";
                EXPECT_EQ(write(fd, "after", 5), 5);
                struct stat st;
                EXPECT_EQ(fstat(fd, &st), 0) << strerror(errno);
                EXPECT_EQ(st.st_size, 12);
                EXPECT_EQ(st.st_nlink, 0u);
                EXPECT_EQ(fchmod(fd, 0600), 0) << strerror(errno);
                EXPECT_EQ(lseek(fd, 0, SEEK_END), 12);
                char bytes[16] = {};
                EXPECT_EQ(pread(fd, bytes, sizeof bytes, 0), 12);
                EXPECT_STREQ(bytes, "before after");
                EXPECT_EQ(close(fd), 0);
                EXPECT_EQ(on_host(r.name), r.stays) << "after the close";
                if (r.stays) {
                    EXPECT_EQ(read_file(d(r.name)), r.renamed_over ? "new version" : "before after");
                }
            }
            // Renamed to a hidden-looking name, open or not: a rename.
            for (bool open_meanwhile : {false, true}) {
                write_file(d("plain"), "plain");
                int fd = open_meanwhile ? open(m(d("plain")).c_str(), O_RDONLY) : -1;
                EXPECT_EQ(rename(m(d("plain")).c_str(), m(d(hidden_looking)).c_str()), 0);
                EXPECT_FALSE(on_host("plain"));
                EXPECT_EQ(read_file(d(hidden_looking)), "plain") << "open: " << open_meanwhile;
                if (fd >= 0) {
                    close(fd);
                }
                EXPECT_EQ(unlink(m(d(hidden_looking)).c_str()), 0);
                EXPECT_EQ(on_host(hidden_looking), !allowed) << "removed as any name is";
            }
            EXPECT_EQ(unmount_and_wait(s, mnt), 0);
            std::vector<std::string> hidden;
            DIR *dir = opendir(data.c_str());
            while (dirent *e = readdir(dir))
                if (std::string(e->d_name).rfind(".fuse_hidden", 0) == 0 && e->d_name != hidden_looking)
                    hidden.push_back(e->d_name);
            closedir(dir);
            EXPECT_TRUE(hidden.empty()) << hidden.front() << " was left on the host";
        }
}

} // namespace
