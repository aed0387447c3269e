// Runs the real programs on real FUSE mounts inside a private mount
// namespace: its own /dev with a system-log receiver at /dev/log, its own
// /var/lib (so the lock directory is never the host's), and a watchdog that
// aborts a hung mount instead of letting it block the run.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct harness_config {
    std::string program;   // the filesystem program under test
    std::string launcher;  // the stand-in launching daemon
    int fuse_version = 3;  // which library the program is built on
    std::vector<std::string> recommended;  // the program's recommended options
    std::vector<std::string> faster;       // its faster line, where it has one
    bool passthrough = false;  // the program can pass open files through
};

extern harness_config config;

// Parses --program=, --launcher=, --fuse=, --recommended= and --faster=
// (options separated by blanks), --passthrough=0|1, and enters the
// namespace.
// Returns false (with a message) when the run cannot go on.
bool harness_init(int argc, char **argv);

struct log_record {
    int facility = -1;
    int severity = -1;
    std::string ident;
    pid_t pid = 0;
    std::string message;
};

std::vector<log_record> log_records();
std::vector<std::string> log_messages();
void clear_log();
// Waits until a record with this message has arrived.
bool wait_for_log(const std::string &message, int timeout_ms = 10000);

enum class launch {
    accepted_code,  // PROCESS_CHECK_CALLER=qv, started by the test
    daemon,         // through the stand-in launcher
    unaccepted,     // no caller code, started by the test
};

struct start_options {
    launch how = launch::accepted_code;
    std::string caller_code;           // with launch::unaccepted: a value to set, if any
    std::vector<int> drop_capabilities;  // removed from the bounding set before exec
    std::string launcher_path;         // overrides config.launcher
    int descriptor_limit = 0;          // RLIMIT_NOFILE of the program, if set
    int descriptor_soft_limit = 0;     // its soft limit, where lower
};

// One run of the program under test.
class server {
public:
    server(const std::vector<std::string> &args, const start_options &options, const std::string &stderr_path);
    ~server();
    server(const server &) = delete;
    server &operator=(const server &) = delete;

    pid_t pid() const { return child_; }
    // Waits until mountpoint is a FUSE mount; false when the run ended first.
    bool wait_mounted(const std::string &mountpoint, int timeout_ms = 10000);
    // Exit status (128 + signal when killed), or -1 when still running after
    // timeout_ms; then it is killed.
    int wait_exit(int timeout_ms = 15000);
    bool running();
    std::string stderr_text() const;

private:
    pid_t child_ = -1;
    int status_ = -1;
    std::string stderr_path_;
};

// Pid of the process that logged message last, or 0.
pid_t logged_pid(const std::string &message);

// Waits for a child of the test, forked by it or handed to it as the nearest
// subreaper (a daemonised server): its status, or -1 after the timeout.
int wait_adopted(pid_t pid, int timeout_ms = 15000);

// Gives the running test this many seconds from now before the watchdog
// aborts its mounts (each test starts with four minutes).
void allow_time(int seconds);

// Whether the program under test passes open files through to the kernel:
// it was built to, and the running kernel offers it (Linux 6.9 and later,
// built with FUSE passthrough where its configuration can be read).
bool passthrough_expected();

bool is_fuse_mount(const std::string &mountpoint);
// Requests of the FUSE mount at mountpoint that wait for their reply, as the
// kernel counts them; -1 when it is no such mount.
int waiting_requests(const std::string &mountpoint);
int count_mounts(const std::string &mountpoint);
void lazy_unmount(const std::string &mountpoint);

// Fresh directories for one test: data/ (host files), mnt/ (mount point).
class mount_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the program with "-u 0 -g 0 -f MNT" plus extra, waits for the
    // mount and fails the test when it does not come.
    server &serve(const std::vector<std::string> &extra = {}, const std::string &user = "0");
    server &start(const std::vector<std::string> &args, const start_options &options = {});
    // Stops the server through an unmount and returns its status.
    int unmount_and_wait(server &s, const std::string &mountpoint);

    std::string data;   // host directory for the test's files
    std::string mnt;    // mount point
    std::string root;   // parent of both
    // A host path as it shows under the mount.
    std::string m(const std::string &host_path) const { return mnt + host_path; }
    std::string d(const std::string &name) const { return data + "/" + name; }
    bool fuse3() const { return config.fuse_version == 3; }

    std::vector<std::unique_ptr<server>> servers_;
    std::vector<std::string> mounts_;
    int serial_ = 0;
};

// Processes whose parent is pid.
std::vector<pid_t> children_of(pid_t pid);

// Small host helpers.
void write_file(const std::string &path, const std::string &content, mode_t mode = 0644);
std::string read_file(const std::string &path);
std::string proc_status_field(pid_t pid, const std::string &field);
std::string status_field(const std::string &status_path, const std::string &field);
std::string run_command(const std::string &command, int *status = nullptr);
// The lock file that a mount point maps to in the lock directory.
std::string lock_file_for(const std::string &mountpoint);
// Moves a mount point's lock file away and removes it, so that a FUSE 2 run
// waiting for it ends at once; false when there was none to move.
bool release_lock_file(const std::string &mountpoint);
int errno_of(int result);  // errno when result == -1, else 0
// An exclusive lock on the whole file: a record lock or a flock, waiting
// for it or not. The call's result.
int lock_whole(int fd, bool record, bool wait);
// Empty when a record lock can be taken on path (created if missing), else
// why not: where the lock manager's helper is missing every record lock
// fails, and tests that wait for one would wait for good.
std::string record_lock_trouble(const std::string &path);
