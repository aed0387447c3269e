// Programs people use, through the mount, with their results checked on the
// host.
#include "support/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

class Clients : public mount_test {
protected:
    // Runs a shell script in dir (a path under the mount); returns its
    // status, and its output in *output.
    int sh(const std::string &dir, const std::string &script, std::string *output = nullptr)
    {
        std::string command = "cd '" + dir + "' && { " + script + "; } 2>&1";
        int status = -1;
        std::string out = run_command("export HOME='" + root + "' GIT_AUTHOR_NAME=n GIT_AUTHOR_EMAIL=n@x "
                                      "GIT_COMMITTER_NAME=n GIT_COMMITTER_EMAIL=n@x GIT_CONFIG_NOSYSTEM=1; " +
                                      command, &status);
        if (output)
            *output = out;
        return status;
    }
};

// What a tree holds, for comparing two trees: type, mode, size, content or
// link target, extended attributes, and which names share an inode.
std::map<std::string, std::string> describe(const std::string &top, bool hard_links = true)
{
    std::map<std::string, std::string> tree;
    std::map<std::string, ino_t> linked;
    std::vector<std::string> pending = {""};
    while (!pending.empty()) {
        std::string rel = pending.back();
        pending.pop_back();
        DIR *dir = opendir((top + rel).c_str());
        while (dirent *e = dir ? readdir(dir) : nullptr) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            std::string path = rel + "/" + name;
            std::string full = top + path;
            struct stat st;
            lstat(full.c_str(), &st);
            std::string text = std::to_string(st.st_mode) + " " + std::to_string(S_ISDIR(st.st_mode) ? 0 : st.st_size);
            if (S_ISREG(st.st_mode)) {
                if (st.st_nlink > 1 && hard_links)
                    linked[path] = st.st_ino;
                text += " content:" + std::to_string(std::hash<std::string>{}(read_file(full)));
            } else if (S_ISLNK(st.st_mode)) {
                char target[4096] = {};
                text += " -> " + std::string(target, static_cast<size_t>(readlink(full.c_str(), target, sizeof target)));
            } else if (S_ISDIR(st.st_mode)) {
                pending.push_back(path);
            }
            char names[1024] = {};
            ssize_t n = llistxattr(full.c_str(), names, sizeof names);
            for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(strlen(names + at)) + 1) {
                char value[256] = {};
                ssize_t length = lgetxattr(full.c_str(), names + at, value, sizeof value);
                text += std::string(" xattr ") + (names + at) + "=" + std::string(value, static_cast<size_t>(std::max<ssize_t>(length, 0)));
            }
            tree[path] = text;
        }
        if (dir)
            closedir(dir);
    }
    // Names of one inode are marked with the first of them.
    std::map<ino_t, std::string> first;
    for (const auto &[path, ino] : linked)
        first.emplace(ino, path);
    for (const auto &[path, ino] : linked)
        tree[path] += " same-as:" + first[ino];
    return tree;
}

// The entries in which two trees differ, one per line.
std::string tree_difference(const std::map<std::string, std::string> &got,
                            const std::map<std::string, std::string> &expected)
{
    std::string out;
    for (const auto &[path, text] : expected) {
        auto it = got.find(path);
        if (it == got.end())
            out += "missing " + path + "\n";
        else if (it->second != text)
            out += path + ": " + it->second + " instead of " + text + "\n";
    }
    for (const auto &[path, text] : got)
        if (!expected.count(path))
            out += "extra " + path + "\n";
    return out;
}

