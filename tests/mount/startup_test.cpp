// Start-up, command line, messages, statuses and the mount lifecycle.
#include "support/harness.h"

#include <fstream>
#include <csignal>
#include <fcntl.h>
#include <linux/capability.h>
#include <sstream>
#include <sys/mount.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace {

const std::vector<std::string> progress = {
    "norra-brix-fuse is starting.", "Check lock file.", "Try to setup fuse now.",
    "Set groups, uid and gid.", "norra-brix-fuse is running.", "norra-brix-fuse is going to exit.",
};

class Startup : public mount_test {};

TEST_F(Startup, ServesThroughLauncherAndLogsProgressInOrder)
{
    server &s = start({"-u", "0", "-g", "0", "-f", mnt}, {.how = launch::daemon});
    ASSERT_TRUE(s.wait_mounted(mnt)) << s.stderr_text();
    struct stat st;
    EXPECT_EQ(stat(m("/etc/hostname").c_str(), &st), 0);
    EXPECT_EQ(unmount_and_wait(s, mnt), 0);
    EXPECT_EQ(s.stderr_text(), "");
    EXPECT_EQ(log_messages(), progress);
    for (const auto &r : log_records()) {
        EXPECT_EQ(r.ident, "BRIX_norra-brix-fuse");
        EXPECT_EQ(r.facility, LOG_USER);
        EXPECT_EQ(r.severity, LOG_DEBUG);
        EXPECT_NE(r.pid, s.pid()) << "the launcher's child is the program itself";
    }
}

TEST_F(Startup, LauncherTurnsSignalsIntoAnUnmount)
{
    for (int signal : {SIGTERM, SIGINT}) {
        clear_log();
        server &s = start({"-u", "0", "-g", "0", "-f", mnt}, {.how = launch::daemon});
        ASSERT_TRUE(s.wait_mounted(mnt)) << s.stderr_text();
        ASSERT_TRUE(wait_for_log("norra-brix-fuse is running."));
        kill(s.pid(), signal);
        // The FUSE 2 program ends too: the launcher moves its lock file away.
        EXPECT_EQ(s.wait_exit(), 0) << signal;
        EXPECT_FALSE(is_fuse_mount(mnt));
        EXPECT_EQ(log_messages(), progress);
    }
}

