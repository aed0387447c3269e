#include "ops/hidden_pins.h"

#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ops {

namespace {

constexpr char hidden_prefix[] = ".fuse_hidden";
constexpr size_t hidden_length = sizeof hidden_prefix - 1 + 16;

struct pinned_file {
    dev_t dir_device;
    ino_t dir_inode;
    char name[hidden_length + 1];
    int object;
};

// As many entries as files are open under hidden names.
std::mutex &pins_lock = *new std::mutex;
std::vector<pinned_file> &pins = *new std::vector<pinned_file>;

// The pin of name in dir; null where there is none. Call with pins_lock.
pinned_file *find(const struct stat &dir, const char *name)
{
    for (auto &p : pins)
        if (p.dir_device == dir.st_dev && p.dir_inode == dir.st_ino && std::strcmp(p.name, name) == 0)
            return &p;
    return nullptr;
}

} // namespace

bool hidden_shape(const char *name)
{
    if (std::strncmp(name, hidden_prefix, sizeof hidden_prefix - 1) != 0 || std::strlen(name) != hidden_length)
        return false;
    for (const char *c = name + sizeof hidden_prefix - 1; *c; ++c)
        if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f')))
            return false;
    return true;
}

bool last_is_hidden(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return hidden_shape(slash ? slash + 1 : path);
}

int pinned_copy(int dir, const char *name)
{
    struct stat st;
    if (fstat(dir, &st) != 0)
        return -1;
    std::lock_guard<std::mutex> hold(pins_lock);
    pinned_file *p = find(st, name);
    return p ? fcntl(p->object, F_DUPFD_CLOEXEC, 0) : -1;
}

int pin(int dir, const char *name, int object)
{
    struct stat st;
    if (!hidden_shape(name) || fstat(dir, &st) != 0) {
        close(object);
        return -EINVAL;
    }
    std::lock_guard<std::mutex> hold(pins_lock);
    if (pinned_file *p = find(st, name)) {
        close(p->object);
        p->object = object;
        return 0;
    }
    pinned_file p{st.st_dev, st.st_ino, {}, object};
    std::memcpy(p.name, name, hidden_length + 1);
    pins.push_back(p);
    return 0;
}

bool unpin(int dir, const char *name)
{
    struct stat st;
    if (fstat(dir, &st) != 0)
        return false;
    std::lock_guard<std::mutex> hold(pins_lock);
    pinned_file *p = find(st, name);
    if (!p)
        return false;
    close(p->object);
    *p = pins.back();
    pins.pop_back();
    return true;
}

} // namespace ops
