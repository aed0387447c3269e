// The watchdog: a test that overran its time gets its FUSE connections
// aborted, so that whatever waits on them gets ENOTCONN instead of hanging.
#include "harness_internal.h"

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

std::mutex &watch_mutex = *new std::mutex;
clock_type::time_point deadline = clock_type::time_point::max();
std::vector<std::string> &watched_mounts = *new std::vector<std::string>;
std::atomic<bool> watchdog_fired{false};

void watchdog()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::lock_guard<std::mutex> guard(watch_mutex);
        if (clock_type::now() < deadline)
            continue;
        std::lock_guard<std::mutex> no_fork(fork_lock());
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

} // namespace

void start_watchdog()
{
    std::thread(watchdog).detach();
}

void arm_watchdog(int seconds)
{
    std::lock_guard<std::mutex> guard(watch_mutex);
    deadline = clock_type::now() + std::chrono::seconds(seconds);
    watched_mounts.clear();
    watchdog_fired = false;
}

void allow_time(int seconds)
{
    std::lock_guard<std::mutex> guard(watch_mutex);
    deadline = clock_type::now() + std::chrono::seconds(seconds);
}

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
