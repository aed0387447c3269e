// The program's decision on another caller's access, beside the kernel's
// for the same caller, object and access control list.
#include "ops/caller_access.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<gid_t> &caller_groups = *new std::vector<gid_t>;

int fetch_groups(int size, gid_t list[])
{
    int count = static_cast<int>(caller_groups.size());
    for (int i = 0; i < count && i < size; ++i)
        list[i] = caller_groups[static_cast<size_t>(i)];
    return count;
}

// The kernel's answer: access(2) by a process with the caller's ids.
int kernel_answer(const std::string &path, uid_t uid, gid_t gid, int mask)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(caller_groups.size(), caller_groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(2);
        _exit(access(path.c_str(), mask) == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

TEST(CallerAccess, DecidesAsTheKernelDoes)
{
    if (geteuid() != 0 || std::system("command -v setfacl >/dev/null") != 0)
        GTEST_SKIP() << "needs root and setfacl";
    char dir_template[] = "/tmp/nbf-access-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    ASSERT_EQ(chmod(dir_template, 0755), 0);
    const std::string object = std::string(dir_template) + "/o";
    // Modes, with and without lists: a named user that grants and one that
    // refuses what the others' bits allow, a named group, a mask that limits
    // a named entry, an empty group class, a private directory opened to
    // one user.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"0600", ""}, {"0640", ""}, {"0604", ""}, {"0070", ""}, {"0600", "u:1234:r--"},
        {"0644", "u:1234:---"}, {"0640", "g:2345:rw-"}, {"0600", "u:1234:rwx,m::r--"},
        {"0604", "u:1234:rw-,m::---"}, {"0700", "u:1234:r-x"}, {"0750", "g:1234:--x,u:1235:rwx"},
        {"0660", "g:2345:r--,g:3456:-w-"},
    };
    struct caller_case {
        uid_t uid;
        gid_t gid;
        std::vector<gid_t> groups;
    };
    const std::vector<caller_case> callers = {
        {1234, 1234, {}}, {1235, 1235, {2345}}, {1236, 0, {}}, {1237, 1237, {2345, 3456}}};
    for (bool directory : {false, true})
        for (const auto &[mode, list] : cases) {
            std::string make = std::string("rm -rf ") + object + " && " + (directory ? "mkdir " : "touch ") + object +
                               " && chown 0:0 " + object + " && chmod " + mode + " " + object;
            if (!list.empty())
                make += " && setfacl -m " + list + " " + object;
            ASSERT_EQ(std::system(make.c_str()), 0) << make;
            int fd = open(object.c_str(), O_PATH);
            struct stat st;
            ASSERT_EQ(fstat(fd, &st), 0);
            for (const auto &c : callers) {
                caller_groups = c.groups;
                for (int mask : {R_OK, W_OK, X_OK, R_OK | W_OK, R_OK | X_OK}) {
                    ops::request_caller caller;
                    caller.uid = c.uid;
                    caller.gid = c.gid;
                    caller.fetch_groups = fetch_groups;
                    int ours = ops::caller_may(caller, fd, st, mask) == 0 ? 0 : 1;
                    EXPECT_EQ(ours, kernel_answer(object, c.uid, c.gid, mask))
                        << (directory ? "directory " : "file ") << mode << " " << list << ", caller " << c.uid
                        << ", mask " << mask;
                }
            }
            close(fd);
        }
    std::system((std::string("rm -rf ") + dir_template).c_str());
}

} // namespace
