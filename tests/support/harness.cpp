#include "harness.h"

#include "lock/lockfile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

harness_config config;

namespace {

using clock_type = std::chrono::steady_clock;

bool usable = false;
std::string skip_reason;
std::string run_root;  // per-process scratch directory on the host

// The receiver and watchdog threads run until the process ends, so what they
// touch is never destroyed.
std::mutex &log_mutex = *new std::mutex;
std::vector<log_record> &records = *new std::vector<log_record>;

// Tests fork processes that go on allocating, while the harness threads
// below allocate too. The sanitizers' allocators of this toolchain take none
// of their locks across fork, so a child forked while a harness thread held
// one waits for it forever: the harness threads allocate only while holding
// this mutex, and fork takes it first (pthread_atfork in enter_namespace).
std::mutex &fork_mutex = *new std::mutex;

// The watchdog aborts the FUSE connections of a test that overran its time,
// so that whatever waits on them gets ENOTCONN instead of hanging.
std::mutex &watch_mutex = *new std::mutex;
clock_type::time_point deadline = clock_type::time_point::max();
std::vector<std::string> &watched_mounts = *new std::vector<std::string>;
std::atomic<bool> watchdog_fired{false};

void die(const char *what)
{
    std::fprintf(stderr, "harness: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

log_record parse_record(const std::string &text)
{
    log_record r;
    r.message = text;
    if (text.size() < 3 || text[0] != '<')
        return r;
    size_t close = text.find('>');
    int priority = std::atoi(text.substr(1, close - 1).c_str());
    r.facility = priority & ~7;
    r.severity = priority & 7;
    size_t colon = text.find("]: ", close);
    if (colon == std::string::npos)
        return r;
    std::string header = text.substr(close + 1, colon - close - 1);
    size_t bracket = header.rfind('[');
    std::string left = header.substr(0, bracket);
    r.ident = left.substr(left.rfind(' ') + 1);
    r.pid = std::atoi(header.c_str() + bracket + 1);
    r.message = text.substr(colon + 3);
    return r;
}

int log_socket = -1;

// Takes every datagram already queued. Called with log_mutex held, so that
// a reader never misses a message sent before it asked.
void drain_log()
{
    char buffer[8192];
    ssize_t n;
    while ((n = recv(log_socket, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        records.push_back(parse_record(std::string(buffer, static_cast<size_t>(n))));
}

void receive_log()
{
    for (;;) {
        pollfd ready = {log_socket, POLLIN, 0};
        if (poll(&ready, 1, -1) < 0 && errno != EINTR)
            return;
        std::lock_guard<std::mutex> no_fork(fork_mutex);
        std::lock_guard<std::mutex> guard(log_mutex);
        drain_log();
    }
}

std::string connection_of(const std::string &mountpoint)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point == mountpoint && line.find(" - fuse") != std::string::npos)
            return device.substr(device.find(':') + 1);
    }
    return {};
}

// Each open file that holds a record lock gets a helper process of its own,
// which detaches and, when the file closes, ends as a child of this process:
// reap those as they come, or a long locking run fills the process table.
// Children that tests wait for are left alone.
void reap_lock_helpers()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> no_fork(fork_mutex);
        for (pid_t child : children_of(getpid()))
            if (proc_status_field(child, "State").rfind("Z", 0) == 0 &&
                proc_status_field(child, "Name") == "ulockmgr_server")
                waitpid(child, nullptr, WNOHANG);
    }
}

void watchdog()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::lock_guard<std::mutex> guard(watch_mutex);
        if (clock_type::now() < deadline)
            continue;
        std::lock_guard<std::mutex> no_fork(fork_mutex);
        watchdog_fired = true;
        deadline = clock_type::time_point::max();
        std::fprintf(stderr, "harness: test overran its time; aborting its FUSE connections\n");
        for (const auto &mountpoint : watched_mounts) {
            std::string connection = connection_of(mountpoint);
            if (connection.empty())
                continue;
            int fd = ::open(("/sys/fs/fuse/connections/" + connection + "/abort").c_str(), O_WRONLY);
            if (fd >= 0) {
                (void)!::write(fd, "1", 1);
                ::close(fd);
            }
        }
    }
}

