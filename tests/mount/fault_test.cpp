// Faults: signals and kills under load, host changes under open handles,
// a serving process out of descriptors, hostile names and path lengths.
#include "support/harness.h"

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t block = 65536;

std::string block_pattern(int writer, size_t index)
{
    std::string bytes(block, '\0');
    for (size_t i = 0; i < block; ++i)
        bytes[i] = static_cast<char>((static_cast<size_t>(writer) * 31 + index * 7 + i / 13) & 0xff);
    return bytes;
}

class Faults : public mount_test {
protected:
    struct writer {
        pid_t pid;
        int report;
    };

    // Writers append blocks to their own files until a write fails or comes
    // back short, then report the bytes acknowledged and the error (0 for a
    // short write). Writes that the kernel passes through to the host need
    // no server and outlive it, so a writer also stops at 128 MiB.
    std::vector<writer> start_writers(int count)
    {
        std::vector<writer> writers;
        for (int id = 0; id < count; ++id) {
            int report[2];
            if (pipe(report) != 0)
                break;
            pid_t pid = fork();
            if (pid == 0) {
                close(report[0]);
                int fd = open(m(d("w" + std::to_string(id))).c_str(), O_CREAT | O_WRONLY, 0644);
                size_t done = 0;
                ssize_t n = -1;
                while (fd >= 0 && done < (size_t{128} << 20)) {
                    std::string bytes = block_pattern(id, done / block);
                    n = pwrite(fd, bytes.data(), block, static_cast<off_t>(done));
                    if (n > 0)
                        done += static_cast<size_t>(n);
                    if (n != static_cast<ssize_t>(block))
                        break;
                }
                std::string text = std::to_string(done) + " " + std::to_string(n < 0 ? errno : 0);
                (void)!write(report[1], text.data(), text.size());
                _exit(0);
            }
            close(report[1]);
            writers.push_back({pid, report[0]});
        }
        return writers;
    }

    // Every acknowledged block is on the host; returns the errors seen.
    std::set<int> check_writers(const std::vector<writer> &writers)
    {
        std::set<int> errors;
        for (size_t id = 0; id < writers.size(); ++id) {
            char text[64] = {};
            EXPECT_GT(read(writers[id].report, text, sizeof text - 1), 0);
            close(writers[id].report);
            waitpid(writers[id].pid, nullptr, 0);
            size_t done = 0;
            int error = 0;
            std::sscanf(text, "%zu %d", &done, &error);
            errors.insert(error);
            std::string host = read_file(d("w" + std::to_string(id)));
            EXPECT_GE(host.size(), done) << "writer " << id;
            done = std::min(done, host.size());
            for (size_t at = 0; at < done; at += block) {
                size_t length = std::min(block, done - at);
                if (host.compare(at, length, block_pattern(static_cast<int>(id), at / block), 0, length) != 0) {
                    ADD_FAILURE() << "writer " << id << " block " << at / block << " differs on the host";
                    break;
                }
            }
        }
        return errors;
    }
};

TEST_F(Faults, SignalsDuringLoadTearDown)
{
    for (int signal : {SIGTERM, SIGINT}) {
        clear_log();
        server &s = serve();
        auto writers = start_writers(4);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        kill(s.pid(), signal);
        if (!fuse3()) {
            ASSERT_TRUE(wait_for_log("norra-brix-fuse is going to exit."));
            release_lock_file(mnt);
        }
        // The FUSE 3 library reports the signal as the loop's result.
        EXPECT_EQ(s.wait_exit(), fuse3() ? 1 : 0) << signal;
        EXPECT_EQ(s.stderr_text(), "");
        auto messages = log_messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), "norra-brix-fuse is going to exit.");
        EXPECT_FALSE(is_fuse_mount(mnt)) << "torn down";
        check_writers(writers);
        std::system(("rm -f " + data + "/w*").c_str());
    }
}

