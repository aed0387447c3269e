#include "ops/backing_files.h"

#include "ops/host_path.h"
#include "startup/backing_broker.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace ops {

namespace {

struct host_file {
    dev_t device;
    ino_t inode;
    bool operator==(const host_file &) const = default;
};

struct host_file_hash {
    size_t operator()(const host_file &f) const { return std::hash<ino_t>()(f.inode) ^ f.device; }
};

struct open_file_mode {
    int backing_id;  // 0: served without passing through
    unsigned opens;
};

// Held while the table changes and while the broker is asked, which also
// keeps one request at a time on its socket.
std::mutex &table_lock = *new std::mutex;
std::unordered_map<host_file, open_file_mode, host_file_hash> &open_files =
    *new std::unordered_map<host_file, open_file_mode, host_file_hash>;
int broker = -1;

int ask_broker(backing_message message, int fd)
{
    int32_t reply = ask_backing_broker(broker, message, fd);
    if (reply == -EPIPE) {
        // A broker that is gone stays gone: nothing more is registered.
        close(broker);
        broker = -1;
    }
    return reply;
}

// The backing id for fd's file, or 0 where it is served without.
int register_file(int fd, int open_flags, mode_t mode)
{
    int access = open_flags & O_ACCMODE;
    if (broker < 0 || (open_flags & exec_open) || (access == O_RDONLY && (mode & 0111)))
        return 0;
    // The broker takes only what the served user may read and write. Never
    // the open's own descriptor: the kernel keeps what it registers for as
    // long as the id lives, and with it that open's flock, past its close.
    int writable = ::open(fd_path(fd).text, O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (writable < 0)
        return 0;
    int id = ask_broker({backing_register, 0}, writable);
    close(writable);
    return id > 0 ? id : 0;
}

bool key_of(int fd, host_file &key, mode_t *mode = nullptr)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    key = {st.st_dev, st.st_ino};
    if (mode)
        *mode = st.st_mode;
    return true;
}

} // namespace

void set_backing_broker(int channel)
{
    std::lock_guard<std::mutex> hold(table_lock);
    if (broker >= 0)
        close(broker);
    broker = channel;
}

bool have_backing_broker()
{
    std::lock_guard<std::mutex> hold(table_lock);
    return broker >= 0;
}

int backing_for_open(int fd, int open_flags)
{
    host_file key;
    mode_t mode;
    if (!key_of(fd, key, &mode))
        return 0;
    std::lock_guard<std::mutex> hold(table_lock);
    auto [entry, first] = open_files.try_emplace(key, open_file_mode{0, 0});
    if (first)
        entry->second.backing_id = register_file(fd, open_flags, mode);
    ++entry->second.opens;
    return entry->second.backing_id;
}

void backing_for_release(int fd)
{
    host_file key;
    if (!key_of(fd, key))
        return;
    std::lock_guard<std::mutex> hold(table_lock);
    auto entry = open_files.find(key);
    if (entry == open_files.end() || --entry->second.opens > 0)
        return;
    if (entry->second.backing_id > 0 && broker >= 0)
        ask_broker({backing_release, entry->second.backing_id}, -1);
    open_files.erase(entry);
}

} // namespace ops
