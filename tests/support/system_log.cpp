// The system-log receiver at /dev/log of the test namespace, and what tests
// ask of the messages it got.
#include "harness_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

namespace {

// The receiver thread runs until the process ends, so what it touches is
// never destroyed.
std::mutex &log_mutex = *new std::mutex;
std::vector<log_record> &records = *new std::vector<log_record>;

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
        std::lock_guard<std::mutex> no_fork(fork_lock());
        std::lock_guard<std::mutex> guard(log_mutex);
        drain_log();
    }
}

} // namespace

void start_log_receiver()
{
    log_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (log_socket < 0 || bind(log_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        die("bind /dev/log");
    ::chmod("/dev/log", 0666);  // servers log after dropping to another user
    std::thread(receive_log).detach();
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