TEST_F(Clients, GitWithDeletionAllowed)
{
    serve({"--allow-delete"});
    std::string out;
    ASSERT_EQ(sh(m(data), "git init -q repo && cd repo && echo one > file && git add file && git commit -qm one && "
                           "git branch side && echo two > file && git commit -qam two && git status --short && "
                           "git gc -q && git status --porcelain", &out), 0) << out;
    EXPECT_EQ(out, "");
    ASSERT_EQ(sh(data + "/repo", "git fsck --no-progress && git rev-list --count HEAD && git branch --list", &out), 0) << out;
    EXPECT_NE(out.find("2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("side"), std::string::npos) << out;
}

TEST_F(Clients, GitWithoutDeletionLeavesItsLockFiles)
{
    // Git removes its lock files when it is done with them; refused, they
    // stay, and the next command that wants the same lock gives up.
    serve();
    std::string out;
    ASSERT_EQ(sh(m(data), "git init -q repo && cd repo && echo one > file && git add file && git commit -qm one", &out), 0) << out;
    EXPECT_NE(sh(m(data + "/repo"), "echo two > file && git commit -qam two", &out), 0);
    EXPECT_NE(out.find(".lock': File exists"), std::string::npos) << out;
    struct stat st;
    EXPECT_EQ(stat((data + "/repo/.git/HEAD.lock").c_str(), &st), 0);
}

TEST_F(Clients, SqliteTwoWritersStayConsistent)
{
    serve({"--allow-delete"});
    ASSERT_EQ(record_lock_trouble(m(d("probe"))), "");
    std::string inserts;
    for (int i = 0; i < 150; ++i)
        inserts += "insert into t values(" + std::to_string(i) + ", hex(randomblob(300)));\n";
    write_file(d("inserts.sql"), inserts);
    // The rollback journal, and the write-ahead log, whose index both
    // writers map and share.
    for (const std::string mode : {"delete", "wal"}) {
        std::string out;
        ASSERT_EQ(sh(m(data), "sqlite3 " + mode + ".db 'pragma journal_mode=" + mode + "; create table t(n, payload)'",
                     &out), 0) << out;
        // Each statement is a transaction of its own; the record locks order them.
        std::string writer = "sqlite3 -cmd '.timeout 30000' " + mode + ".db < inserts.sql";
        ASSERT_EQ(sh(m(data), "(" + writer + " & " + writer + "; wait)", &out), 0) << out;
        EXPECT_EQ(out, "") << mode;
        ASSERT_EQ(sh(data, "sqlite3 " + mode + ".db 'pragma integrity_check; select count(*) from t'", &out), 0) << out;
        EXPECT_EQ(out, "ok\n300\n") << mode;
    }
}

TEST_F(Clients, SqliteWithoutDeletionNeedsAJournalThatIsNotDeleted)
{
    // The default rollback journal is deleted at each commit; refused, it
    // stays and looks hot, and the next reader rolls the commit back. A
    // journal that is truncated instead keeps every commit.
    serve();
    std::string out;
    sh(m(data), "for i in 1 2 3; do sqlite3 lost 'create table if not exists t(n); insert into t values(1)'; done", &out);
    sh(data, "sqlite3 lost 'select count(*) from t'", &out);
    EXPECT_NE(out, "3\n") << "commits survived a journal that was never removed";
    EXPECT_EQ(sh(m(data), "for i in 1 2 3; do sqlite3 -cmd 'pragma journal_mode=truncate' kept "
                          "'create table if not exists t(n); insert into t values(1)' >/dev/null; done", &out), 0) << out;
    ASSERT_EQ(sh(data, "sqlite3 kept 'pragma integrity_check; select count(*) from t'", &out), 0) << out;
    EXPECT_EQ(out, "ok\n3\n");
}

TEST_F(Clients, TarAndRsyncRoundTrips)
{
    // A tree with the awkward things a copy can lose.
    std::string src = root + "/src";
    ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((src + "/sub dir").c_str(), 0750), 0);
    write_file(src + "/plain", "plain text\n", 0640);
    write_file(src + "/sub dir/n\xc3\xa4me with\nnewline", "odd\n");
    ASSERT_EQ(link((src + "/plain").c_str(), (src + "/hard").c_str()), 0);
    ASSERT_EQ(symlink("plain", (src + "/link").c_str()), 0);
    ASSERT_EQ(symlink("/nowhere/at/all", (src + "/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0600), 0);
    int sparse = open((src + "/sparse").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(pwrite(sparse, "middle", 6, 5 << 20), 6);
    ASSERT_EQ(ftruncate(sparse, 10 << 20), 0);
    close(sparse);
    bool xattrs = setxattr((src + "/plain").c_str(), "user.origin", "test", 4, 0) == 0;
    const auto expected = describe(src);

    serve({"--allow-delete"});
    std::string out;
    ASSERT_EQ(mkdir(d("tar").c_str(), 0755), 0);
    ASSERT_EQ(sh(src, "tar --xattrs --xattrs-include='user.*' -cSpf - . | tar --xattrs --xattrs-include='user.*' -xpf - -C '" +
                          m(d("tar")) + "'", &out), 0) << out;
    EXPECT_EQ(tree_difference(describe(d("tar")), expected), "");
    ASSERT_EQ(sh(src, "rsync -aHSX . '" + m(d("rsync")) + "/'", &out), 0) << out;
    EXPECT_EQ(tree_difference(describe(d("rsync")), expected), "");

    // And back out through the mount. The FUSE 2 program shows the
    // library's inode numbers, so readers cannot tell hard links apart.
    ASSERT_EQ(sh(root, "mkdir back && tar --xattrs --xattrs-include='user.*' -C '" + m(d("rsync")) +
                           "' -cSpf - . | tar --xattrs --xattrs-include='user.*' -xpf - -C back", &out), 0) << out;
    EXPECT_EQ(tree_difference(describe(root + "/back", fuse3()), fuse3() ? expected : describe(src, false)), "");
    struct stat st;
    ASSERT_EQ(stat(d("rsync/sparse").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, st.st_size) << "holes kept";
    if (!xattrs)
        std::printf("no user extended attributes here; the trees were compared without them\n");
}

TEST_F(Clients, CMakeBuildsInsideTheMount)
{
    for (bool allow : {true, false}) {
        clear_log();
        server &s = serve(allow ? std::vector<std::string>{"--allow-delete"} : std::vector<std::string>{});
        std::string proj = d(allow ? "with" : "without");
        ASSERT_EQ(mkdir(proj.c_str(), 0755), 0);
        write_file(proj + "/CMakeLists.txt", "cmake_minimum_required(VERSION 3.13)\nproject(hello C)\nadd_executable(hello main.c)\n");
        write_file(proj + "/main.c", "#include <stdio.h>\nint main(void) { puts(\"hello from the mount\"); return 0; }\n");
        std::string out;
        ASSERT_EQ(sh(m(proj), "cmake -S . -B build >/dev/null && cmake --build build >/dev/null && ./build/hello", &out), 0) << out;
        EXPECT_EQ(out, "hello from the mount\n");
        ASSERT_EQ(sh(proj, "./build/hello", &out), 0);
        EXPECT_EQ(out, "hello from the mount\n");
        EXPECT_EQ(unmount_and_wait(s, mnt), 0);
    }
}

} // namespace
