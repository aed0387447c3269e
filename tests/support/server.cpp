// One run of the program under test, and waiting for processes.
#include "harness_internal.h"

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> result;
    for (auto &s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

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
