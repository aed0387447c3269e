// Small host helpers for the tests.
#include "harness_internal.h"

#include "lock/lockfile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

void write_file(const std::string &path, const std::string &content, mode_t mode)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    bool whole = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    if (!whole)
        throw std::runtime_error("cannot write " + path);
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
