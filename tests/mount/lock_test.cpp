// One instance per mount point, and the FUSE 2 program's wait at exit for
// its lock file to go.
#include "support/harness.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char lock_failure[] = "Failed to check lockfile. Maybe another process has already held the lock.";

class MountLock : public mount_test {
protected:
    mode_t directory_mode() const { return fuse3() ? 0750 : 0751; }
    // A second instance for mountpoint: fails the lock step, mounts nothing.
    void expect_refused(const std::string &mountpoint)
    {
        clear_log();
        server &second = start({"-u", "0", "-g", "0", "-f", mountpoint});
        if (!fuse3()) {
            ASSERT_TRUE(wait_for_log(lock_failure));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_TRUE(second.running()) << "waits for the other's lock file";
            release_lock_file(mountpoint);
        }
        EXPECT_EQ(second.wait_exit(), 1);
        EXPECT_EQ(second.stderr_text(), "check_lockfile failed\n");
        EXPECT_EQ(log_messages().back(), lock_failure);
    }
};

TEST_F(MountLock, LockFileAndDirectoryModes)
{
    serve();
    // /tmp/nbf-test-XXXXXX/mnt gives .brix-_tmp_nbf-test-XXXXXX_mnt
    std::string flat = "_tmp_" + root.substr(5) + "_mnt";
    EXPECT_EQ(run_command("ls -A /var/lib/brix/.lock"), ".brix-" + flat + "\n");
    std::string lock = "/var/lib/brix/.lock/.brix-" + flat;
    struct stat st;
    ASSERT_EQ(stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFREG | 0644u);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(stat("/var/lib/brix/.lock", &st), 0);
    EXPECT_EQ(st.st_mode, S_IFDIR | directory_mode());
}

TEST_F(MountLock, ExistingModesAreSetBackAndContentsKept)
{
    ASSERT_EQ(mkdir("/var/lib/brix/.lock", 0700), 0);
    std::string lock = lock_file_for(mnt);
    write_file(lock, "left by someone", 0600);
    server &s = serve();
    struct stat st;
    ASSERT_EQ(stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFREG | 0644u);
    EXPECT_EQ(read_file(lock), "left by someone");
    ASSERT_EQ(stat("/var/lib/brix/.lock", &st), 0);
    EXPECT_EQ(st.st_mode, S_IFDIR | directory_mode());
    EXPECT_EQ(unmount_and_wait(s, mnt), 0) << s.stderr_text();
}

