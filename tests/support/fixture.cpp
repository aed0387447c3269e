// The fixture of the mount tests: fresh directories, the programs it
// starts, and what is left of them when a test ends.
#include "harness_internal.h"

#include <csignal>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

void mount_test::SetUp()
{
    if (!usable)
        GTEST_SKIP() << skip_reason;
    char root_template[] = "/tmp/nbf-test-XXXXXX";
    ASSERT_NE(mkdtemp(root_template), nullptr);
    root = root_template;
    data = root + "/data";
    mnt = root + "/mnt";
    ::chmod(root.c_str(), 0755);
    ::mkdir(data.c_str(), 0755);
    ::mkdir(mnt.c_str(), 0755);
    remove_tree("/var/lib/brix");
    ::mkdir("/var/lib/brix", 0755);
    clear_log();
    arm_watchdog(240);
}

void mount_test::TearDown()
{
    if (!usable)
        return;
    mounts_.push_back(mnt);
    for (const auto &mountpoint : mounts_)
        while (umount2(mountpoint.c_str(), MNT_DETACH) == 0) {
        }
    // Servers that daemonised, and the lock helpers they started, were
    // handed to this process; end those that are still about.
    for (const auto &r : log_records()) {
        if (r.pid > 0 && proc_status_field(r.pid, "PPid") == std::to_string(getpid()))
            kill(r.pid, SIGKILL);
    }
    // The lock helpers detach and land here too, and they outlive the
    // program that started them.
    // Killing one may hand its own helpers to this process: go round again.
    for (int round = 0; round < 3; ++round)
        for (pid_t child : children_of(getpid()))
            if (proc_status_field(child, "Name") == "ulockmgr_server")
                kill(child, SIGKILL);
    // A sanitizer report ends a server; show it rather than only what its
    // end did to the test.
    for (const auto &s : servers_)
        if (std::string text = s->stderr_text(); text.find("Sanitizer") != std::string::npos)
            ADD_FAILURE() << "a server's standard error:\n" << text.substr(0, 8000);
    servers_.clear();
    // Whatever else the test forked and left waiting (for a lock, on a pipe)
    // would outlive it, holding the run's output open.
    for (pid_t child : children_of(getpid()))
        kill(child, SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    EXPECT_TRUE(disarm_watchdog()) << "the test overran its time";
    remove_tree(root);
}

server &mount_test::start(const std::vector<std::string> &args, const start_options &options)
{
    std::string path = root + "/stderr-" + std::to_string(++serial_);
    servers_.push_back(std::make_unique<server>(args, options, path));
    return *servers_.back();
}

server &mount_test::serve(const std::vector<std::string> &extra, const std::string &user)
{
    std::vector<std::string> args = {"-u", user, "-g", user, "-f", mnt};
    args.insert(args.end(), extra.begin(), extra.end());
    server &s = start(args);
    if (!s.wait_mounted(mnt))
        throw std::runtime_error("the filesystem did not mount; standard error: " + s.stderr_text());
    return s;
}

int mount_test::unmount_and_wait(server &s, const std::string &mountpoint)
{
    if (umount2(mountpoint.c_str(), 0) != 0)
        lazy_unmount(mountpoint);
    // The FUSE 2 program stays until its lock file is moved away.
    if (config.fuse_version == 2)
        release_lock_file(mountpoint);
    return s.wait_exit();
}