TEST_F(Faults, KilledServerLosesNothingAcknowledged)
{
    server &s = serve();
    auto writers = start_writers(4);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    kill(s.pid(), SIGKILL);
    EXPECT_EQ(s.wait_exit(), 128 + SIGKILL);
    // Applications see the connection gone (requests in flight are
    // aborted) or a write cut short, never wrong data.
    for (int error : check_writers(writers))
        EXPECT_TRUE(error == 0 || error == ENOTCONN || error == ECONNABORTED || error == ENOENT)
            << strerror(error);
    // The mount went with the process, and so did the lock: a new instance
    // serves at once.
    for (int i = 0; i < 200 && is_fuse_mount(mnt); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(is_fuse_mount(mnt)) << "a dead mount stayed";
    struct stat st;
    clear_log();
    server &next = serve();
    EXPECT_EQ(stat(m(d("w0")).c_str(), &st), 0);
    EXPECT_EQ(unmount_and_wait(next, mnt), 0);
}

TEST_F(Faults, HostChangesUnderOpenHandles)
{
    write_file(d("file"), "0123456789");
    serve();
    int fd = open(m(d("file")).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(rename(d("file").c_str(), d("moved").c_str()), 0);
    char buffer[16] = {};
    EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), 10);
    EXPECT_EQ(pwrite(fd, "AB", 2, 0), 2);
    EXPECT_EQ(read_file(d("moved")), "AB23456789");
    struct stat st;
    EXPECT_EQ(stat(m(d("file")).c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);

    ASSERT_EQ(unlink(d("moved").c_str()), 0);
    EXPECT_EQ(pwrite(fd, "CD", 2, 10), 2);
    EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), 12);
    EXPECT_EQ(std::string(buffer, 12), "AB23456789CD");
    EXPECT_EQ(close(fd), 0);

    // A directory removed on the host while listed through the mount.
    ASSERT_EQ(mkdir(d("dir").c_str(), 0755), 0);
    write_file(d("dir/a"), "a");
    DIR *dir = opendir(m(d("dir")).c_str());
    ASSERT_NE(dir, nullptr);
    std::system(("rm -rf " + d("dir")).c_str());
    int entries = 0;
    while (readdir(dir))
        ++entries;
    closedir(dir);
    EXPECT_LE(entries, 3);
}

