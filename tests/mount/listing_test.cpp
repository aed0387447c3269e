// Directory listings through the mount.
#include "support/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Listing : public mount_test {
protected:
    void populate(const std::string &dir, int count)
    {
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        for (int i = 0; i < count; ++i) {
            int fd = open((dir + "/entry-" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
            ASSERT_GE(fd, 0);
            close(fd);
        }
    }
};

std::multiset<std::string> list(const std::string &dir, std::map<std::string, unsigned char> *types = nullptr)
{
    std::multiset<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return names;
    while (dirent *e = readdir(d)) {
        names.insert(e->d_name);
        if (types)
            (*types)[e->d_name] = e->d_type;
    }
    closedir(d);
    return names;
}

TEST_F(Listing, EveryHostEntryExactlyOnce)
{
    ASSERT_EQ(mkdir(d("empty").c_str(), 0755), 0);
    populate(d("few"), 5);
    ASSERT_EQ(symlink("entry-0", d("few/link").c_str()), 0);
    ASSERT_EQ(mkdir(d("few/.hidden").c_str(), 0700), 0);
    populate(d("many"), 100000);
    serve();

    EXPECT_EQ(list(m(d("empty"))), (std::multiset<std::string>{".", ".."}));
    std::map<std::string, unsigned char> types;
    EXPECT_EQ(list(m(d("few")), &types), list(d("few")));
    EXPECT_EQ(types["link"], DT_LNK);
    EXPECT_EQ(types[".hidden"], DT_DIR);
    EXPECT_EQ(types["entry-1"], DT_REG);
    struct stat st;
    ASSERT_EQ(lstat(m(d("few/link")).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    auto many = list(m(d("many")));
    EXPECT_EQ(many.size(), 100002u);
    EXPECT_TRUE(many == list(d("many")));
}

TEST_F(Listing, ConcurrentListersEachSeeTheWhole)
{
    populate(d("many"), 20000);
    serve();
    const auto expected = list(d("many"));
    std::vector<pid_t> children;
    for (int i = 0; i < 3; ++i) {
        pid_t child = fork();
        if (child == 0) {
            bool same = true;
            for (int round = 0; round < 3; ++round)
                same = same && list(m(d("many"))) == expected;
            _exit(same ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

TEST_F(Listing, SeekTellAndRewindBehaveAsOnTheHost)
{
    populate(d("dir"), 500);
    serve();
    // The same walk on the host and through the mount.
    auto walk = [](const std::string &dir) {
        std::vector<std::string> seen;
        DIR *d = opendir(dir.c_str());
        for (int i = 0; i < 100; ++i)
            seen.push_back(readdir(d)->d_name);
        long mark = telldir(d);
        std::vector<std::string> after;
        for (int i = 0; i < 50; ++i)
            after.push_back(readdir(d)->d_name);
        seekdir(d, mark);
        for (int i = 0; i < 50; ++i)
            seen.push_back(readdir(d)->d_name);
        seen.insert(seen.end(), after.begin(), after.end());
        rewinddir(d);
        seen.push_back(readdir(d)->d_name);
        int rest = 0;
        seekdir(d, mark);
        while (readdir(d))
            ++rest;
        seen.push_back(std::to_string(rest));
        closedir(d);
        return seen;
    };
    auto host = walk(d("dir"));
    auto mirrored = walk(m(d("dir")));
    EXPECT_EQ(mirrored, host);
}

} // namespace
