// Lock-file naming, the lock itself, and the inotify event scan.
#include "exports.h"
#include "lock/inotify_scan.h"
#include "lock/lockfile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (readdir(dir))
        ++count;
    closedir(dir);
    return count;
}

TEST(LockFileName, FlattensTheMountPoint)
{
    char flat[256];
    EXPECT_EQ(slash_to_underline("/home/u/mnt", flat), 0);
    EXPECT_STREQ(flat, "_home_u_mnt");

    char path[lock_path_size];
    ASSERT_EQ(lock_file_path("/home/u/mnt", path), 0);
    EXPECT_STREQ(path, "/var/lib/brix/.lock/.brix-_home_u_mnt");
    ASSERT_EQ(lock_file_path("/", path), 0);
    EXPECT_STREQ(path, "/var/lib/brix/.lock/.brix-_");

    char other[lock_path_size];
    ASSERT_EQ(lock_file_path("/a/b", path), 0);
    ASSERT_EQ(lock_file_path("/a_b", other), 0);
    EXPECT_STREQ(path, other);
}

TEST(LockFileName, LongMountPointsNeverOverrunTheBuffers)
{
    char path[lock_path_size];
    std::memset(path, 'x', sizeof path);
    std::string longest = "/" + std::string(254, 'm');
    ASSERT_EQ(lock_file_path(longest.c_str(), path), 0);
    EXPECT_EQ(std::strlen(path), 26 + longest.size());

    std::memset(path, 'x', sizeof path);
    for (size_t length : {256u, 1100u, 5000u}) {
        std::string too_long = "/" + std::string(length - 1, 'm');
        EXPECT_EQ(lock_file_path(too_long.c_str(), path), -1) << length;
        EXPECT_EQ(path[0], 'x') << "the path is left alone";
    }
}

TEST(TestLockfile, OneHolderAtATimeAndNoLeakedDescriptor)
{
    char dir_template[] = "/tmp/nbf-unit-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string path = std::string(dir_template) + "/lock";
    {
        FILE *f = fopen(path.c_str(), "w");
        fputs("kept", f);
        fclose(f);
        chmod(path.c_str(), 0600);
    }
    int before = open_descriptors();
    EXPECT_EQ(test_lockfile(path.c_str()), 0);
    EXPECT_EQ(open_descriptors(), before + 1) << "the holder keeps its descriptor";
    // A second open file of the same lock is refused and closed again.
    EXPECT_EQ(test_lockfile(path.c_str()), -1);
    EXPECT_EQ(open_descriptors(), before + 1);

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_size, 4) << "contents are kept";

    EXPECT_EQ(test_lockfile((std::string(dir_template) + "/missing/lock").c_str()), -1);
    EXPECT_EQ(open_descriptors(), before + 1);
    std::system((std::string("rm -rf ") + dir_template).c_str());
}

// An event whose fixed part claims name_length bytes of name, of which
// name_bytes follow.
std::string event(int wd, uint32_t mask, uint32_t name_length, size_t name_bytes)
{
    inotify_event e{};
    e.wd = wd;
    e.mask = mask;
    e.len = name_length;
    std::string bytes(reinterpret_cast<const char *>(&e), sizeof e);
    bytes.append(name_bytes, 'n');
    return bytes;
}

std::string event(int wd, uint32_t mask, uint32_t name_length = 0)
{
    return event(wd, mask, name_length, name_length);
}

TEST(InotifyScan, FindsTheRemovalOfTheWatchedFile)
{
    EXPECT_EQ(scan_inotify_events("", 0, 1), 0);
    std::string deleted = event(1, IN_DELETE_SELF, 0);
    EXPECT_EQ(scan_inotify_events(deleted.data(), deleted.size(), 1), 1);
    std::string moved = event(1, IN_MOVE_SELF, 0);
    EXPECT_EQ(scan_inotify_events(moved.data(), moved.size(), 1), 1);
    EXPECT_EQ(scan_inotify_events(deleted.data(), deleted.size(), 2), 0) << "another watch";

    std::string others = event(1, IN_ATTRIB, 0) + event(3, IN_DELETE_SELF, 16) + event(1, IN_MOVE_SELF, 0);
    EXPECT_EQ(scan_inotify_events(others.data(), others.size(), 1), 1);
    std::string ignored = event(1, IN_IGNORED, 0);
    EXPECT_EQ(scan_inotify_events(ignored.data(), ignored.size(), 1), 0);
}

TEST(InotifyScan, NeverReadsPastTheBytesRead)
{
    // Truncated fixed parts and names that claim more than was read end the
    // scan; the copies live in exactly-sized heap blocks so that a sanitizer
    // sees any overrun.
    std::string whole = event(1, IN_ATTRIB, 0) + event(1, IN_DELETE_SELF, 0);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        std::vector<char> part(whole.begin(), whole.begin() + static_cast<long>(cut));
        EXPECT_EQ(scan_inotify_events(part.data(), part.size(), 1), 0) << cut;
    }
    std::string lying = event(1, IN_ATTRIB, 0xfffffff0u, 0) + event(1, IN_DELETE_SELF, 0);
    std::vector<char> bytes(lying.begin(), lying.end());
    EXPECT_EQ(scan_inotify_events(bytes.data(), bytes.size(), 1), 0);
}

} // namespace
