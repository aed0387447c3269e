// Metadata and tree workloads for the benchmark, timed without the cost of
// a shell or an interpreter per file.
//
//   nbf-bench-meta files DIR COUNT      create, stat, list, unlink COUNT empty files
//   nbf-bench-meta populate DIR COUNT   create COUNT empty files (untimed set-up)
//   nbf-bench-meta list DIR             readdir only
//   nbf-bench-meta list-stat DIR        readdir and lstat of every entry
//   nbf-bench-meta read-tree DIR        read every file below DIR
//   nbf-bench-meta remove-tree DIR      remove DIR and everything below it
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

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: nbf-bench-meta files|populate|list|list-stat|read-tree|remove-tree DIR [COUNT]\n");
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