void arm_watchdog(int seconds)
{
    std::lock_guard<std::mutex> guard(watch_mutex);
    deadline = clock_type::now() + std::chrono::seconds(seconds);
    watched_mounts.clear();
    watchdog_fired = false;
}

} // namespace

void allow_time(int seconds)
{
    std::lock_guard<std::mutex> guard(watch_mutex);
    deadline = clock_type::now() + std::chrono::seconds(seconds);
}

namespace {

void watch_mount(const std::string &mountpoint)
{
    std::lock_guard<std::mutex> guard(watch_mutex);
    watched_mounts.push_back(mountpoint);
}

bool disarm_watchdog()
{
    std::lock_guard<std::mutex> guard(watch_mutex);
    deadline = clock_type::time_point::max();
    watched_mounts.clear();
    return !watchdog_fired.exchange(false);
}

void bind_device(const std::string &stage, const char *name)
{
    std::string target = stage + "/" + name;
    int fd = ::open(target.c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd >= 0)
        ::close(fd);
    if (mount((std::string("/dev/") + name).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        die("bind a device");
}

int remove_entry(const char *path, const struct stat *, int type, struct FTW *)
{
    if (type == FTW_DP)
        ::rmdir(path);
    else
        ::unlink(path);
    return 0;
}

void remove_tree(const std::string &path)
{
    if (!path.empty())
        nftw(path.c_str(), remove_entry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

// A private /dev holding only what the programs need, with our own log
// receiver at /dev/log; a private /var/lib with an empty brix directory.
void enter_namespace()
{
    if (unshare(CLONE_NEWNS) != 0)
        die("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die("make mounts private");

    char root_template[] = "/tmp/nbf-run-XXXXXX";
    if (!mkdtemp(root_template))
        die("mkdtemp");
    run_root = root_template;
    std::string stage = run_root + "/dev";
    std::string varlib = run_root + "/varlib";
    ::mkdir(stage.c_str(), 0755);
    ::mkdir(varlib.c_str(), 0755);
    if (mount("tmpfs", stage.c_str(), "tmpfs", 0, "mode=0755") != 0)
        die("mount tmpfs for /dev");
    for (const char *name : {"fuse", "null", "zero", "urandom"})
        bind_device(stage, name);
    if (mount(stage.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0)
        die("move the private /dev");
    ::mkdir("/dev/shm", 01777);
    (void)!::symlink("/proc/self/fd", "/dev/fd");
    (void)!::symlink("/proc/self/fd/0", "/dev/stdin");
    (void)!::symlink("/proc/self/fd/1", "/dev/stdout");
    (void)!::symlink("/proc/self/fd/2", "/dev/stderr");

    log_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (log_socket < 0 || bind(log_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        die("bind /dev/log");
    ::chmod("/dev/log", 0666);  // servers log after dropping to another user
    pthread_atfork([] { fork_mutex.lock(); }, [] { fork_mutex.unlock(); }, [] { fork_mutex.unlock(); });
    std::thread(receive_log).detach();

    if (mount(varlib.c_str(), "/var/lib", nullptr, MS_BIND, nullptr) != 0)
        die("bind /var/lib");
    ::mkdir("/var/lib/brix", 0755);

    ::mkdir("/sys/fs/fuse/connections", 0755);
    mount("fusectl", "/sys/fs/fuse/connections", "fusectl", 0, nullptr);
    std::thread(watchdog).detach();
    std::thread(reap_lock_helpers).detach();
}

std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> result;
    for (auto &s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

bool harness_init(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--program=", 0) == 0)
            config.program = arg.substr(10);
        else if (arg.rfind("--launcher=", 0) == 0)
            config.launcher = arg.substr(11);
        else if (arg.rfind("--fuse=", 0) == 0)
            config.fuse_version = std::atoi(arg.c_str() + 7);
        else if (arg.rfind("--passthrough=", 0) == 0)
            config.passthrough = arg == "--passthrough=1";
        else if (arg.rfind("--recommended=", 0) == 0 || arg.rfind("--faster=", 0) == 0) {
            bool recommended = arg[2] == 'r';
            std::istringstream options(arg.substr(arg.find('=') + 1));
            for (std::string option; options >> option;)
                (recommended ? config.recommended : config.faster).push_back(option);
        }
    }
    if (config.program.empty() || config.launcher.empty()) {
        std::fprintf(stderr, "usage: %s --program=PATH --launcher=PATH --fuse=2|3\n", argv[0]);
        return false;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        skip_reason = "/dev/fuse is missing: FUSE mounts cannot be tested here";
    } else if (geteuid() != 0) {
        skip_reason = "mount tests run as root";
    } else {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        enter_namespace();
        usable = true;
        std::atexit([] { remove_tree(run_root); });
    }
    return true;
}

std::vector<log_record> log_records()
{
    std::lock_guard<std::mutex> guard(log_mutex);
    drain_log();
    return records;
}

std::vector<std::string> log_messages()
{
    std::vector<std::string> messages;
    for (const auto &r : log_records())
        messages.push_back(r.message);
    return messages;
}

void clear_log()
{
    std::lock_guard<std::mutex> guard(log_mutex);
    drain_log();
    records.clear();
}

bool wait_for_log(const std::string &message, int timeout_ms)
{
    auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (clock_type::now() < end) {
        if (logged_pid(message) != 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

pid_t logged_pid(const std::string &message)
{
    std::lock_guard<std::mutex> guard(log_mutex);
    drain_log();
    for (auto r = records.rbegin(); r != records.rend(); ++r)
        if (r->message == message)
            return r->pid;
    return 0;
}

server::server(const std::vector<std::string> &args, const start_options &options,
               const std::string &stderr_path)
    : stderr_path_(stderr_path)
{
    // Everything the child needs is built before fork: the test process has
    // threads, so the child may only make system calls.
    std::vector<std::string> argv_strings;
    if (options.how == launch::daemon)
        argv_strings.push_back(options.launcher_path.empty() ? config.launcher : options.launcher_path);
    argv_strings.push_back(config.program);
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());

    std::vector<std::string> env_strings;
    bool other_user = false;
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "-u" && args[i + 1] != "0")
            other_user = true;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("PROCESS_CHECK_CALLER=", 0) == 0)
            continue;
        // Leak checking needs to trace the process, which a process that
        // changed its ids may not do.
        if (other_user && entry.rfind("ASAN_OPTIONS=", 0) == 0)
            continue;
        env_strings.push_back(entry);
    }
    if (other_user)
        env_strings.push_back("ASAN_OPTIONS=detect_leaks=0");
    if (options.how == launch::accepted_code)
        env_strings.push_back("PROCESS_CHECK_CALLER=qv");
    else if (options.how == launch::unaccepted && !options.caller_code.empty())
        env_strings.push_back("PROCESS_CHECK_CALLER=" + options.caller_code.substr(options.caller_code == "<empty>" ? 7 : 0));

    auto argv_c = c_strings(argv_strings);
    auto env_c = c_strings(env_strings);
    int err = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);

    child_ = fork();
    if (child_ == 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(err, 2);
        for (int cap : options.drop_capabilities)
            prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
        if (options.descriptor_limit > 0) {
            rlimit limit = {static_cast<rlim_t>(options.descriptor_soft_limit ? options.descriptor_soft_limit
                                                                              : options.descriptor_limit),
                            static_cast<rlim_t>(options.descriptor_limit)};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        execve(argv_c[0], argv_c.data(), env_c.data());
        _exit(127);
    }
    ::close(err);
    ::close(null);
}

server::~server()
{
    if (running()) {
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
    }
}

bool server::running()
{
    if (status_ != -1)
        return false;
    int status;
    if (waitpid(child_, &status, WNOHANG) == child_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

bool server::wait_mounted(const std::string &mountpoint, int timeout_ms)
{
    auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (clock_type::now() < end) {
        if (is_fuse_mount(mountpoint)) {
            watch_mount(mountpoint);
            return true;
        }
        // A server that daemonised has left; its mount may still come.
        if (!running() && status_ != 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int server::wait_exit(int timeout_ms)
{
    auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (running()) {
        if (clock_type::now() >= end) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
            status_ = -2;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_ == -2 ? -1 : status_;
}

std::string server::stderr_text() const
{
    return read_file(stderr_path_);
}

int wait_adopted(pid_t pid, int timeout_ms)
{
    auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (clock_type::now() < end) {
        int status;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

bool passthrough_expected()
{
    utsname system{};
    int major = 0, minor = 0;
    if (!config.passthrough || uname(&system) != 0 || std::sscanf(system.release, "%d.%d", &major, &minor) != 2 ||
        major * 1000 + minor < 6009)
        return false;
    if (::access("/proc/config.gz", R_OK) != 0)
        return true;
    return run_command("zcat /proc/config.gz | grep -c '^CONFIG_FUSE_PASSTHROUGH=y'") == "1\n";
}

int count_mounts(const std::string &mountpoint)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point == mountpoint && line.find(" - fuse") != std::string::npos)
            ++count;
    }
    return count;
}

int waiting_requests(const std::string &mountpoint)
{
    std::string connection = connection_of(mountpoint);
    std::string count = connection.empty() ? "" : read_file("/sys/fs/fuse/connections/" + connection + "/waiting");
    return count.empty() ? -1 : std::atoi(count.c_str());
}

bool is_fuse_mount(const std::string &mountpoint)
{
    return count_mounts(mountpoint) > 0;
}

void lazy_unmount(const std::string &mountpoint)
{
    while (is_fuse_mount(mountpoint))
        if (umount2(mountpoint.c_str(), MNT_DETACH) != 0)
            break;
}

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

void write_file(const std::string &path, const std::string &content, mode_t mode)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        throw std::runtime_error("cannot write " + path);
    ::close(fd);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string proc_status_field(pid_t pid, const std::string &field)
{
    return status_field("/proc/" + std::to_string(pid) + "/status", field);
}

std::string status_field(const std::string &status_path, const std::string &field)
{
    std::ifstream in(status_path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            std::string value = line.substr(field.size() + 1);
            size_t start = value.find_first_not_of(" \t");
            size_t end = value.find_last_not_of(" \t");
            return start == std::string::npos ? "" : value.substr(start, end - start + 1);
        }
    }
    return {};
}

std::string run_command(const std::string &command, int *status)
{
    FILE *pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    size_t n;
    while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    int result = pipe ? pclose(pipe) : -1;
    if (status)
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return output;
}

std::string lock_file_for(const std::string &mountpoint)
{
    char resolved[PATH_MAX];
    char path[lock_path_size] = {};
    lock_file_path(realpath(mountpoint.c_str(), resolved) ? resolved : mountpoint.c_str(), path);
    return path;
}

bool release_lock_file(const std::string &mountpoint)
{
    std::string lock = lock_file_for(mountpoint);
    if (::rename(lock.c_str(), (lock + ".gone").c_str()) != 0)
        return false;
    ::unlink((lock + ".gone").c_str());
    return true;
}

std::vector<pid_t> children_of(pid_t pid)
{
    std::vector<pid_t> children;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    while (dirent *task = dir ? readdir(dir) : nullptr) {
        std::istringstream list(read_file(tasks + "/" + task->d_name + "/children"));
        pid_t child;
        while (list >> child)
            children.push_back(child);
    }
    if (dir)
        closedir(dir);
    return children;
}

int errno_of(int result)
{
    return result == -1 ? errno : 0;
}

std::string record_lock_trouble(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0)
        return "cannot open " + path + ": " + std::strerror(errno);
    int result = lock_whole(fd, true, false);
    std::string trouble = result == 0 ? "" : std::string("record locks fail: ") + std::strerror(errno) +
                                                 " (is the lock helper ulockmgr_server on PATH?)";
    ::close(fd);
    return trouble;
}

int lock_whole(int fd, bool record, bool wait)
{
    if (!record)
        return flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(fd, wait ? F_SETLKW : F_SETLK, &whole);
}