TEST_F(Faults, DescriptorLimitIsReportedAndRecovered)
{
    for (int i = 0; i < 100; ++i)
        write_file(d("f" + std::to_string(i)), "x");
    server &s = start({"-u", "0", "-g", "0", "-f", mnt}, {.descriptor_limit = 48});
    ASSERT_TRUE(s.wait_mounted(mnt)) << s.stderr_text();
    std::vector<int> open_files;
    int error = 0;
    for (int i = 0; i < 100; ++i) {
        int fd = open(m(d("f" + std::to_string(i))).c_str(), O_RDONLY);
        if (fd < 0) {
            error = errno;
            break;
        }
        open_files.push_back(fd);
    }
    EXPECT_EQ(error, EMFILE);
    EXPECT_GT(open_files.size(), 20u);
    EXPECT_LT(open_files.size(), 48u);
    for (size_t i = 0; i < open_files.size(); i += 2)
        close(open_files[i]);
    int fd = open(m(d("f99")).c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << strerror(errno);
    char byte;
    EXPECT_EQ(read(fd, &byte, 1), 1);
    close(fd);
    for (size_t i = 1; i < open_files.size(); i += 2)
        close(open_files[i]);
    EXPECT_EQ(unmount_and_wait(s, mnt), 0);

    // Started with the soft limit a service usually gets and a higher hard
    // one, the program serves a client that keeps 5,000 files open, and
    // another client meanwhile.
    for (int i = 0; i < 5000; ++i)
        write_file(d("g" + std::to_string(i)), "x");
    server &busy = start({"-u", "0", "-g", "0", "-f", mnt},
                         {.descriptor_limit = 8192, .descriptor_soft_limit = 1024});
    ASSERT_TRUE(busy.wait_mounted(mnt)) << busy.stderr_text();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t client = fork();
    if (client == 0) {
        rlimit limit = {8192, 8192};
        int opened = 0;
        if (setrlimit(RLIMIT_NOFILE, &limit) == 0)
            for (; opened < 5000 && open(m(d("g" + std::to_string(opened))).c_str(), O_RDONLY) >= 0; ++opened) {
            }
        (void)!write(ready[1], &opened, sizeof opened);
        pause();
        _exit(0);
    }
    int opened = 0;
    ASSERT_EQ(read(ready[0], &opened, sizeof opened), static_cast<ssize_t>(sizeof opened));
    EXPECT_EQ(opened, 5000) << "files the client kept open";
    struct stat st;
    EXPECT_EQ(stat(m(data).c_str(), &st), 0) << "another client's stat meanwhile: " << strerror(errno);
    EXPECT_EQ(read_file(m(d("f1"))), "x") << "another client's read meanwhile";
    kill(client, SIGKILL);
    waitpid(client, nullptr, 0);
    // Its files are released in the background; the mount goes after.
    for (int i = 0; i < 500 && waiting_requests(mnt) > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(unmount_and_wait(busy, mnt), 0) << busy.stderr_text();
}

class HostileNames : public mount_test {};

TEST_F(HostileNames, OddBytesInNamesPassThrough)
{
    serve({"--allow-delete"});
    const std::vector<std::string> names = {
        "new\nline", "ctl\x01\x02\x1f\x7f", "bad\xff\xfe utf8", " lead", "-dash", "trail.", "tab\there",
        std::string(255, 'n'),
    };
    for (const auto &name : names) {
        std::string shown = name.substr(0, 20);
        int fd = open(m(d(name)).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0) << shown;
        EXPECT_EQ(write(fd, name.data(), name.size()), static_cast<ssize_t>(name.size()));
        close(fd);
        EXPECT_EQ(read_file(d(name)), name) << shown;
    }
    std::set<std::string> listed;
    DIR *dir = opendir(m(data).c_str());
    while (dirent *e = readdir(dir))
        listed.insert(e->d_name);
    closedir(dir);
    for (const auto &name : names) {
        EXPECT_TRUE(listed.count(name)) << name.substr(0, 20);
        std::string renamed = name.substr(0, 200) + "\n2";
        EXPECT_EQ(rename(m(d(name)).c_str(), m(d(renamed)).c_str()), 0) << name.substr(0, 20);
        EXPECT_EQ(read_file(d(renamed)), name);
    }
    std::string too_long(256, 'n');
    EXPECT_EQ(open(m(d(too_long)).c_str(), O_CREAT | O_WRONLY, 0644), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(unlink(m(d("new\nline\n2")).c_str()), 0);
    EXPECT_NE(access(d("new\nline\n2").c_str(), F_OK), 0);
}

TEST_F(HostileNames, PathLengthLimits)
{
    // Host paths of exactly 4095 and 4096 bytes, reached step by step
    // through the mount; the host refuses the longer one.
    int host_dir = open(data.c_str(), O_DIRECTORY | O_RDONLY);
    ASSERT_GE(host_dir, 0);
    std::string host_path = data;
    std::vector<std::string> steps;
    while (host_path.size() + 201 < 4095 - 10) {
        std::string step(199, 'd');
        ASSERT_EQ(mkdirat(host_dir, step.c_str(), 0755), 0);
        int next = openat(host_dir, step.c_str(), O_DIRECTORY | O_RDONLY);
        close(host_dir);
        host_dir = next;
        host_path += "/" + step;
        steps.push_back(step);
    }
    std::string name4095(4095 - host_path.size() - 1, 'f');
    std::string name4096 = name4095 + "g";
    ASSERT_EQ(host_path.size() + 1 + name4095.size(), 4095u);
    for (const auto &name : {name4095, name4096}) {
        int fd = openat(host_dir, name.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    close(host_dir);

    serve();
    int dir = open(mnt.c_str(), O_DIRECTORY | O_RDONLY);
    for (const auto &part : {data.substr(1)}) {
        int next = openat(dir, part.c_str(), O_DIRECTORY | O_RDONLY);
        close(dir);
        dir = next;
    }
    for (const auto &step : steps) {
        int next = openat(dir, step.c_str(), O_DIRECTORY | O_RDONLY);
        close(dir);
        dir = next;
    }
    ASSERT_GE(dir, 0);
    struct stat st;
    EXPECT_EQ(fstatat(dir, name4095.c_str(), &st, 0), 0) << strerror(errno);
    EXPECT_EQ(fstatat(dir, name4096.c_str(), &st, 0), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(openat(dir, (name4095 + "x").c_str(), O_CREAT | O_WRONLY, 0644), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(unlinkat(dir, name4095.c_str(), 0), 0) << "refused, reported as done";
    EXPECT_EQ(fstatat(dir, name4095.c_str(), &st, 0), 0);
    close(dir);
}

} // namespace