TEST_F(MountLock, SecondInstanceIsRefusedUntilTheFirstEnds)
{
    server &first = serve();
    expect_refused(mnt);
    EXPECT_TRUE(first.running());

    // /a/b and /a_b flatten alike, so they exclude each other too.
    std::string nested = root + "/a/b", flat = root + "/a_b";
    ASSERT_EQ(mkdir((root + "/a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(nested.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(flat.c_str(), 0755), 0);
    server &a = start({"-u", "0", "-g", "0", "-f", nested});
    ASSERT_TRUE(a.wait_mounted(nested));
    mounts_.push_back(nested);
    expect_refused(flat);
    EXPECT_FALSE(is_fuse_mount(flat));
    EXPECT_EQ(unmount_and_wait(a, nested), 0);

    EXPECT_EQ(unmount_and_wait(first, mnt), 0);
    clear_log();
    server &again = serve();
    EXPECT_TRUE(again.running());
    EXPECT_EQ(unmount_and_wait(again, mnt), 0);
}

TEST_F(MountLock, TenAtOnceOneServes)
{
    std::vector<server *> runs;
    for (int i = 0; i < 10; ++i)
        runs.push_back(&start({"-u", "0", "-g", "0", "-f", mnt}));
    // The nine losers fail at once (FUSE 3) or wait for the lock file.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto failures = [] {
        int n = 0;
        for (const auto &r : log_records())
            n += r.message == lock_failure;
        return n;
    };
    while (failures() < 9 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(failures(), 9);
    ASSERT_TRUE(wait_for_log("norra-brix-fuse is running."));
    EXPECT_EQ(count_mounts(mnt), 1);
    ASSERT_EQ(umount2(mnt.c_str(), 0), 0);
    release_lock_file(mnt);
    int served = 0, refused = 0;
    for (server *r : runs) {
        int status = r->wait_exit();
        served += status == 0;
        refused += status == 1;
    }
    EXPECT_EQ(served, 1);
    EXPECT_EQ(refused, 9);
}

TEST_F(MountLock, SurvivesDaemonising)
{
    server &launcher = start({"-u", "0", "-g", "0", mnt}, {.how = launch::daemon});
    EXPECT_EQ(launcher.wait_exit(), 0);
    ASSERT_TRUE(wait_for_log("norra-brix-fuse is running."));
    pid_t daemon = logged_pid("norra-brix-fuse is running.");

    // The detached process holds the lock, on a close-on-exec descriptor.
    std::string lock = lock_file_for(mnt);
    std::string proc = "/proc/" + std::to_string(daemon);
    int held = 0;
    for (int fd = 0; fd < 64; ++fd) {
        char target[4096] = {};
        if (readlink((proc + "/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1) <= 0 || target != lock)
            continue;
        ++held;
        std::string flags = status_field(proc + "/fdinfo/" + std::to_string(fd), "flags");
        EXPECT_TRUE(std::stoul(flags, nullptr, 8) & O_CLOEXEC) << flags;
    }
    EXPECT_EQ(held, 1);
    expect_refused(mnt);

    ASSERT_EQ(umount2(mnt.c_str(), 0), 0);
    if (!fuse3())
        release_lock_file(mnt);
    EXPECT_EQ(wait_adopted(daemon), 0);
    clear_log();
    server &next = serve();
    EXPECT_EQ(unmount_and_wait(next, mnt), 0);
}

TEST_F(MountLock, StepsThatCreateNothingOrFail)
{
    // No mount point: no lock directory, no lock file.
    server &none = start({"-u", "0", "-g", "0", "-f"});
    EXPECT_EQ(none.wait_exit(), 1);
    struct stat st;
    EXPECT_NE(stat("/var/lib/brix/.lock", &st), 0);

    // "/" flattens to a single underscore; a rejected option stops the run
    // after the lock step, so nothing is mounted over the whole tree.
    clear_log();
    server &slash = start({"-u", "0", "-g", "0", "-f", "/", "-o", "no_such_option"});
    if (!fuse3()) {
        ASSERT_TRUE(wait_for_log("Failed to setup fuse."));
        EXPECT_EQ(stat("/var/lib/brix/.lock/.brix-_", &st), 0);
        release_lock_file("/");
    }
    EXPECT_EQ(slash.wait_exit(), 1);
    if (fuse3()) {
        EXPECT_EQ(stat("/var/lib/brix/.lock/.brix-_", &st), 0);
    }

    // Mount points too long for a lock-file name fail the step cleanly.
    std::string deep = root;
    while (deep.size() < 1100) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    for (size_t length : {255u, 256u, 1100u}) {
        std::string point = deep.substr(0, length);
        if (point.back() == '/')
            point.pop_back();
        struct stat probe;
        if (stat(point.c_str(), &probe) != 0) {
            ASSERT_EQ(mkdir(point.c_str(), 0755), 0) << point;
        }
        clear_log();
        server &s = start({"-u", "0", "-g", "0", "-f", point});
        // Longer than a name may be, or than the flattened-name buffer.
        EXPECT_EQ(s.wait_exit(), 1) << length;
        EXPECT_EQ(s.stderr_text(), "check_lockfile failed\n") << length;
        EXPECT_FALSE(is_fuse_mount(point));
    }

    // Without the lock directory's parent the step fails.
    std::system("rm -rf /var/lib/brix");
    clear_log();
    server &orphan = start({"-u", "0", "-g", "0", "-f", mnt});
    EXPECT_EQ(orphan.wait_exit(), 1);
    EXPECT_EQ(orphan.stderr_text(), "check_lockfile failed\n");
    EXPECT_FALSE(is_fuse_mount(mnt));
    mkdir("/var/lib/brix", 0755);
}

class RemovalWait : public mount_test {
protected:
    void SetUp() override
    {
        mount_test::SetUp();
        if (!IsSkipped() && fuse3())
            GTEST_SKIP() << "only the FUSE 2 program waits for its lock file";
    }
};

TEST_F(RemovalWait, StaysUntilTheLockFileIsMovedOrRemoved)
{
    server &s = serve();
    std::string lock = lock_file_for(mnt);
    ASSERT_EQ(umount2(mnt.c_str(), 0), 0);
    ASSERT_TRUE(wait_for_log("norra-brix-fuse is going to exit."));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(s.running()) << "the lock file is still there";
    auto moved = std::chrono::steady_clock::now();
    ASSERT_EQ(rename(lock.c_str(), (lock + ".moved").c_str()), 0);
    EXPECT_EQ(s.wait_exit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - moved, std::chrono::seconds(2));

    // A removal shows only when the ten-second watch ends quietly.
    clear_log();
    server &again = serve();
    ASSERT_EQ(umount2(mnt.c_str(), 0), 0);
    ASSERT_TRUE(wait_for_log("norra-brix-fuse is going to exit."));
    auto removed = std::chrono::steady_clock::now();
    ASSERT_EQ(unlink(lock.c_str()), 0);
    EXPECT_EQ(again.wait_exit(15000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - removed, std::chrono::seconds(12));
}

TEST_F(RemovalWait, PollsWhenInotifyIsUnavailable)
{
    // A helper running as the serving user holds every inotify instance
    // that user may have, so the program falls back to polling.
    const uid_t user = 4242;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t helper = fork();
    if (helper == 0) {
        if (setgid(user) != 0 || setuid(user) != 0)
            _exit(1);
        while (inotify_init1(0) >= 0) {
        }
        (void)!write(ready[1], "r", 1);
        pause();
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);

    ASSERT_EQ(chmod(data.c_str(), 0777), 0);
    server &s = serve({}, std::to_string(user));
    std::string lock = lock_file_for(mnt);
    ASSERT_EQ(umount2(mnt.c_str(), 0), 0);
    ASSERT_TRUE(wait_for_log("norra-brix-fuse is going to exit."));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(s.running());
    auto removed = std::chrono::steady_clock::now();
    ASSERT_EQ(unlink(lock.c_str()), 0);
    EXPECT_EQ(s.wait_exit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - removed, std::chrono::milliseconds(2500));
    kill(helper, SIGKILL);
    waitpid(helper, nullptr, 0);
}

TEST_F(RemovalWait, EndsAtOnceWhenNoLockWasTaken)
{
    // A refused launcher and missing ids leave no lock file to wait for.
    server &refused = start({"-u", "0", "-g", "0", "-f", mnt}, {.how = launch::unaccepted});
    EXPECT_EQ(refused.wait_exit(2000), 0);
    server &no_ids = start({"-f", mnt});
    EXPECT_EQ(no_ids.wait_exit(2000), 255);
}

} // namespace
