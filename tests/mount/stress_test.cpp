// Many processes at once through one mount on the multi-threaded loop,
// every byte read checked against what was written. NBF_STRESS_SECONDS sets
// the length of the run (a few seconds by default).
#include "support/harness.h"

#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <algorithm>
#include <map>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

// Sanitizers keep shadow memory of their own that grows with the load.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

int stress_seconds()
{
    const char *text = std::getenv("NBF_STRESS_SECONDS");
    return text ? std::atoi(text) : 6;
}

// One worker process: its own files with a model of their contents, and
// two shared counters, one under record locks and one under flock. Each
// counter has a file of its own: through the FUSE 2 program, writers of
// different parts of one file under different locks can see each other's
// bytes late (the kernel's page cache), which the file I/O tests show.
class worker {
public:
    // exact_links: the mount shows host link counts at once (no attribute
    // caching); the FUSE 2 program leaves the library's caching on.
    worker(std::string dir, int id, bool exact_links)
        : dir_(std::move(dir)), id_(id), exact_links_(exact_links), random_(static_cast<uint64_t>(id) * 7919) {}

    // Returns an empty string, or what went wrong.
    std::string run(std::chrono::steady_clock::time_point until)
    {
        while (std::chrono::steady_clock::now() < until && error_.empty()) {
            switch (random_() % 10) {
            case 0: create(); break;
            case 1: case 2: write_some(); break;
            case 3: verify(); break;
            case 4: rename_one(); break;
            case 5: link_one(); break;
            case 6: list(); break;
            case 7: xattr_one(); break;
            case 8: truncate_one(); break;
            case 9: count_under_locks(); break;
            }
        }
        for (const auto &file : model_) {
            std::string name = file.first;
            verify_file(name);
        }
        return error_;
    }
    int record_increments() const { return record_increments_; }
    int flock_increments() const { return flock_increments_; }

private:
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    void fail(const std::string &what) { error_ = "worker " + std::to_string(id_) + ": " + what + ": " + std::strerror(errno); }

    std::string pick()
    {
        if (model_.empty())
            create();
        auto it = model_.begin();
        std::advance(it, static_cast<long>(random_() % model_.size()));
        return it->first;
    }

