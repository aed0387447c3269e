// File data, locks and allocation through the mount.
#include "support/harness.h"

#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <random>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

class FileIO : public mount_test {
protected:
    // Writes size bytes through the mount in random pieces at random
    // offsets (and once more in order, so nothing is left unwritten), then
    // compares the host file and a read back through the mount.
    void round_trip(const std::string &name, size_t size, uint64_t seed);
};

void fill_random(std::vector<char> &bytes, uint64_t seed)
{
    std::mt19937_64 random(seed);
    size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        uint64_t word = random();
        std::memcpy(bytes.data() + i, &word, 8);
    }
    for (; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(random());
}

// A write lock on length bytes from start (0: to the end of the file).
struct flock write_lock(off_t start = 0, off_t length = 0)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return lock;
}

bool read_whole(int fd, std::vector<char> &into, size_t size)
{
    into.assign(size, 0);
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, into.data() + done, std::min<size_t>(size - done, 1 << 20), static_cast<off_t>(done));
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    char extra;
    return pread(fd, &extra, 1, static_cast<off_t>(size)) == 0;
}

void FileIO::round_trip(const std::string &name, size_t size, uint64_t seed)
{
    std::vector<char> expected(size);
    fill_random(expected, seed);
    int fd = open(m(d(name)).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (size_t at = 0; at < size;) {
        size_t piece = std::min<size_t>(size - at, 1 << 20);
        ASSERT_EQ(pwrite(fd, expected.data() + at, piece, static_cast<off_t>(at)), static_cast<ssize_t>(piece));
        at += piece;
    }
    std::mt19937_64 random(seed + 1);
    for (int i = 0; size > 0 && i < 200; ++i) {
        size_t at = random() % size;
        size_t length = 1 + random() % std::min<size_t>(size - at, 300000);
        for (size_t k = 0; k < length; ++k)
            expected[at + k] = static_cast<char>(expected[at + k] ^ 0x5a);
        ASSERT_EQ(pwrite(fd, expected.data() + at, length, static_cast<off_t>(at)), static_cast<ssize_t>(length));
    }
    ASSERT_EQ(close(fd), 0);

    std::vector<char> actual;
    int host = open(d(name).c_str(), O_RDONLY);
    ASSERT_TRUE(read_whole(host, actual, size)) << name;
    close(host);
    EXPECT_TRUE(actual == expected) << name << ": host bytes differ";
    int mirrored = open(m(d(name)).c_str(), O_RDONLY);
    ASSERT_TRUE(read_whole(mirrored, actual, size)) << name;
    close(mirrored);
    EXPECT_TRUE(actual == expected) << name << ": bytes read back differ";
}

TEST_F(FileIO, DataRoundTripsByteForByte)
{
    serve();
    uint64_t seed = 1;
    for (size_t size : {size_t(0), size_t(1), size_t(4095), size_t(4096), size_t(65537),
                        size_t((1 << 20) + 13), size_t((24 << 20) + 5)})
        round_trip("file-" + std::to_string(size), size, seed++);

    int fd = open(m(d("file-4096")).c_str(), O_RDONLY);
    char byte;
    EXPECT_EQ(pread(fd, &byte, 1, 4096), 0);
    EXPECT_EQ(pread(fd, &byte, 1, 1 << 30), 0);
    close(fd);
}

// Direct I/O through the mount: the kernel passes the caller's sizes and
// offsets down as they are, and each of them must land on the host.
TEST_F(FileIO, DirectIOLandsByteForByte)
{
    std::vector<char> bytes(4 << 20);
    fill_random(bytes, 5);
    write_file(d("source"), std::string(bytes.begin(), bytes.end()));
    serve();
    int status = -1;
    std::string out = run_command("dd if=" + d("source") + " of=" + m(d("dd")) + " bs=1M oflag=direct 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(read_file(d("dd")) == read_file(d("source"))) << "dd's direct writes differ on the host";

    // One aligned page at 0, then 10,000 bytes at 4,096: no block multiple.
    // The program's own host descriptor takes any size; a file passed
    // through to the kernel gets the host's direct I/O, and what the host
    // refuses (ext4 does) is refused alike.
    void *buffer = nullptr;
    ASSERT_EQ(posix_memalign(&buffer, 4096, 1 << 20), 0);
    char *aligned = static_cast<char *>(buffer);
    std::memcpy(aligned, bytes.data(), 14096);
    int host = open(d("host-direct").c_str(), O_CREAT | O_RDWR | O_DIRECT, 0644);
    bool any_size = !passthrough_expected() || pwrite(host, aligned + 4096, 10000, 4096) == 10000;
    close(host);
    const size_t total = any_size ? 14096 : 4096;
    int fd = open(m(d("direct")).c_str(), O_CREAT | O_RDWR | O_DIRECT, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_DIRECT, 0) << "the caller's descriptor lost O_DIRECT";
    EXPECT_EQ(pwrite(fd, aligned, 4096, 0), 4096) << strerror(errno);
    EXPECT_EQ(errno_of(static_cast<int>(pwrite(fd, aligned + 4096, 10000, 4096))), any_size ? 0 : EINVAL);
    EXPECT_EQ(fsync(fd), 0);
    EXPECT_TRUE(read_file(d("direct")) == std::string(bytes.data(), total)) << "direct writes differ on the host";
    std::memset(aligned, 0, 1 << 20);
    EXPECT_EQ(pread(fd, aligned, 1 << 20, 0), static_cast<ssize_t>(total));
    EXPECT_EQ(std::memcmp(aligned, bytes.data(), total), 0) << "a direct read gave other bytes";
    close(fd);
    std::free(buffer);
}

// Plain and mapped reads and writes, growth and truncation, in random
// order on one file, each checked against a copy kept in memory (what fsx
// does in its mapped modes). Where the kernel passes the file through, its
// mappings hold the host file's pages.
TEST_F(FileIO, MappedAndPlainIOAgree)
{
    serve();
    const std::string path = m(d("mapped"));
    int fd = open(path.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    std::mt19937_64 random(7);
    std::string model;
    const size_t most = 1 << 20;
    for (int op = 0; op < 2000; ++op) {
        size_t offset = random() % most, length = 1 + random() % 65536;
        length = std::min(length, most - offset);
        char fill = static_cast<char>('A' + op % 26);
        int kind = static_cast<int>(random() % 5);
        if (kind >= 1 && kind <= 3 && model.empty())
            kind = 0;
        if (kind == 1 || kind == 2) {
            // Mappings reach only up to the end of the file.
            offset %= model.size();
            length = std::min(length, model.size() - offset);
            int protection = kind == 1 ? PROT_READ | PROT_WRITE : PROT_READ;
            auto *map = static_cast<char *>(mmap(nullptr, model.size(), protection, MAP_SHARED, fd, 0));
            ASSERT_NE(map, MAP_FAILED) << strerror(errno);
            if (kind == 1) {
                std::memset(map + offset, fill, length);
                model.replace(offset, length, length, fill);
            } else {
                ASSERT_TRUE(model.compare(offset, length, map + offset, length) == 0) << "mapped read, op " << op;
            }
            munmap(map, model.size());
        } else if (kind == 0) {
            std::string bytes(length, fill);
            ASSERT_EQ(pwrite(fd, bytes.data(), length, static_cast<off_t>(offset)), static_cast<ssize_t>(length));
            if (model.size() < offset + length)
                model.resize(offset + length, '\0');
            model.replace(offset, length, bytes);
        } else if (kind == 3) {
            std::string bytes(length, '\0');
            ssize_t n = pread(fd, bytes.data(), length, static_cast<off_t>(offset));
            bytes.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
            ASSERT_TRUE(bytes == model.substr(std::min(offset, model.size()), length)) << "read, op " << op;
        } else {
            size_t size = random() % most;
            ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
            model.resize(size, '\0');
        }
    }
    ASSERT_EQ(fsync(fd), 0);
    close(fd);
    EXPECT_TRUE(read_file(d("mapped")) == model) << "the host file differs";
}

TEST_F(FileIO, LargeFileRoundTrips)
{
    // A gibibyte in the FUSE 2 program's 4 KiB writes takes three to four
    // minutes under the thread sanitizer on 2 cores.
    allow_time(480);
    serve();
    round_trip("large", size_t(1) << 30, 99);
}

TEST_F(FileIO, ConcurrentWritersAndReaders)
{
    serve();
    const std::string file = m(d("shared"));
    constexpr size_t block = 4096;
    constexpr int blocks = 1024;  // 4 MiB
    write_file(d("shared"), std::string(block * blocks, '\0'));
    auto pattern = [](int writer, int index) {
        std::string bytes(block, '\0');
        for (size_t i = 0; i < block; ++i)
            bytes[i] = static_cast<char>((writer * 131 + index * 7 + static_cast<int>(i)) & 0xff);
        return bytes;
    };
    // Writers 0 to 3 are threads, 4 and 5 processes. The first half of the
    // file is split between them; all of them write the second half.
    auto work = [&](int writer) {
        int fd = open(file.c_str(), O_RDWR);
        bool ok = fd >= 0;
        for (int round = 0; ok && round < 2; ++round) {
            for (int i = writer; i < blocks / 2; i += 6)
                ok = ok && pwrite(fd, pattern(writer, i).data(), block, static_cast<off_t>(i * block)) == block;
            for (int i = blocks / 2; i < blocks; ++i)
                ok = ok && pwrite(fd, pattern(writer, i).data(), block, static_cast<off_t>(i * block)) == block;
            char buffer[block];
            for (int i = 0; ok && i < blocks; i += 17)
                ok = pread(fd, buffer, block, static_cast<off_t>(i * block)) == block;
        }
        close(fd);
        return ok;
    };
    std::vector<pid_t> children;
    for (int writer = 4; writer < 6; ++writer) {
        pid_t child = fork();
        if (child == 0)
            _exit(work(writer) ? 0 : 1);
        children.push_back(child);
    }
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int writer = 0; writer < 4; ++writer)
        threads.emplace_back([&, writer] { failures += work(writer) ? 0 : 1; });
    for (auto &t : threads)
        t.join();
    for (pid_t child : children) {
        int status;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(failures, 0);

    std::string host = read_file(d("shared"));
    ASSERT_EQ(host.size(), block * blocks);
    for (int i = 0; i < blocks; ++i) {
        std::string got = host.substr(i * block, block);
        if (i < blocks / 2) {
            EXPECT_EQ(got, pattern(i % 6, i)) << "block " << i;
        } else {
            bool whole = false;
            for (int writer = 0; writer < 6; ++writer)
                whole = whole || got == pattern(writer, i);
            EXPECT_TRUE(whole) << "block " << i << " mixes writers";
        }
    }
    EXPECT_EQ(read_file(file), host);
}

TEST_F(FileIO, RecordLocksConflictAsOnTheHost)
{
    write_file(d("locked"), std::string(100, 'x'));
    serve();
    ASSERT_EQ(record_lock_trouble(m(d("probe"))), "");
    const std::string file = m(d("locked"));
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t holder = fork();
    if (holder == 0) {
        int fd = open(file.c_str(), O_RDWR);
        struct flock lock = write_lock(10, 20);
        char byte = fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &byte, 1);
        (void)!read(go[0], &byte, 1);
        usleep(300000);
        lock.l_type = F_UNLCK;
        fcntl(fd, F_SETLK, &lock);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'y') << "the holder could not lock";

    int fd = open(file.c_str(), O_RDWR);
    struct flock probe = write_lock(0, 15);
    ASSERT_EQ(fcntl(fd, F_GETLK, &probe), 0) << strerror(errno);
    EXPECT_EQ(probe.l_type, F_WRLCK);
    EXPECT_EQ(probe.l_start, 10);
    EXPECT_EQ(probe.l_len, 20);

    struct flock want = write_lock(25, 10);
    EXPECT_EQ(fcntl(fd, F_SETLK, &want), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EACCES) << strerror(errno);
    struct flock elsewhere = want;
    elsewhere.l_start = 50;
    EXPECT_EQ(fcntl(fd, F_SETLK, &elsewhere), 0);

    auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(fcntl(fd, F_SETLKW, &want), 0) << strerror(errno);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(200));
    close(fd);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

// A process that stops waiting for a lock, killed or interrupted by a
// signal it catches, ends at once while the holder keeps the lock, and the
// lock manager keeps nothing of it: a third process takes the lock once the
// holder lets go. The FUSE 2 library answers interrupts only with "-o intr".
TEST_F(FileIO, LockWaitsEndWhenTheWaiterIsSignalled)
{
    write_file(d("locked"), "x");
    if (fuse3())
        serve();
    else
        serve({"-o", "intr"});
    ASSERT_EQ(record_lock_trouble(m(d("probe"))), "");
    const std::string file = m(d("locked"));
    for (bool record : {true, false}) {
        SCOPED_TRACE(record ? "record lock" : "flock");
        // A child that opens the file and takes the lock; its exit status
        // is 0 when the result is the one expected.
        auto locker = [&](bool wait, int expected_errno) {
            pid_t pid = fork();
            if (pid == 0) {
                struct sigaction quiet = {};
                quiet.sa_handler = [](int) {};
                sigaction(SIGUSR2, &quiet, nullptr);  // no SA_RESTART
                int fd = open(file.c_str(), O_RDWR);
                int result = lock_whole(fd, record, wait);
                _exit(expected_errno ? (result == -1 && errno == expected_errno ? 0 : 1) : (result == 0 ? 0 : 1));
            }
            return pid;
        };
        int holder = open(file.c_str(), O_RDWR);
        ASSERT_EQ(lock_whole(holder, record, false), 0);

        pid_t killed = locker(true, 0);
        pid_t caught = locker(true, EINTR);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(killed, SIGKILL);
        kill(caught, SIGUSR2);
        EXPECT_EQ(wait_adopted(killed, 1000), 128 + SIGKILL) << "the killed waiter did not end at once";
        EXPECT_EQ(wait_adopted(caught, 1000), 0) << "the interrupted wait did not fail with EINTR";
        EXPECT_EQ(wait_adopted(locker(false, record ? EAGAIN : EWOULDBLOCK)), 0) << "the holder lost its lock";

        close(holder);
        EXPECT_EQ(wait_adopted(locker(false, 0)), 0) << "a lock outlived the processes that waited for it";
    }
}

// Forty processes wait for a flock and forty for a record lock through the
// mount, each wait holding a serving thread: everybody else is still
// served, the holder included, and each waiter gets its lock in turn.
TEST_F(FileIO, WaitingLocksLeaveTheMountServing)
{
    write_file(d("flocked"), "x");
    write_file(d("recorded"), "x");
    write_file(d("other"), "data");
    for (const auto &line : {std::vector<std::string>{}, config.recommended}) {
        SCOPED_TRACE(line.empty() ? "library defaults" : "recommended line");
        server &s = serve(line);
        ASSERT_EQ(record_lock_trouble(m(d("probe"))), "");
        int go[2], ready[2];
        ASSERT_EQ(pipe(go), 0);
        ASSERT_EQ(pipe(ready), 0);
        pid_t holder = fork();
        if (holder == 0) {
            // Nothing keeps the holder waiting once the test is gone.
            close(go[1]);
            close(ready[0]);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int flocked = open(m(d("flocked")).c_str(), O_RDWR);
            int recorded = open(m(d("recorded")).c_str(), O_RDWR);
            char byte = 'r';
            if (lock_whole(flocked, false, false) != 0 || lock_whole(recorded, true, false) != 0 ||
                write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1)
                _exit(1);
            // The holder works through the mount before it lets go.
            int out = open(m(d("result")).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
            _exit(out >= 0 && write(out, "done", 4) == 4 && close(out) == 0 ? 0 : 2);
        }
        close(ready[1]);
        close(go[0]);
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the holder could not lock";
        std::vector<pid_t> waiters;
        for (int i = 0; i < 80; ++i) {
            bool record = i % 2 == 0;
            const std::string file = m(d(record ? "recorded" : "flocked"));
            pid_t pid = fork();
            if (pid == 0) {
                close(go[1]);
                close(ready[0]);
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                int fd = open(file.c_str(), O_RDWR);
                _exit(fd >= 0 && lock_whole(fd, record, true) == 0 ? 0 : 1);
            }
            waiters.push_back(pid);
        }
        for (int i = 0; i < 500 && waiting_requests(mnt) < 80; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_GE(waiting_requests(mnt), 80) << "the waiters never all waited";

        const std::string hostname = m("/etc/hostname"), other = m(d("other"));
        pid_t bystander = fork();
        if (bystander == 0) {
            struct stat st;
            char bytes[8];
            int fd = open(other.c_str(), O_RDONLY);
            _exit(stat(hostname.c_str(), &st) == 0 && read(fd, bytes, sizeof bytes) == 4 ? 0 : 1);
        }
        ASSERT_EQ(wait_adopted(bystander, 1000), 0) << "nobody else was served while locks were awaited";
        ASSERT_EQ(write(go[1], "g", 1), 1);
        EXPECT_EQ(wait_adopted(holder, 5000), 0) << "the holder could not write through the mount";
        EXPECT_EQ(read_file(d("result")), "done");
        for (pid_t pid : waiters)
            EXPECT_EQ(wait_adopted(pid, 30000), 0) << "a waiter never got its lock";
        close(go[1]);
        close(ready[0]);
        EXPECT_EQ(unmount_and_wait(s, mnt), 0);
    }
}

// Processes that update different parts of one file, each under its own
// kind of lock, see each other's bytes at once when the kernel keeps no page
// cache for the file ("-o direct_io", FUSE 2 program). With the page cache,
// a neighbour's read (or its read-ahead) can bring a page back from the host
// while a write into that page is still on its way there, and the next reader
// gets the old bytes: the FUSE 2 program's defaults lose a few updates a
// minute under this load; the FUSE 2 library offers direct_io on its command
// line and the FUSE 3 library does not.
TEST_F(FileIO, NeighbouringWritersSeeEachOther)
{
    if (fuse3())
        GTEST_SKIP() << "the FUSE 3 library takes no direct_io option";
    write_file(d("counters"), std::string(16, '\0'));
    serve({"-o", "direct_io"});
    ASSERT_EQ(record_lock_trouble(m(d("probe"))), "");
    const std::string file = m(d("counters"));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::vector<pid_t> workers;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    for (int id = 0; id < 6; ++id) {
        pid_t pid = fork();
        if (pid == 0) {
            bool record = id % 2 == 0;
            off_t at = record ? 0 : 8;
            uint64_t count = 0;
            while (std::chrono::steady_clock::now() < until) {
                int fd = open(file.c_str(), O_RDWR);
                struct flock lock = write_lock(at, 8);
                if (fd < 0 || (record ? fcntl(fd, F_SETLKW, &lock) : flock(fd, LOCK_EX)) != 0)
                    _exit(1);
                uint64_t value = 0;
                if (pread(fd, &value, 8, at) != 8)
                    _exit(1);
                ++value;
                if (pwrite(fd, &value, 8, at) != 8)
                    _exit(1);
                ++count;
                close(fd);  // releases either lock
            }
            uint64_t counts[2] = {record ? count : 0, record ? 0 : count};
            (void)!write(report[1], counts, sizeof counts);
            _exit(0);
        }
        workers.push_back(pid);
    }
    close(report[1]);
    uint64_t expected[2] = {0, 0}, counts[2];
    while (read(report[0], counts, sizeof counts) == sizeof counts) {
        expected[0] += counts[0];
        expected[1] += counts[1];
    }
    close(report[0]);
    for (pid_t pid : workers) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string bytes = read_file(d("counters"));
    ASSERT_EQ(bytes.size(), 16u);
    uint64_t found[2];
    std::memcpy(found, bytes.data(), sizeof found);
    EXPECT_EQ(found[0], expected[0]) << "updates under record locks were lost";
    EXPECT_EQ(found[1], expected[1]) << "updates under flock were lost";
}

// The lock manager keeps a helper process per open file that holds record
// locks; closing the file ends it.
TEST_F(FileIO, LockHelpersEndWithTheirFiles)
{
    write_file(d("locked"), "x");
    serve();
    ASSERT_EQ(record_lock_trouble(m(d("probe"))), "");
    // The helpers detach into this process's care; count those still alive.
    auto live_helpers = [] {
        int count = 0;
        std::vector<pid_t> pending = children_of(getpid());
        while (!pending.empty()) {
            pid_t pid = pending.back();
            pending.pop_back();
            if (proc_status_field(pid, "Name") == "ulockmgr_server" &&
                proc_status_field(pid, "State").rfind("Z", 0) != 0)
                ++count;
            for (pid_t child : children_of(pid))
                pending.push_back(child);
        }
        return count;
    };
    for (int i = 0; i < 20; ++i) {
        int fd = open(m(d("locked")).c_str(), O_RDWR);
        struct flock lock = write_lock();
        ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0);
        close(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(live_helpers(), 1) << "only the lock manager itself outlives the files";
}

TEST_F(FileIO, FlockConflictsBetweenProcesses)
{
    write_file(d("flocked"), "x");
    serve();
    const std::string file = m(d("flocked"));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        int fd = open(file.c_str(), O_RDONLY);
        char byte = flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'y');
    int fd = open(file.c_str(), O_RDONLY);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(flock(fd, LOCK_EX), 0) << "released with its holder";
    close(fd);
}

TEST_F(FileIO, AllocationCopyAndSeek)
{
    write_file(d("file"), "abcdefgh");
    serve();
    int fd = open(m(d("file")).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 1 << 20), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_EQ(read_file(d("file")), "abcdefgh");
    EXPECT_EQ(fallocate(fd, 0, 0, 65536), 0);
    struct stat st;
    ASSERT_EQ(stat(d("file").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 65536);

    int out = open(m(d("copy")).c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(out, 0);
    loff_t in_offset = 2, out_offset = 1;
    EXPECT_EQ(copy_file_range(fd, &in_offset, out, &out_offset, 4, 0), 4);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    EXPECT_EQ(lseek(out, 0, SEEK_CUR), 0);
    EXPECT_EQ(read_file(d("copy")), std::string("\0cdef", 5));
    close(out);
    close(fd);

    // A sparse file: data at the start and past a hole of 4 MiB.
    int host = open(d("sparse").c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_EQ(pwrite(host, "data", 4, 0), 4);
    ASSERT_EQ(pwrite(host, "more", 4, 4 << 20), 4);
    fsync(host);
    int sparse = open(m(d("sparse")).c_str(), O_RDONLY);
    for (int whence : {SEEK_DATA, SEEK_HOLE}) {
        for (off_t at : {off_t(0), off_t(100), off_t(1 << 20), off_t((4 << 20) + 2)}) {
            off_t expected = lseek(host, at, whence);
            off_t got = lseek(sparse, at, whence);
            if (fuse3())
                EXPECT_EQ(got, expected) << whence << " " << at;
            else
                EXPECT_GE(got, at) << "the kernel answers without the program";
        }
    }
    close(sparse);
    close(host);
}

TEST_F(FileIO, FullHostFileSystemKeepsEarlierData)
{
    std::string small = root + "/small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m"), 0);
    mounts_.push_back(small);
    serve();
    std::vector<char> bytes(4 << 20);
    fill_random(bytes, 7);
    int fd = open(m(small + "/fill").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    size_t written = 0;
    int error = 0;
    while (written < bytes.size()) {
        ssize_t n = pwrite(fd, bytes.data() + written, 65536, static_cast<off_t>(written));
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        written += static_cast<size_t>(n);
    }
    EXPECT_EQ(error, ENOSPC);
    EXPECT_LT(written, bytes.size());
    EXPECT_GT(written, 0u);
    close(fd);
    std::string host = read_file(small + "/fill");
    ASSERT_GE(host.size(), written);
    EXPECT_TRUE(std::equal(host.begin(), host.begin() + static_cast<long>(written), bytes.begin()));
}

} // namespace
