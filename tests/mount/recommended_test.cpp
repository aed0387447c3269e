// Each program on its recommended command line: a faithful mirror while
// other processes change the host, and no more access for other local users
// than the host gives them.
#include "support/harness.h"

#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Recommended : public mount_test {};

// Rewrites a host file in place, so that a same-size rewrite changes only
// the bytes and the time stamps.
void rewrite(const std::string &path, const std::string &content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, content.data(), content.size(), 0), static_cast<ssize_t>(content.size()));
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(content.size())), 0);
    close(fd);
}

std::string read_from(int fd)
{
    std::string bytes(1 << 16, '\0');
    ssize_t n = pread(fd, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

TEST_F(Recommended, HostChangesShowAtOnce)
{
    const std::string host = d("file"), mirrored = m(d("file"));
    rewrite(host, std::string(8192, 'a'));
    serve(config.recommended);
    int reader = open(mirrored.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    for (int round = 0; round < 20; ++round) {
        char fill = static_cast<char>('b' + round);
        const std::pair<const char *, std::string> changes[] = {
            {"same-size rewrite", std::string(8192, fill)},
            {"growth", std::string(12000, fill)},
            {"truncation", std::string(100, fill)},
            {"growth back", std::string(8192, fill)},
        };
        for (const auto &[what, content] : changes) {
            // Each check reads, so the old bytes are cached when the host
            // changes them. The reader that stays open is asked first in
            // every other round, before an open could drop the cache.
            rewrite(host, content);
            bool kept_first = round % 2 == 0;
            std::string kept = kept_first ? read_from(reader) : "";
            EXPECT_TRUE(read_file(mirrored) == content) << what << " unseen by the next open, round " << round;
            if (!kept_first)
                kept = read_from(reader);
            EXPECT_TRUE(kept == content) << what << " unseen by the open reader, round " << round;
        }
    }
    close(reader);
}

TEST_F(Recommended, InodeNumbersAndLinksAsOnTheHost)
{
    write_file(d("a"), "x");
    serve(config.recommended);
    struct stat st;
    ASSERT_EQ(stat(m(d("a")).c_str(), &st), 0);
    ASSERT_EQ(link(m(d("a")).c_str(), m(d("b")).c_str()), 0);
    ASSERT_EQ(stat(m(d("a")).c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u) << "after ln through the mount";
    ASSERT_EQ(link(d("a").c_str(), d("c").c_str()), 0);
    ASSERT_EQ(stat(m(d("b")).c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 3u) << "after ln on the host";

    DIR *dir = opendir(m(data).c_str());
    ASSERT_NE(dir, nullptr);
    int entries = 0;
    while (dirent *e = readdir(dir)) {
        struct stat host, mirrored;
        std::string name = e->d_name;
        ASSERT_EQ(lstat(d(name).c_str(), &host), 0) << name;
        ASSERT_EQ(lstat(m(d(name)).c_str(), &mirrored), 0) << name;
        EXPECT_EQ(e->d_ino, host.st_ino) << name << " in the listing";
        EXPECT_EQ(mirrored.st_ino, host.st_ino) << name << " by stat";
        ++entries;
    }
    closedir(dir);
    EXPECT_EQ(entries, 5);

}

// Two processes through the mount and two on the host update one counter
// under a lock each time: nothing may be lost.
TEST_F(Recommended, LockedCountersSharedWithTheHost)
{
    serve(config.recommended);
    for (bool record : {true, false}) {
        const std::string name = record ? "record" : "flock";
        write_file(d(name), std::string(8, '\0'));
        const std::string paths[] = {d(name), m(d(name))};
        std::vector<pid_t> workers;
        for (int w = 0; w < 4; ++w) {
            pid_t pid = fork();
            if (pid == 0) {
                for (int i = 0; i < 500; ++i) {
                    int fd = open(paths[w % 2].c_str(), O_RDWR);
                    uint64_t value = 0;
                    if (fd < 0 || lock_whole(fd, record, true) != 0 || pread(fd, &value, 8, 0) != 8)
                        _exit(1);
                    ++value;
                    if (pwrite(fd, &value, 8, 0) != 8)
                        _exit(1);
                    close(fd);
                }
                _exit(0);
            }
            workers.push_back(pid);
        }
        for (pid_t pid : workers)
            EXPECT_EQ(wait_adopted(pid, 120000), 0) << name;
        uint64_t value = 0;
        std::string bytes = read_file(d(name));
        ASSERT_EQ(bytes.size(), 8u);
        std::memcpy(&value, bytes.data(), 8);
        EXPECT_EQ(value, 2000u) << "updates under " << name << " were lost";
    }
}

// errno of one action on path as user uid, 0 when it succeeds: open for
// (r)eading, (w)riting or (c)reating, (t)runcate, change (m)ode.
int as_user(uid_t uid, char action, const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
            _exit(255);
        int flags = action == 'r' ? O_RDONLY : action == 'w' ? O_WRONLY : O_WRONLY | O_CREAT;
        int result = action == 't'   ? truncate(path.c_str(), 0)
                     : action == 'm' ? chmod(path.c_str(), 0666)
                                     : open(path.c_str(), flags, 0644);
        _exit(result == -1 ? errno : 0);
    }
    return wait_adopted(pid);
}

// The served user's private file: other users get what the host gives
// them, which is nothing; its owner and root keep their access.
TEST_F(Recommended, OtherUsersGetOnlyWhatTheHostAllows)
{
    write_file(d("private"), "secret", 0600);
    ASSERT_EQ(chown(d("private").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(data.c_str(), 65534, 65534), 0);
    serve(config.recommended, "65534");
    const std::string file = m(d("private")), created = m(d("made"));
    for (char action : {'r', 'w', 't'})
        EXPECT_EQ(as_user(1234, action, file), EACCES) << action;
    EXPECT_EQ(as_user(1234, 'm', file), EPERM);
    EXPECT_EQ(as_user(1234, 'c', created), EACCES);
    for (char action : {'r', 'w'})
        EXPECT_EQ(as_user(65534, action, file), 0) << action;
    EXPECT_EQ(as_user(65534, 'c', created), 0);
    EXPECT_EQ(read_file(file), "secret") << "root reads through the mount";
}

} // namespace
