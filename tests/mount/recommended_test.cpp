// Each program on its recommended command line: a faithful mirror while
// other processes change the host, and no more access for other local users
// than the host gives them.
#include "support/harness.h"

#include <cstdint>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

class Recommended : public mount_test {};

// Rewrites a host file in place, so that a same-size rewrite changes only
// the bytes and the time stamps.
void rewrite(const std::string &path, const std::string &content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, content.data(), content.size(), 0), static_cast<ssize_t>(content.size()));
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(content.size())), 0);
    close(fd);
}

std::string read_from(int fd)
{
    std::string bytes(1 << 16, '\0');
    ssize_t n = pread(fd, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

TEST_F(Recommended, HostChangesShowAtOnce)
{
    const std::string host = d("file"), mirrored = m(d("file"));
    rewrite(host, std::string(8192, 'a'));
    serve(config.recommended);
    int reader = open(mirrored.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    for (int round = 0; round < 20; ++round) {
        char fill = static_cast<char>('b' + round);
        const std::pair<const char *, std::string> changes[] = {
            {"same-size rewrite", std::string(8192, fill)},
            {"growth", std::string(12000, fill)},
            {"truncation", std::string(100, fill)},
            {"growth back", std::string(8192, fill)},
        };
        for (const auto &[what, content] : changes) {
            // Each check reads, so the old bytes are cached when the host
            // changes them. The reader that stays open is asked first in
            // every other round, before an open could drop the cache.
            rewrite(host, content);
            bool kept_first = round % 2 == 0;
            std::string kept = kept_first ? read_from(reader) : "";
            EXPECT_TRUE(read_file(mirrored) == content) << what << " unseen by the next open, round " << round;
            if (!kept_first)
                kept = read_from(reader);
            EXPECT_TRUE(kept == content) << what << " unseen by the open reader, round " << round;
        }
    }
    close(reader);
}

TEST_F(Recommended, InodeNumbersAndLinksAsOnTheHost)
{
    write_file(d("a"), "x");
    serve(config.recommended);
    struct stat st;
    ASSERT_EQ(stat(m(d("a")).c_str(), &st), 0);
    ASSERT_EQ(link(m(d("a")).c_str(), m(d("b")).c_str()), 0);
    ASSERT_EQ(stat(m(d("a")).c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u) << "after ln through the mount";
    ASSERT_EQ(link(d("a").c_str(), d("c").c_str()), 0);
    ASSERT_EQ(stat(m(d("b")).c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 3u) << "after ln on the host";

    DIR *dir = opendir(m(data).c_str());
    ASSERT_NE(dir, nullptr);
    int entries = 0;
    while (dirent *e = readdir(dir)) {
        struct stat host, mirrored;
        std::string name = e->d_name;
        ASSERT_EQ(lstat(d(name).c_str(), &host), 0) << name;
        ASSERT_EQ(lstat(m(d(name)).c_str(), &mirrored), 0) << name;
        EXPECT_EQ(e->d_ino, host.st_ino) << name << " in the listing";
        EXPECT_EQ(mirrored.st_ino, host.st_ino) << name << " by stat";
        ++entries;
    }
    closedir(dir);
    EXPECT_EQ(entries, 5);

}

// Two processes through the mount and two on the host update one counter
// under a lock each time: nothing may be lost.
TEST_F(Recommended, LockedCountersSharedWithTheHost)
{
    serve(config.recommended);
    ASSERT_EQ(record_lock_trouble(m(d("probe"))), "");
    for (bool record : {true, false}) {
        const std::string name = record ? "record" : "flock";
        write_file(d(name), std::string(8, '\0'));
        const std::string paths[] = {d(name), m(d(name))};
        std::vector<pid_t> workers;
        for (int w = 0; w < 4; ++w) {
            pid_t pid = fork();
            if (pid == 0) {
                for (int i = 0; i < 500; ++i) {
                    int fd = open(paths[w % 2].c_str(), O_RDWR);
                    uint64_t value = 0;
                    if (fd < 0 || lock_whole(fd, record, true) != 0 || pread(fd, &value, 8, 0) != 8)
                        _exit(1);
                    ++value;
                    if (pwrite(fd, &value, 8, 0) != 8)
                        _exit(1);
                    close(fd);
                }
                _exit(0);
            }
            workers.push_back(pid);
        }
        for (pid_t pid : workers)
            EXPECT_EQ(wait_adopted(pid, 120000), 0) << name;
        uint64_t value = 0;
        std::string bytes = read_file(d(name));
        ASSERT_EQ(bytes.size(), 8u);
        std::memcpy(&value, bytes.data(), 8);
        EXPECT_EQ(value, 2000u) << "updates under " << name << " were lost";
    }
}

// errno of what act does as user uid, in a process of its own with that
// group and the supplementary groups given, 0 when it succeeds. act makes
// system calls only: the test process has threads.
template <typename Act>
pid_t start_as_user(uid_t uid, Act act, const std::vector<gid_t> &groups = {}, mode_t mask = 0)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(groups.size(), groups.data()) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
            _exit(255);
        umask(mask);
        _exit(act() == -1 ? errno : 0);
    }
    return pid;
}

template <typename Act>
int as_user(uid_t uid, Act act, int timeout_ms = 15000)
{
    return wait_adopted(start_as_user(uid, act), timeout_ms);
}

// One action on path as user uid: open for (r)eading, (w)riting or
// (c)reating, (t)runcate, change (m)ode.
int as_user(uid_t uid, char action, const std::string &path)
{
    return as_user(uid, [&] {
        int flags = action == 'r' ? O_RDONLY : action == 'w' ? O_WRONLY : O_WRONLY | O_CREAT;
        return action == 't'   ? truncate(path.c_str(), 0)
               : action == 'm' ? chmod(path.c_str(), 0666)
                               : open(path.c_str(), flags, 0644);
    });
}

// For two seconds user 1234 opens the names in turn, reads each and
// appends a line, while another process races it; counts[0] counts its
// opens, counts[1] its reads of a file holding "TARGET". Its status.
int read_while_racing(const std::vector<std::string> &names, int *counts)
{
    counts[0] = counts[1] = 0;
    return as_user(1234, [&] {
        timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (size_t round = 0;; ++round) {
            int fd = open(names[round % names.size()].c_str(), O_RDWR | O_APPEND);
            if (fd >= 0) {
                char bytes[16] = {};
                ++counts[0];
                if (pread(fd, bytes, sizeof bytes - 1, 0) > 0 && std::strstr(bytes, "TARGET"))
                    ++counts[1];
                (void)!write(fd, "x\n", 2);
                close(fd);
            }
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec - start.tv_sec >= 2)
                return 0;
        }
    }, 30000);
}

// Creates path with mode, and writes a line into it unless told not to;
// -1 on failure.
int create_file(const std::string &path, mode_t mode, bool written = true)
{
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, mode);
    return fd < 0 || (written && write(fd, "#!/bin/sh\n", 10) != 10) ? -1 : close(fd);
}

int append_line(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    return fd < 0 || write(fd, "x\n", 2) != 2 ? -1 : close(fd);
}

mode_t mode_of(const std::string &path)
{
    struct stat st{};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// The served user's private file: other users get what the host gives
// them, which is nothing; its owner and root keep their access.
TEST_F(Recommended, OtherUsersGetOnlyWhatTheHostAllows)
{
    write_file(d("private"), "secret", 0600);
    ASSERT_EQ(chown(d("private").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(data.c_str(), 65534, 65534), 0);
    serve(config.recommended, "65534");
    const std::string file = m(d("private")), created = m(d("made"));
    for (char action : {'r', 'w', 't'})
        EXPECT_EQ(as_user(1234, action, file), EACCES) << action;
    EXPECT_EQ(as_user(1234, 'm', file), EPERM);
    EXPECT_EQ(as_user(1234, 'c', created), EACCES);
    for (char action : {'r', 'w'})
        EXPECT_EQ(as_user(65534, action, file), 0) << action;
    EXPECT_EQ(as_user(65534, 'c', created), 0);
    EXPECT_EQ(read_file(file), "secret") << "root reads through the mount";
}

// Where the kernel and the library offer it, the kernel reads and writes
// open files itself: a mapping through the mount then holds the host file's
// own pages, so a host write shows in it at once. The broker that
// registers them runs as the served user with no capability but the one to
// register; a file the served user may only read is not registered, and is
// still served to whoever may read it.
TEST_F(Recommended, OpenFilesPassThroughWhereOffered)
{
    if (!passthrough_expected())
        GTEST_SKIP() << "this program or kernel cannot pass open files through";
    ASSERT_EQ(chown(data.c_str(), 65534, 65534), 0);
    write_file(d("mine"), std::string(4096, 'a'));
    ASSERT_EQ(chown(d("mine").c_str(), 65534, 65534), 0);
    write_file(d("theirs"), std::string(4096, 'b'));
    server &s = serve(config.recommended, "65534");

    pid_t broker = 0;
    for (pid_t guard : children_of(s.pid()))
        for (pid_t child : children_of(guard))
            if (proc_status_field(child, "Name") == "brix-backing")
                broker = child;
    ASSERT_NE(broker, 0) << "no broker";
    EXPECT_EQ(proc_status_field(broker, "Uid"), "65534\t65534\t65534\t65534");

    // Two opens of one file, the first read-only: one backing file for both.
    for (const auto &[name, passed] : {std::pair{"mine", true}, {"theirs", false}}) {
        int reader = open(m(d(name)).c_str(), O_RDONLY);
        int fd = open(m(d(name)).c_str(), passed ? O_RDWR : O_RDONLY);
        ASSERT_GE(fd, 0) << name << ": " << strerror(errno);
        auto *page = static_cast<char *>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
        ASSERT_NE(page, MAP_FAILED) << name;
        char first = page[0];
        EXPECT_EQ(first, passed ? 'a' : 'b') << name;
        int host = open(d(name).c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(host, "HOST", 4, 0), 4);
        close(host);
        // Served by the program, the mapping keeps the mount's own copy of
        // the page until the kernel next compares the host's attributes.
        EXPECT_EQ(std::string(page, 4) == "HOST", passed) << name << ": passed through?";
        char bytes[4] = {};
        EXPECT_EQ(pread(reader, bytes, 4, 0), 4);
        EXPECT_EQ(std::string(bytes, 4), "HOST") << name << ": a read after the host's write";
        munmap(page, 4096);
        close(fd);
        close(reader);
    }
    EXPECT_EQ(unmount_and_wait(s, mnt), 0);
}

// User 1234 swaps its own directory with a symbolic link to the served
// user's private directory while it opens, reads and appends to its own
// file through the mount: the kernel checks the caller on its own file,
// the program must not then act on the served user's.
TEST_F(Recommended, SymbolicLinkRacesReachNothing)
{
    const std::string att = d("att"), target = d("private");
    ASSERT_EQ(chmod(data.c_str(), 0755), 0);
    // Opens and reads of the target, counted by the racing child.
    auto *counts = static_cast<int *>(
        mmap(nullptr, 2 * sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(counts, MAP_FAILED);
    for (const std::string served : {"0", "65534"}) {
        ASSERT_EQ(system(("rm -rf " + att + " " + target).c_str()), 0);
        ASSERT_EQ(mkdir(att.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((att + "/d").c_str(), 0755), 0);
        write_file(att + "/d/secret", "mine\n");
        ASSERT_EQ(chmod((att + "/d/secret").c_str(), 0666), 0);
        ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
        write_file(target + "/secret", "TARGET\n", 0600);
        ASSERT_EQ(symlink(target.c_str(), (att + "/link").c_str()), 0);
        ASSERT_EQ(system(("chown -hR 1234:1234 " + att + " && chown -R " + served + ":" + served + " " + target)
                             .c_str()),
                  0);
        server &s = serve(config.recommended, served);

        const std::string dir = att + "/d", link = att + "/link", secret = m(dir + "/secret");
        pid_t swapper = start_as_user(1234, [&] {
            for (;;)
                renameat2(AT_FDCWD, dir.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
            return 0;
        });
        EXPECT_EQ(read_while_racing({secret}, counts), 0);
        kill(swapper, SIGKILL);
        waitpid(swapper, nullptr, 0);
        EXPECT_GT(counts[0], 0) << "the caller never opened its own file, served as " << served;
        EXPECT_EQ(counts[1], 0) << "reads of the served user's file, served as " << served;
        EXPECT_TRUE(read_file(target + "/secret") == "TARGET\n") << "written into, served as " << served;
        EXPECT_EQ(unmount_and_wait(s, mnt), 0);
    }
    munmap(counts, 2 * sizeof(int));
}

// Another user's ordinary work in a directory of its own, one of the served
// user's it may search, one it may not, and a sticky one: through the mount
// each call gives what the same call by the same user gives on the host.
// Served as root, so that the caller's own rights decide, on the
// recommended line and with allow_other alone, where the program's checks
// are the only ones.
TEST_F(Recommended, OtherUsersWorkAsOnTheHost)
{
    ASSERT_EQ(chmod(data.c_str(), 0755), 0);
    const std::string host = d("host"), mirror = d("mirror");
    auto make_tree = [](const std::string &top) {
        return system(("rm -rf " + top + " && mkdir -p " + top + " && cd " + top +
                       " && mkdir own open closed sticky && chmod 755 own open && chmod 700 closed && chmod 1777 sticky"
                       " && for d in own open closed sticky; do echo x > $d/f; chmod 644 $d/f; done"
                       " && echo y > sticky/g && chmod 666 sticky/g"
                       " && chown 1234:1234 own own/f sticky/f && chown 65534:65534 open open/f closed closed/f sticky sticky/g")
                          .c_str());
    };
    // One call as user 1234 on a tree; its errno, 0 for success.
    auto act = [](char action, const std::string &dir) {
        return as_user(1234, [&] {
            const std::string f = dir + "/f";
            const struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}}, set[2] = {{1, 0}, {2, 0}};
            switch (action) {
            case 'r': return open(f.c_str(), O_RDONLY);
            case 'w': return open(f.c_str(), O_WRONLY | O_TRUNC);
            case 'c': return open((dir + "/n").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
            case 'u': return unlink(f.c_str());
            case 'U': return unlink((dir + "/g").c_str());
            case 'n': return rename(f.c_str(), (dir + "/f2").c_str());
            case 'm': return chmod(f.c_str(), 0600);
            case 'o': return chown(f.c_str(), static_cast<uid_t>(-1), 1234);
            case 'O': return chown(f.c_str(), 1234, static_cast<gid_t>(-1));
            case 't': return utimensat(AT_FDCWD, f.c_str(), now, 0);
            case 'T': return utimensat(AT_FDCWD, f.c_str(), set, 0);
            case 'x': return setxattr(f.c_str(), "user.a", "1", 1, 0);
            case 'l': {
                DIR *listing = opendir(dir.c_str());
                return listing ? closedir(listing) : -1;
            }
            }
            return -1;
        });
    };
    for (const auto &line : {config.recommended, std::vector<std::string>{"-o", "allow_other"}}) {
        std::vector<std::string> extra = line;
        extra.push_back("--allow-delete");
        server &s = serve(extra);
        for (const char *dir : {"own", "open", "closed", "sticky"})
            for (char action : std::string("rwcuUnmoOtTxl")) {
                ASSERT_EQ(make_tree(host), 0);
                ASSERT_EQ(make_tree(mirror), 0);
                EXPECT_EQ(act(action, m(mirror + "/" + dir)), act(action, host + "/" + dir))
                    << action << " in " << dir << ", " << line.back();
            }
        EXPECT_EQ(unmount_and_wait(s, mnt), 0);
    }
}

// Access control lists, on the host and through the mount, for user 1234
// (with supplementary group 2345): named entries that grant and that
// refuse what the mode alone would give, a named group, a mask, and a
// private directory opened to that user. norra-brix-fuse with --posix-acl
// gives what the host gives; without it, and norra-brix-fuse2 (whose
// kernel side checks mode bits only), may refuse a grant but never grant a
// refusal. Then, through
// norra-brix-fuse, creations under a default list and under the caller's
// umask, and the lists themselves set and read through the mount.
TEST_F(Recommended, AccessListsAsOnTheHost)
{
    if (std::system("command -v setfacl >/dev/null") != 0)
        GTEST_SKIP() << "setfacl is missing";
    ASSERT_EQ(chmod(data.c_str(), 0755), 0);
    const std::string host = d("host"), mirror = d("mirror");
    auto make_tree = [](const std::string &top, const std::string &owner) {
        return system(("rm -rf " + top + " && mkdir -p " + top + " && cd " + top +
                       " && echo x > granted && chmod 600 granted && setfacl -m u:1234:r-- granted"
                       " && echo x > refused && chmod 644 refused && setfacl -m u:1234:--- refused"
                       " && echo x > grouped && chmod 640 grouped && setfacl -m g:2345:rw- grouped"
                       " && echo x > masked && chmod 600 masked && setfacl -m u:1234:rw-,m::r-- masked"
                       " && mkdir private && chmod 700 private && setfacl -m u:1234:r-x private"
                       " && echo x > private/f && chmod 644 private/f && chown -R " + owner + ":" + owner + " .")
                          .c_str());
    };
    auto act = [](char action, const std::string &path) {
        return wait_adopted(start_as_user(1234, [&] {
            if (action == 'l') {
                DIR *listing = opendir(path.c_str());
                return listing ? closedir(listing) : -1;
            }
            return open(path.c_str(), action == 'r' ? O_RDONLY : O_WRONLY);
        }, {2345}));
    };
    const std::pair<const char *, const char *> checks[] = {
        {"granted", "rw"}, {"refused", "rw"}, {"grouped", "rw"}, {"masked", "rw"}, {"private", "l"}, {"private/f", "r"}};
    // With --posix-acl the kernel is asked to check by the lists
    // (norra-brix-fuse2 cannot ask); without, it checks mode bits only.
    std::vector<std::string> line = config.recommended;
    line.push_back("--posix-acl");
    for (bool asked : {false, true})
        for (const std::string served : {"0", "65534"}) {
            server &s = serve(asked ? line : config.recommended, served);
            ASSERT_EQ(make_tree(host, served), 0);
            ASSERT_EQ(make_tree(mirror, served), 0);
            for (const auto &[name, actions] : checks)
                for (char action : std::string(actions)) {
                    int on_host = act(action, host + "/" + name), through = act(action, m(mirror + "/" + name));
                    if ((fuse3() && asked) || on_host != 0)
                        EXPECT_EQ(through, on_host) << action << " " << name << ", served as " << served;
                    else
                        EXPECT_TRUE(through == 0 || through == EACCES) << action << " " << name;
                }
            EXPECT_EQ(unmount_and_wait(s, mnt), 0);
        }
    if (!fuse3())
        return;
    // Served as root, the caller's own rights and umask decide.
    server &s = serve(line);
    auto describe = [](const std::string &path) {
        return run_command("stat -c %A " + path + " && getfacl -cp " + path + " 2>&1");
    };
    for (mode_t mask : {mode_t{022}, mode_t{077}})
        for (const std::string &top : {host, mirror}) {
            const std::string at = top == mirror ? m(top) : top;
            ASSERT_EQ(system(("rm -rf " + top + " && mkdir -p " + top + "/inherit " + top + "/plain && chmod 777 " + top +
                              "/inherit " + top + "/plain && setfacl -d -m u:1234:rwx,g::r-x " + top + "/inherit")
                                 .c_str()),
                      0);
            for (const std::string dir : {"/inherit", "/plain"})
                EXPECT_EQ(wait_adopted(start_as_user(1234, [&] {
                    int fd = open((at + dir + "/file").c_str(), O_CREAT | O_WRONLY, 0666);
                    return fd < 0 ? -1 : mkdir((at + dir + "/dir").c_str(), 0777) == 0 ? close(fd) : -1;
                }, {}, mask)), 0);
        }
    for (const std::string name : {"inherit/file", "inherit/dir", "plain/file", "plain/dir"})
        EXPECT_EQ(describe(mirror + "/" + name), describe(host + "/" + name)) << name;
    const std::string listed = mirror + "/plain/file";
    EXPECT_EQ(system(("setfacl -m u:2345:rw-,g:3456:r-- " + m(listed)).c_str()), 0);
    EXPECT_EQ(describe(m(listed)), describe(listed));
    EXPECT_NE(describe(listed).find("user:2345:rw-"), std::string::npos);
    EXPECT_EQ(unmount_and_wait(s, mnt), 0);
}

// User 1234 exchanges, inside a directory of its own, its own file with a
// private file of the served user, and its own directory with a private
// directory of the served user, while it reads and appends to its own names
// through the mount: the program must check the caller on what it really
// reaches, so the served user's content is never read nor written.
TEST_F(Recommended, NameSwapsInOwnDirectoriesReachNothing)
{
    const std::string att = d("att");
    ASSERT_EQ(chmod(data.c_str(), 0755), 0);
    auto *counts = static_cast<int *>(
        mmap(nullptr, 2 * sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(counts, MAP_FAILED);
    for (const std::string served : {"0", "65534"}) {
        ASSERT_EQ(system(("rm -rf " + att).c_str()), 0);
        ASSERT_EQ(mkdir(att.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((att + "/dmine").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((att + "/dtheirs").c_str(), 0700), 0);
        // Writable by the served user too, whose rights every host call has.
        write_file(att + "/mine", "mine\n");
        write_file(att + "/dmine/f", "mine\n");
        ASSERT_EQ(chmod((att + "/mine").c_str(), 0666), 0);
        ASSERT_EQ(chmod((att + "/dmine/f").c_str(), 0666), 0);
        write_file(att + "/theirs", "TARGET\n", 0600);
        write_file(att + "/dtheirs/f", "TARGET\n", 0644);
        ASSERT_EQ(system(("chown -R 1234:1234 " + att + " && chown -R " + served + ":" + served + " " + att +
                          "/theirs " + att + "/dtheirs").c_str()),
                  0);
        server &s = serve(config.recommended, served);
        pid_t swapper = start_as_user(1234, [&] {
            for (;;) {
                renameat2(AT_FDCWD, (att + "/mine").c_str(), AT_FDCWD, (att + "/theirs").c_str(), RENAME_EXCHANGE);
                renameat2(AT_FDCWD, (att + "/dmine").c_str(), AT_FDCWD, (att + "/dtheirs").c_str(), RENAME_EXCHANGE);
            }
            return 0;
        });
        EXPECT_EQ(read_while_racing({m(att + "/mine"), m(att + "/dmine/f")}, counts), 0);
        kill(swapper, SIGKILL);
        waitpid(swapper, nullptr, 0);
        EXPECT_GT(counts[0], 0) << "the caller never opened its own names, served as " << served;
        EXPECT_EQ(counts[1], 0) << "reads of the served user's files, served as " << served;
        for (const std::string name : {"/mine", "/theirs", "/dmine/f", "/dtheirs/f"}) {
            std::string content = read_file(att + name);
            EXPECT_TRUE(content.rfind("TARGET\n", 0) != 0 || content == "TARGET\n")
                << "written into the served user's file, served as " << served;
        }
        EXPECT_EQ(unmount_and_wait(s, mnt), 0);
    }
    munmap(counts, 2 * sizeof(int));
}

// Set-id bits through the mount, served as root, on each line that lets
// other users in: a write by another user clears them as the host would,
// and a file another user creates carries none.
TEST_F(Recommended, SetIdBitsAsTheHostKeepsThem)
{
    ASSERT_EQ(chmod(data.c_str(), 0777), 0);
    std::vector<std::vector<std::string>> lines = {{"-o", "allow_other"}, config.recommended};
    if (!config.faster.empty())
        lines.push_back(config.faster);
    for (const auto &line : lines) {
        const std::string name = line.back();
        ASSERT_EQ(system(("rm -rf " + data + "/*").c_str()), 0);
        for (const auto &[file, mode] : {std::pair{"suid", 04777}, {"sgid", 02777}, {"kept", 06777},
                                         {"copied", 04777}, {"allocated", 06777}}) {
            write_file(d(file), "", 0);
            ASSERT_EQ(chmod(d(file).c_str(), static_cast<mode_t>(mode)), 0);
        }
        write_file(d("source"), "#!/bin/sh\n");
        server &s = serve(line);
        EXPECT_EQ(as_user(65534, [&] { return append_line(m(d("suid"))); }), 0);
        EXPECT_EQ(as_user(65534, [&] { return append_line(m(d("sgid"))); }), 0);
        // The other two ways to change a file's content.
        EXPECT_EQ(as_user(65534, [&] {
            int in = open(m(d("source")).c_str(), O_RDONLY), out = open(m(d("copied")).c_str(), O_WRONLY);
            return in < 0 || out < 0 || copy_file_range(in, nullptr, out, nullptr, 10, 0) != 10 ? -1 : close(out);
        }), 0);
        EXPECT_EQ(as_user(65534, [&] {
            int out = open(m(d("allocated")).c_str(), O_WRONLY);
            return out < 0 || fallocate(out, 0, 0, 4096) != 0 ? -1 : close(out);
        }), 0);
        EXPECT_EQ(mode_of(d("copied")), 0777u) << name;
        EXPECT_EQ(mode_of(d("allocated")), 0777u) << name;
        EXPECT_EQ(append_line(m(d("kept"))), 0);
        EXPECT_EQ(mode_of(d("suid")), 0777u) << name;
        EXPECT_EQ(mode_of(d("sgid")), 0777u) << name;
        EXPECT_EQ(mode_of(d("kept")), 06777u) << "root's own write, " << name;

        EXPECT_EQ(as_user(1234, [&] { return create_file(m(d("evil")), 04755); }), 0);
        EXPECT_EQ(as_user(1234, [&] { return create_file(m(d("evil2")), 06777, false); }), 0);
        EXPECT_EQ(as_user(1234, [&] { return mknod(m(d("node")).c_str(), S_IFREG | 06755, 0); }), 0);
        EXPECT_EQ(create_file(m(d("root")), 06755), 0);
        EXPECT_EQ(mode_of(d("evil")), 0755u) << name;
        EXPECT_EQ(mode_of(d("evil2")), 0777u) << name;
        EXPECT_EQ(mode_of(d("node")), 0755u) << name;
        EXPECT_EQ(mode_of(d("root")), 06755u) << name;
        EXPECT_EQ(unmount_and_wait(s, mnt), 0);
    }
    // The served user's own new files keep what it asked for (until it
    // writes them, as on the host).
    server &s = serve(config.recommended, "65534");
    EXPECT_EQ(as_user(65534, [&] { return create_file(m(d("own")), 04755, false); }), 0);
    EXPECT_EQ(as_user(1234, [&] { return create_file(m(d("other")), 04755, false); }), 0);
    EXPECT_EQ(mode_of(d("own")), 04755u);
    EXPECT_EQ(mode_of(d("other")), 0755u);
    EXPECT_EQ(unmount_and_wait(s, mnt), 0);
}

} // namespace