    // A bounded set of files keeps a long run's working set steady, so
    // that growth in the serving process would stand out.
    void create()
    {
        if (model_.size() >= max_files) {
            std::string victim = pick();
            if (::unlink(path(victim).c_str()) != 0)
                return fail("unlink " + victim);
            model_.erase(victim);
        }
        std::string name = "w" + std::to_string(id_) + "-" + std::to_string(serial_++);
        int fd = ::open(path(name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
        if (fd < 0)
            return fail("create " + name);
        ::close(fd);
        model_[name];
    }

    void write_some()
    {
        std::string name = pick();
        auto &bytes = model_[name];
        size_t at = random_() % (bytes.size() + 4096);
        size_t length = 1 + random_() % 70000;
        std::string chunk(length, '\0');
        for (auto &c : chunk)
            c = static_cast<char>(random_());
        int fd = ::open(path(name).c_str(), O_WRONLY);
        if (fd < 0)
            return fail("open for writing " + name);
        if (::pwrite(fd, chunk.data(), length, static_cast<off_t>(at)) != static_cast<ssize_t>(length))
            fail("write " + name);
        if (random_() % 4 == 0 && ::fsync(fd) != 0)
            fail("fsync " + name);
        ::close(fd);
        if (bytes.size() < at + length)
            bytes.resize(at + length, '\0');
        bytes.replace(at, length, chunk);
    }

    void verify_file(const std::string &name)
    {
        const auto &expected = model_[name];
        int fd = ::open(path(name).c_str(), O_RDONLY);
        if (fd < 0)
            return fail("open for reading " + name);
        std::string actual(expected.size() + 1, '\0');
        ssize_t n = ::pread(fd, actual.data(), actual.size(), 0);
        ::close(fd);
        if (n != static_cast<ssize_t>(expected.size()) || actual.compare(0, expected.size(), expected) != 0) {
            errno = 0;
            fail("data differs in " + name + " (read " + std::to_string(n) + " of " +
                 std::to_string(expected.size()) + ")");
        }
    }

    void verify() { verify_file(pick()); }

    void rename_one()
    {
        std::string from = pick();
        std::string to = "w" + std::to_string(id_) + "-" + std::to_string(serial_++);
        if (::rename(path(from).c_str(), path(to).c_str()) != 0)
            return fail("rename " + from);
        model_[to] = std::move(model_[from]);
        model_.erase(from);
    }

    void link_one()
    {
        std::string name = pick();
        std::string other = name + ".link";
        if (::link(path(name).c_str(), path(other).c_str()) != 0)
            return fail("link " + name);
        struct stat a, b;
        if (::stat(path(name).c_str(), &a) != 0 || ::stat(path(other).c_str(), &b) != 0)
            return fail("stat " + name);
        if (a.st_size != b.st_size || (exact_links_ && (a.st_nlink != 2 || b.st_nlink != 2))) {
            errno = 0;
            return fail("the two names of " + name + " differ");
        }
        if (::unlink(path(other).c_str()) != 0)
            fail("unlink " + other);
    }

    void list()
    {
        DIR *d = ::opendir(dir_.c_str());
        if (!d)
            return fail("opendir");
        size_t mine = 0;
        std::string prefix = "w" + std::to_string(id_) + "-";
        while (dirent *e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind(prefix, 0) == 0 && name.find(".link") == std::string::npos)
                ++mine;
        }
        ::closedir(d);
        if (mine != model_.size()) {
            errno = 0;
            fail("listing shows " + std::to_string(mine) + " of " + std::to_string(model_.size()) + " files");
        }
    }

    void xattr_one()
    {
        std::string name = pick();
        std::string value = std::to_string(random_());
        if (::setxattr(path(name).c_str(), "user.stress", value.data(), value.size(), 0) != 0) {
            if (errno == ENOTSUP)
                return;
            return fail("setxattr " + name);
        }
        char buffer[64];
        ssize_t n = ::getxattr(path(name).c_str(), "user.stress", buffer, sizeof buffer);
        if (n != static_cast<ssize_t>(value.size()) || value.compare(0, value.size(), buffer, value.size()) != 0)
            fail("getxattr " + name);
    }

    void truncate_one()
    {
        std::string name = pick();
        size_t size = random_() % 100000;
        if (::truncate(path(name).c_str(), static_cast<off_t>(size)) != 0)
            return fail("truncate " + name);
        model_[name].resize(size, '\0');
    }

    // Read, add one, write back: only exclusion keeps the final count right.
    void count_under_locks()
    {
        bool record = random_() % 2 == 0;
        std::string counter = record ? "record-counter" : "flock-counter";
        int fd = ::open(path(counter).c_str(), O_RDWR);
        if (fd < 0)
            return fail("open counter");
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_len = 8;
        int locked = record ? ::fcntl(fd, F_SETLKW, &lock) : ::flock(fd, LOCK_EX);
        if (locked != 0) {
            ::close(fd);
            return fail("lock counter");
        }
        uint64_t value = 0;
        if (::pread(fd, &value, 8, 0) != 8)
            fail("read counter");
        ++value;
        if (::pwrite(fd, &value, 8, 0) != 8)
            fail("write counter");
        ++(record ? record_increments_ : flock_increments_);
        if (record) {
            lock.l_type = F_UNLCK;
            ::fcntl(fd, F_SETLK, &lock);
        } else {
            ::flock(fd, LOCK_UN);
        }
        ::close(fd);
    }

    static constexpr size_t max_files = 24;
    std::string dir_;
    int id_;
    bool exact_links_;
    std::mt19937_64 random_;
    std::map<std::string, std::string> model_;
    int serial_ = 0;
    int record_increments_ = 0;
    int flock_increments_ = 0;
    std::string error_;
};

class Stress : public mount_test {};

// Descriptors of the serving process that stand for open files under dir:
// the handles of open files and directories (an empty dir: every descriptor).
int handle_descriptors(pid_t pid, const std::string &dir)
{
    std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    int count = 0;
    DIR *d = opendir(fd_dir.c_str());
    while (dirent *e = d ? readdir(d) : nullptr) {
        char target[4096] = {};
        if (readlink((fd_dir + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0 &&
            std::string(target).rfind(dir, 0) == 0)
            ++count;
    }
    if (d)
        closedir(d);
    return count;
}

long resident_kib(pid_t pid)
{
    return std::atol(proc_status_field(pid, "VmRSS").c_str());
}

TEST_F(Stress, ManyWorkersLoseNothing)
{
    write_file(d("record-counter"), std::string(8, '\0'));
    write_file(d("flock-counter"), std::string(8, '\0'));
    server &s = serve({"--allow-delete"});
    ASSERT_EQ(record_lock_trouble(m(d("probe"))), "");
    const std::string dir = m(data);
    const int workers = 8;
    const int seconds = stress_seconds();
    allow_time(seconds + 120);
    pid_t server_pid = s.pid();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

    struct child {
        pid_t pid;
        int pipe;
    };
    std::vector<child> children;
    for (int id = 0; id < workers; ++id) {
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(report[0]);
            worker w(dir, id, fuse3());
            std::string error = w.run(until);
            std::string message = std::to_string(w.record_increments()) + " " +
                                  std::to_string(w.flock_increments()) + "\n" + error;
            (void)!write(report[1], message.data(), message.size());
            _exit(error.empty() ? 0 : 1);
        }
        close(report[1]);
        children.push_back({pid, report[0]});
    }

    // Watch the serving process while the load runs; a long run prints a
    // sample every tenth of its length.
    long rss_early = 0, rss_late = 0;
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    rss_early = resident_kib(server_pid);
    auto interval = std::chrono::seconds(std::max(1, seconds / 10));
    auto next_sample = start + interval;
    while (std::chrono::steady_clock::now() < until - std::chrono::milliseconds(500)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (seconds >= 60 && std::chrono::steady_clock::now() >= next_sample) {
            next_sample += interval;
            auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
            std::printf("stress: %4lld s: server %ld KiB resident, %d descriptors, %d open handles\n",
                        static_cast<long long>(elapsed.count()), resident_kib(server_pid),
                        handle_descriptors(server_pid, ""), handle_descriptors(server_pid, data));
            std::fflush(stdout);
        }
    }
    rss_late = resident_kib(server_pid);

    uint64_t record_increments = 0, flock_increments = 0;
    for (const auto &c : children) {
        std::string report;
        char buffer[4096];
        ssize_t n;
        while ((n = read(c.pipe, buffer, sizeof buffer)) > 0)
            report.append(buffer, static_cast<size_t>(n));
        close(c.pipe);
        int status;
        waitpid(c.pid, &status, 0);
        char *rest = nullptr;
        record_increments += std::strtoull(report.c_str(), &rest, 10);
        flock_increments += std::strtoull(rest, nullptr, 10);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report.substr(report.find('\n') + 1);
    }
    std::string record_bytes = read_file(d("record-counter"));
    std::string flock_bytes = read_file(d("flock-counter"));
    ASSERT_EQ(record_bytes.size(), 8u);
    ASSERT_EQ(flock_bytes.size(), 8u);
    uint64_t record_count, flock_count;
    std::memcpy(&record_count, record_bytes.data(), 8);
    std::memcpy(&flock_count, flock_bytes.data(), 8);
    EXPECT_EQ(record_count, record_increments) << "an increment was lost: record locks did not exclude";
    EXPECT_EQ(flock_count, flock_increments) << "an increment was lost: flock did not exclude";
    EXPECT_GT(record_increments, 0u);
    EXPECT_GT(flock_increments, 0u);
    uint64_t increments = record_increments + flock_increments;

    // Files are released after their last close returns; give the last
    // releases a moment to arrive. (The library keeps a pipe per worker
    // thread for splicing; those are its own and bounded by its threads.)
    int handles = handle_descriptors(server_pid, data);
    for (int i = 0; i < 100 && handles != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        handles = handle_descriptors(server_pid, data);
    }
    EXPECT_EQ(handles, 0) << "handles left open";
    // Memory may settle in the first second; after that it stays flat.
    if (!sanitized) {
        EXPECT_LT(rss_late - rss_early, 8 * 1024) << rss_early << " KiB, then " << rss_late << " KiB";
    }
    std::printf("stress: %d workers, %d s, %llu locked increments, server %ld -> %ld KiB resident\n", workers,
                seconds, static_cast<unsigned long long>(increments), rss_early, rss_late);
}

} // namespace
