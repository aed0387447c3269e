// Metadata and tree workloads for the benchmark, timed without the cost of
// a shell or an interpreter per file.
//
//   nbf-bench-meta files DIR COUNT      create, stat, list, unlink COUNT empty files
//   nbf-bench-meta populate DIR COUNT   create COUNT empty files (untimed set-up)
//   nbf-bench-meta list DIR             readdir only
//   nbf-bench-meta list-stat DIR        readdir and lstat of every entry
//   nbf-bench-meta read-tree DIR        read every file below DIR
//   nbf-bench-meta remove-tree DIR      remove DIR and everything below it
//   nbf-bench-meta crowd DIR SECONDS    32 processes reading files and 32
//                                       stat-ing names at once
//
// Prints "phase seconds" lines.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

void report(const char *phase, clock_type::time_point start)
{
    std::printf("%s %.6f\n", phase, std::chrono::duration<double>(clock_type::now() - start).count());
}

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "nbf-bench-meta: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

std::string name(const std::string &dir, int i)
{
    return dir + "/f" + std::to_string(i);
}

void create_files(const std::string &dir, int count)
{
    for (int i = 0; i < count; ++i) {
        int fd = ::open(name(dir, i).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0)
            fail("create " + name(dir, i));
        ::close(fd);
    }
}

long list(const std::string &dir, bool with_stat)
{
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        fail("opendir " + dir);
    long entries = 0;
    struct stat st;
    while (dirent *e = ::readdir(d)) {
        ++entries;
        if (with_stat && ::fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            fail(std::string("stat ") + e->d_name);
    }
    ::closedir(d);
    return entries;
}

std::vector<char> buffer(1 << 20);
long long bytes_read = 0;

int read_one(const char *path, const struct stat *, int type, struct FTW *)
{
    if (type != FTW_F)
        return 0;
    int fd = ::open(path, O_RDONLY);
    if (fd < 0)
        fail(std::string("open ") + path);
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0)
        bytes_read += n;
    ::close(fd);
    return 0;
}

int remove_one(const char *path, const struct stat *, int type, struct FTW *)
{
    if ((type == FTW_DP ? ::rmdir(path) : ::unlink(path)) != 0)
        fail(std::string("remove ") + path);
    return 0;
}

// Many clients at once, each in a process of its own: half read their own
// 4 MiB file over and over, half stat a hundred names over and over. Prints
// the bytes read per second (MiB) and the stats per second of them all.
void crowd(const std::string &dir, int seconds)
{
    constexpr int readers = 32, staters = 32, names = 100;
    std::vector<char> chunk(4 << 20, 'x');
    for (int i = 0; i < readers; ++i) {
        int fd = ::open(name(dir, i).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
            fail("write " + name(dir, i));
        ::close(fd);
    }
    for (int i = 0; i < names; ++i)
        ::close(::open(name(dir, 1000 + i).c_str(), O_CREAT | O_WRONLY, 0644));
    int report_pipe[2];
    if (pipe(report_pipe) != 0)
        fail("pipe");
    auto end = clock_type::now() + std::chrono::seconds(seconds);
    for (int p = 0; p < readers + staters; ++p) {
        if (fork() != 0)
            continue;
        long long done = 0;
        struct stat st;
        for (int round = 0; clock_type::now() < end; ++round) {
            if (p < readers) {
                int fd = ::open(name(dir, p).c_str(), O_RDONLY);
                ssize_t n;
                while (fd >= 0 && (n = ::read(fd, buffer.data(), 128 << 10)) > 0)
                    done += n;
                ::close(fd);
            } else if (::stat(name(dir, 1000 + round % names).c_str(), &st) == 0) {
                ++done;
            }
        }
        long long record[2] = {p < readers ? 0 : 1, done};
        (void)!::write(report_pipe[1], record, sizeof record);
        _exit(0);
    }
    ::close(report_pipe[1]);
    long long totals[2] = {0, 0}, record[2];
    while (::read(report_pipe[0], record, sizeof record) == sizeof record)
        totals[record[0]] += record[1];
    while (wait(nullptr) > 0) {
    }
    std::printf("crowd-read %.3f\ncrowd-stat %.1f\n", totals[0] / 1048576.0 / seconds,
                static_cast<double>(totals[1]) / seconds);
    for (int i = 0; i < readers; ++i)
        ::unlink(name(dir, i).c_str());
    for (int i = 0; i < names; ++i)
        ::unlink(name(dir, 1000 + i).c_str());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: nbf-bench-meta files|populate|list|list-stat|read-tree|remove-tree|crowd DIR [COUNT]\n");
        return 2;
    }
    std::string mode = argv[1], dir = argv[2];
    int count = argc > 3 ? std::atoi(argv[3]) : 0;

    auto start = clock_type::now();
    if (mode == "files") {
        create_files(dir, count);
        report("create", start);
        start = clock_type::now();
        struct stat st;
        for (int i = 0; i < count; ++i)
            if (::stat(name(dir, i).c_str(), &st) != 0)
                fail("stat " + name(dir, i));
        report("stat", start);
        start = clock_type::now();
        list(dir, false);
        report("list", start);
        start = clock_type::now();
        for (int i = 0; i < count; ++i)
            if (::unlink(name(dir, i).c_str()) != 0)
                fail("unlink " + name(dir, i));
        report("unlink", start);
    } else if (mode == "populate") {
        create_files(dir, count);
    } else if (mode == "list" || mode == "list-stat") {
        long entries = list(dir, mode == "list-stat");
        report(mode.c_str(), start);
        std::printf("entries %ld\n", entries);
    } else if (mode == "read-tree") {
        if (nftw(dir.c_str(), read_one, 64, FTW_PHYS) != 0)
            fail("walk " + dir);
        report("read-tree", start);
        std::printf("bytes %lld\n", bytes_read);
    } else if (mode == "crowd") {
        crowd(dir, count);
    } else if (mode == "remove-tree") {
        if (nftw(dir.c_str(), remove_one, 64, FTW_PHYS | FTW_DEPTH) != 0)
            fail("remove " + dir);
        report("remove-tree", start);
    } else {
        std::fprintf(stderr, "nbf-bench-meta: unknown mode %s\n", mode.c_str());
        return 2;
    }
    return 0;
}