// Served as another user, which may not unmount what root mounted: the
// mount still goes when the program ends by a signal or is killed, and a new
// instance then starts at the same place.
TEST_F(Startup, TheMountGoesWithItsServer)
{
    std::vector<std::string> args = {"-u", "65534", "-g", "65534", "-f", mnt};
    args.insert(args.end(), config.recommended.begin(), config.recommended.end());
    for (int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGKILL");
        clear_log();
        server &s = start(args, {.how = launch::daemon});
        ASSERT_TRUE(s.wait_mounted(mnt)) << s.stderr_text();
        ASSERT_TRUE(wait_for_log("norra-brix-fuse is running."));
        ASSERT_GT(logged_pid("norra-brix-fuse is running."), 0);
        kill(logged_pid("norra-brix-fuse is running."), signal);
        for (int i = 0; i < 300 && is_fuse_mount(mnt); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(is_fuse_mount(mnt)) << "the mount outlived its loop or its process";
        if (!fuse3() && signal == SIGTERM) {
            EXPECT_TRUE(s.running()) << "the FUSE 2 program waits for its lock file";
            release_lock_file(mnt);
        }
        EXPECT_EQ(s.wait_exit(), signal == SIGKILL ? 128 + SIGKILL : fuse3() ? 1 : 0);
        EXPECT_EQ(s.stderr_text(), "");
    }
    server &again = start(args, {.how = launch::daemon});
    ASSERT_TRUE(again.wait_mounted(mnt)) << again.stderr_text();
    struct stat st;
    EXPECT_EQ(stat(m("/etc/hostname").c_str(), &st), 0);
}

// Dead mounts that no guard removed: one whose guard was held up leaves
// whatever was mounted there meanwhile alone; one whose program died with
// its guard (as if before it could start one) the launcher removes before
// the next instance starts.
TEST_F(Startup, DeadMountsGoAndOnlyThem)
{
    const std::vector<std::string> args = {"-u", "65534", "-g", "65534", "-f", mnt};
    // Starts an instance and kills it once its guard has been dealt with.
    auto kill_served = [&](int guard_signal) {
        clear_log();
        server &s = start(args, {.how = launch::daemon});
        EXPECT_TRUE(s.wait_mounted(mnt)) << s.stderr_text();
        EXPECT_TRUE(wait_for_log("norra-brix-fuse is running."));
        pid_t program = logged_pid("norra-brix-fuse is running."), guard = 0;
        // The guard names itself as it starts.
        for (int i = 0; i < 500 && guard == 0; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(2)))
            for (pid_t child : children_of(program))
                if (proc_status_field(child, "Name") == "brix-unmount")
                    guard = child;
        EXPECT_NE(guard, 0) << "no unmount guard";
        if (guard > 0)
            kill(guard, guard_signal);
        // A killed guard lets go of the lock as it ends, not as it is told.
        for (int i = 0; guard_signal == SIGKILL && i < 500; ++i) {
            std::string state = proc_status_field(guard, "State");
            if (state.empty() || state[0] == 'Z')
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        kill(program, SIGKILL);
        EXPECT_EQ(s.wait_exit(), 128 + SIGKILL);
        struct stat st;
        EXPECT_EQ(stat(mnt.c_str(), &st), -1);
        EXPECT_EQ(errno, ENOTCONN) << "not a dead mount";
        return guard;
    };

    pid_t held = kill_served(SIGSTOP);
    ASSERT_GT(held, 0);
    lazy_unmount(mnt);
    ASSERT_EQ(mount("tmpfs", mnt.c_str(), "tmpfs", 0, nullptr), 0);
    kill(held, SIGCONT);
    EXPECT_EQ(wait_adopted(held, 5000), 0);
    struct statfs fs;
    EXPECT_EQ(statfs(mnt.c_str(), &fs), 0);
    EXPECT_EQ(fs.f_type, TMPFS_MAGIC) << "the guard took another file system's mount";
    ASSERT_EQ(umount2(mnt.c_str(), 0), 0);

    kill_served(SIGKILL);
    clear_log();
    server &next = start(args, {.how = launch::daemon});
    // The dead mount counts as a mount: wait for the new one to serve.
    ASSERT_TRUE(wait_for_log("norra-brix-fuse is running.")) << next.stderr_text();
    EXPECT_EQ(count_mounts(mnt), 1);
    struct stat st;
    EXPECT_EQ(stat(m("/etc/hostname").c_str(), &st), 0);
    EXPECT_EQ(unmount_and_wait(next, mnt), 0);
    EXPECT_EQ(next.stderr_text(), "norra-brix-daemon: removed a dead mount at " + mnt + "\n");
}

TEST_F(Startup, RefusedCallersExitQuietlyWithZero)
{
    // Codes are exact and case-sensitive; without one the parent decides,
    // and the test process is not the launching daemon.
    for (std::string code : {"", "QV", "zjx", "qv ", "<empty>", "zq"}) {
        clear_log();
        server &s = start({"-u", "0", "-g", "0", "-f", mnt}, {.how = launch::unaccepted, .caller_code = code});
        EXPECT_EQ(s.wait_exit(), 0) << code;
        EXPECT_EQ(s.stderr_text(), "") << code;
        EXPECT_EQ(log_messages(), std::vector<std::string>{"norra-brix-fuse is starting."}) << code;
        EXPECT_FALSE(is_fuse_mount(mnt));
    }
}

TEST_F(Startup, ParentNameComparesFifteenCharacters)
{
    // The kernel keeps 15 characters of a name: a longer name with the same
    // start is accepted, a 14-character one is not.
    std::string longer = root + "/norra-brix-daemon-2";
    std::string shorter = root + "/norra-brix-dae";
    for (const auto &copy : {longer, shorter})
        ASSERT_EQ(system(("cp " + config.launcher + " " + copy).c_str()), 0);

    server &refused = start({"-u", "0", "-g", "0", "-f", mnt}, {.how = launch::daemon, .launcher_path = shorter});
    EXPECT_EQ(refused.wait_exit(), 0);
    EXPECT_FALSE(is_fuse_mount(mnt));

    server &accepted = start({"-u", "0", "-g", "0", "-f", mnt}, {.how = launch::daemon, .launcher_path = longer});
    ASSERT_TRUE(accepted.wait_mounted(mnt)) << accepted.stderr_text();
    EXPECT_EQ(unmount_and_wait(accepted, mnt), 0);
}

TEST_F(Startup, InvalidIdsEndWith255AndNothingReported)
{
    const std::vector<std::vector<std::string>> cases = {
        {"-u", "12abc", "-g", "0"},
        {"-u", "", "-g", "0"},
        {"-u", "4294967295", "-g", "0"},      // 2^32 - 1 narrows to -1
        {"-u1000", "-g", "0"},                // only whole elements count
        {"-u", "--allow-delete", "-g", "7"},  // -u takes the next element
        {"-u", "0", "-u", "x", "-g", "0"},    // a later invalid value wins
        {"-u", "0", "-g"},                    // a final -g has no value
        {"-g", "0"},
        {},
    };
    for (auto args : cases) {
        clear_log();
        std::string shown;
        for (const auto &a : args)
            shown += "[" + a + "]";
        args.insert(args.begin(), {"-f", mnt});
        server &s = start(args);
        EXPECT_EQ(s.wait_exit(), 255) << shown;
        EXPECT_EQ(s.stderr_text(), "") << shown;
        EXPECT_EQ(log_messages(), std::vector<std::string>{"norra-brix-fuse is starting."}) << shown;
    }
}

TEST_F(Startup, IdsAreReadAsStrtolAndNarrowed)
{
    // " +5", "-0" and 2^32 are valid; the program's options may stand
    // anywhere and the rest keeps its order.
    ASSERT_EQ(chmod(data.c_str(), 0777), 0);
    struct id_case {
        std::vector<std::string> args;
        std::string uid, gid;
    };
    const std::vector<id_case> cases = {
        {{"-f", "-u", " +5", mnt, "-g", "-0"}, "5", "0"},
        {{"-g", "4294967296", "-f", mnt, "-u", "4294967303", "--allow-delete"}, "7", "0"},
    };
    for (const auto &c : cases) {
        clear_log();
        server &s = start(c.args);
        ASSERT_TRUE(s.wait_mounted(mnt)) << s.stderr_text();
        ASSERT_TRUE(wait_for_log("norra-brix-fuse is running."));
        pid_t pid = logged_pid("norra-brix-fuse is running.");
        std::string uid = c.uid + "\t" + c.uid + "\t" + c.uid + "\t" + c.uid;
        EXPECT_EQ(proc_status_field(pid, "Uid"), uid);
        EXPECT_EQ(proc_status_field(pid, "Groups"), c.gid);
        EXPECT_EQ(unmount_and_wait(s, mnt), 0);
        EXPECT_EQ(s.stderr_text(), "");
    }
}

TEST_F(Startup, DropsToTheGivenUserAndGroup)
{
    std::string secret = root + "/secret";
    ASSERT_EQ(mkdir(secret.c_str(), 0700), 0);
    write_file(secret + "/file", "x");
    ASSERT_EQ(chmod(data.c_str(), 0777), 0);

    serve({}, "65534");
    ASSERT_TRUE(wait_for_log("norra-brix-fuse is running."));
    pid_t pid = logged_pid("norra-brix-fuse is running.");
    // Every thread, not only the main one, runs as the given ids.
    int threads = 0;
    std::string tasks = run_command("ls /proc/" + std::to_string(pid) + "/task");
    std::istringstream list(tasks);
    std::string tid;
    while (list >> tid) {
        std::string status = "/proc/" + std::to_string(pid) + "/task/" + tid + "/status";
        EXPECT_EQ(status_field(status, "Uid"), "65534\t65534\t65534\t65534");
        EXPECT_EQ(status_field(status, "Gid"), "65534\t65534\t65534\t65534");
        EXPECT_EQ(status_field(status, "Groups"), "65534");
        ++threads;
    }
    EXPECT_GE(threads, 1);

    struct stat st;
    EXPECT_EQ(stat(m(secret + "/file").c_str(), &st), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(stat((secret + "/file").c_str(), &st), 0) << "the host itself lets root in";

    // The lock helper started for record locks runs as the same user, and
    // inherits none of the program's own descriptors (the lock file).
    write_file(d("locked"), "x");
    int fd = open(m(d("locked")).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0) << strerror(errno);
    // The helper detaches (so it is found among this process's adoptees)
    // and runs a process for each lock owner.
    int helpers = 0;
    for (pid_t child : children_of(getpid())) {
        std::string status = "/proc/" + std::to_string(child) + "/status";
        if (status_field(status, "Name") != "ulockmgr_server" || status_field(status, "State")[0] == 'Z')
            continue;
        ++helpers;
        EXPECT_EQ(status_field(status, "Uid"), "65534\t65534\t65534\t65534");
        EXPECT_EQ(status_field(status, "Gid"), "65534\t65534\t65534\t65534");
        EXPECT_EQ(status_field(status, "Groups"), "65534");
        std::string fds = run_command("ls -l /proc/" + std::to_string(child) + "/fd");
        EXPECT_EQ(fds.find("/var/lib/brix"), std::string::npos) << fds;
    }
    EXPECT_GE(helpers, 1);
    close(fd);
}

TEST_F(Startup, ForegroundSingleThreadedAndCloneFd)
{
    // -s: one thread serves; without it the multi-threaded loop runs.
    server &single = serve({"-s"});
    ASSERT_TRUE(wait_for_log("norra-brix-fuse is running."));
    EXPECT_EQ(logged_pid("norra-brix-fuse is running."), single.pid()) << "-f keeps the process";
    EXPECT_EQ(proc_status_field(single.pid(), "Threads"), "1");
    EXPECT_EQ(unmount_and_wait(single, mnt), 0);

    clear_log();
    server &multi = serve();
    struct stat st;
    ASSERT_EQ(stat(m(data).c_str(), &st), 0);
    EXPECT_GT(std::stoi(proc_status_field(multi.pid(), "Threads")), 1);
    EXPECT_EQ(unmount_and_wait(multi, mnt), 0);

    if (!fuse3())
        return;
    // With clone_fd every worker reads its own copy of the device.
    clear_log();
    server &cloned = serve({"-o", "clone_fd"});
    ASSERT_EQ(stat(m(data).c_str(), &st), 0);
    std::string fds = run_command("ls -l /proc/" + std::to_string(cloned.pid()) + "/fd | grep -c /dev/fuse");
    EXPECT_GE(std::stoi(fds), 2);
    EXPECT_EQ(unmount_and_wait(cloned, mnt), 0);
}

TEST_F(Startup, DetachesWithoutForeground)
{
    server &s = start({"-u", "0", "-g", "0", mnt}, {.how = launch::daemon});
    EXPECT_EQ(s.wait_exit(), 0) << "the launcher returns once the program has detached";
    ASSERT_TRUE(wait_for_log("norra-brix-fuse is running."));
    pid_t daemon = logged_pid("norra-brix-fuse is running.");
    EXPECT_NE(daemon, s.pid());
    ASSERT_TRUE(is_fuse_mount(mnt));
    struct stat st;
    EXPECT_EQ(stat(m("/etc/hostname").c_str(), &st), 0);
    ASSERT_EQ(umount2(mnt.c_str(), 0), 0);
    if (!fuse3()) {
        ASSERT_TRUE(release_lock_file(mnt));
    }
    EXPECT_EQ(wait_adopted(daemon), 0);
    EXPECT_TRUE(wait_for_log("norra-brix-fuse is going to exit."));
}

TEST_F(Startup, FuseFailuresReportTheirPair)
{
    struct failure {
        std::vector<std::string> args;
        std::string stderr_line, log_sentence;
        bool waits_for_lock;  // FUSE 2: the lock was taken, so the run waits at exit
    };
    std::vector<failure> cases;
    if (fuse3()) {
        cases = {
            {{"-f", root + "/missing"}, "fuse_parse_cmdline failed.", "Failed to parse cmdline args.", false},
            {{"-f", mnt, "-o", "no_such_option"}, "fuse_new failed.", "Failed to allocate fuse.", false},
            // No mount point: reported as a failed mount, never handed on.
            {{"-f"}, "fuse_mount failed.", "Failed to mount fuse", false},
        };
    } else {
        cases = {
            {{"-f", root + "/missing"}, "check_lockfile failed",
             "Failed to check lockfile. Maybe another process has already held the lock.", false},
            {{"-f", mnt, "-o", "no_such_option"}, "fuse_setup failed", "Failed to setup fuse.", true},
            {{"-f"}, "fuse_setup failed", "Failed to setup fuse.", false},
        };
    }
    for (auto c : cases) {
        clear_log();
        c.args.insert(c.args.begin(), {"-u", "0", "-g", "0"});
        server &s = start(c.args);
        if (c.waits_for_lock) {
            ASSERT_TRUE(wait_for_log(c.log_sentence));
            EXPECT_TRUE(s.running()) << "waits while its lock file exists";
            ASSERT_TRUE(release_lock_file(mnt));
        }
        EXPECT_EQ(s.wait_exit(), 1) << c.stderr_line;
        std::string err = s.stderr_text();
        EXPECT_TRUE(err.size() >= c.stderr_line.size() + 1 &&
                    err.compare(err.size() - c.stderr_line.size() - 1, std::string::npos, c.stderr_line + "\n") == 0)
            << "standard error: " << err;
        auto records = log_records();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().message, c.log_sentence);
        EXPECT_EQ(records.back().severity, LOG_ERR);
        EXPECT_FALSE(is_fuse_mount(mnt));
        for (const auto &r : records)
            EXPECT_NE(r.message, "norra-brix-fuse is going to exit.");
    }
}

TEST_F(Startup, FailedPrivilegeDropTearsDown)
{
    // Without the right to change groups (or user ids) the mount is made,
    // then taken down again.
    struct failure {
        int capability;
        std::string stderr_line, log_sentence;
    };
    const std::vector<failure> cases = {
        {CAP_SETGID, "cannot setgroups: Operation not permitted", "Failed to set groups: Operation not permitted."},
        {CAP_SETUID, "cannot setuid: Operation not permitted", "Failed to set uid: Operation not permitted."},
    };
    for (const auto &c : cases) {
        clear_log();
        server &s = start({"-u", "1000", "-g", "1000", "-f", mnt}, {.drop_capabilities = {c.capability}});
        ASSERT_TRUE(wait_for_log(c.log_sentence)) << s.stderr_text();
        if (!fuse3()) {
            ASSERT_TRUE(wait_for_log("norra-brix-fuse is going to exit."));
            ASSERT_TRUE(release_lock_file(mnt));
        }
        EXPECT_EQ(s.wait_exit(), 1);
        EXPECT_EQ(s.stderr_text(), c.stderr_line + "\n");
        EXPECT_FALSE(is_fuse_mount(mnt));
        std::vector<std::string> expected = {progress.begin(), progress.begin() + 4};
        expected.push_back(c.log_sentence);
        if (!fuse3())
            expected.push_back("norra-brix-fuse is going to exit.");
        EXPECT_EQ(log_messages(), expected);
    }
}

// The FUSE 2 program closes the system log as its very last step, on every
// path: seen as the close of the socket it connected to /dev/log.
TEST_F(Startup, ClosesTheLogOnEveryPath)
{
    if (fuse3())
        GTEST_SKIP() << "the FUSE 3 program closes the log only after serving";
    if (system("command -v strace >/dev/null") != 0)
        GTEST_SKIP() << "strace is not installed";
    std::string trace = root + "/trace";
    std::string traced = "strace -f -qq -o " + trace + " -e trace=connect,close " + config.program;
    std::string lock = lock_file_for(mnt);
    const std::vector<std::pair<std::string, std::string>> runs = {
        {"refused launcher", traced + " -u 0 -g 0 -f " + mnt},
        {"missing ids", "PROCESS_CHECK_CALLER=qv " + traced + " -f " + mnt},
        {"served and unmounted",
         "PROCESS_CHECK_CALLER=qv " + traced + " -u 0 -g 0 -f " + mnt + " & "
         "for i in $(seq 500); do grep -q ' " + mnt + " ' /proc/self/mountinfo && break; sleep 0.01; done; "
         "umount " + mnt + "; sleep 0.2; mv " + lock + " " + lock + ".gone; wait"},
    };
    for (const auto &[what, command] : runs) {
        run_command(command);
        std::istringstream lines(read_file(trace));
        std::string line, log_fd;
        bool closed = false;
        while (std::getline(lines, line)) {
            size_t at = line.find("connect(");
            if (at != std::string::npos && line.find("\"/dev/log\"") != std::string::npos) {
                log_fd = line.substr(at + 8, line.find(',', at) - at - 8);
                closed = false;
            } else if (!log_fd.empty() && line.find("close(" + log_fd + ")") != std::string::npos) {
                closed = true;
            }
        }
        EXPECT_FALSE(log_fd.empty()) << what;
        EXPECT_TRUE(closed) << what << "\n" << read_file(trace);
    }
}

TEST(Program, ExportsItsNames)
{
    std::string symbols = run_command("nm -D --defined-only " + config.program);
    for (const char *name : {"main", "process_name_by_pid", "slash_to_underline", "test_lockfile", "regex_list"})
        EXPECT_NE(symbols.find(std::string(" ") + name + "\n"), std::string::npos) << name << "\n" << symbols;
}

} // namespace
