// The command-line scan, the launcher check and the backing-file broker.
#include "policy/deletion.h"
#include "exports.h"
#include "startup/backing_broker.h"
#include "startup/startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct scanned {
    int result;
    startup_state st;
    std::vector<std::string> fuse_args;
};

scanned scan(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    scanned out{};
    out.result = scan_command_line(static_cast<int>(args.size()), argv.data(), out.st);
    if (out.st.fuse_argv) {
        for (int i = 0; i < out.st.fuse_argc; ++i)
            out.fuse_args.push_back(out.st.fuse_argv[i]);
        EXPECT_EQ(out.st.fuse_argv[out.st.fuse_argc], nullptr);
    }
    release_startup(out.st);
    return out;
}

std::string read_file_text(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TEST(ParseId, FollowsStrtolAndKeepsTheLow32Bits)
{
    EXPECT_EQ(parse_id("1000"), 1000);
    EXPECT_EQ(parse_id("  +5"), 5);
    EXPECT_EQ(parse_id("-0"), 0);
    EXPECT_EQ(parse_id("4294967296"), 0);
    EXPECT_EQ(parse_id("4294967295"), -1);
    EXPECT_EQ(parse_id("4294967303"), 7);
    EXPECT_EQ(parse_id("12abc"), -1);
    EXPECT_EQ(parse_id(""), -1);
    EXPECT_EQ(parse_id("   "), -1);
    EXPECT_EQ(parse_id("5 "), -1);
    EXPECT_EQ(parse_id("-"), -1);
}

TEST(ScanCommandLine, TakesOutItsOwnOptionsAndKeepsTheRestInOrder)
{
    allow_delete = 0;
    auto s = scan({"prog", "-u", "1000", "-g", "1000", "/mnt", "-o", "ro"});
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.st.uid, 1000);
    EXPECT_EQ(s.st.gid, 1000);
    EXPECT_EQ(s.fuse_args, (std::vector<std::string>{"prog", "/mnt", "-o", "ro"}));
    EXPECT_EQ(allow_delete, 0);

    EXPECT_FALSE(s.st.posix_acl);

    s = scan({"prog", "/mnt", "--allow-delete", "-u1000", "--allow-delete=1", "-g", "3", "--posix-acl"});
    EXPECT_EQ(allow_delete, 1);
    EXPECT_TRUE(s.st.posix_acl);
    EXPECT_EQ(s.st.uid, -1);
    EXPECT_EQ(s.st.gid, 3);
    EXPECT_EQ(s.fuse_args, (std::vector<std::string>{"prog", "/mnt", "-u1000", "--allow-delete=1"}));
    allow_delete = 0;
}

TEST(ScanCommandLine, ValuesAreTakenWhateverTheyLookLike)
{
    allow_delete = 0;
    auto s = scan({"prog", "-u", "--allow-delete", "-g", "7"});
    EXPECT_EQ(s.st.uid, -1);
    EXPECT_EQ(s.st.gid, 7);
    EXPECT_EQ(allow_delete, 0);

    s = scan({"prog", "-u", "-g", "5"});
    EXPECT_EQ(s.st.uid, -1);
    EXPECT_EQ(s.st.gid, -1);
    EXPECT_EQ(s.fuse_args, (std::vector<std::string>{"prog", "5"}));

    s = scan({"prog", "-u", "1", "-u", "2", "-g", "0", "-g"});
    EXPECT_EQ(s.st.uid, 2);
    EXPECT_EQ(s.st.gid, 0);
    EXPECT_EQ(s.fuse_args, std::vector<std::string>{"prog"});
}

TEST(ScanCommandLine, NoArgumentsAtAll)
{
    startup_state st;
    char *argv[] = {nullptr};
    EXPECT_EQ(scan_command_line(0, argv, st), scan_no_arguments);
    EXPECT_EQ(st.fuse_argv, nullptr);
}

class LauncherCheck : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("PROCESS_CHECK_CALLER"); }
};

TEST_F(LauncherCheck, AcceptedCodesSkipTheParentName)
{
    for (const char *code : {"qv", "zj"}) {
        setenv("PROCESS_CHECK_CALLER", code, 1);
        startup_state st;
        EXPECT_TRUE(launcher_accepted(st)) << code;
        EXPECT_EQ(st.parent_name, nullptr);
    }
}

TEST_F(LauncherCheck, OtherCodesLeaveItToTheParent)
{
    // The parent of a test process is not the launching daemon.
    for (const char *code : {"QV", "qvx", "qv ", "", "z"}) {
        setenv("PROCESS_CHECK_CALLER", code, 1);
        startup_state st;
        EXPECT_FALSE(launcher_accepted(st)) << code;
        char *expected = process_name_by_pid(getppid());
        ASSERT_NE(st.parent_name, nullptr);
        EXPECT_STREQ(st.parent_name, expected);
        free(expected);
        release_startup(st);
    }
}

TEST(ProcessName, ReadsCommWithItsNewline)
{
    char *name = process_name_by_pid(getpid());
    ASSERT_NE(name, nullptr);
    std::string text = name;
    free(name);
    EXPECT_EQ(text, std::string(program_invocation_short_name).substr(0, 15) + "\n");
    EXPECT_EQ(process_name_by_pid(-5), nullptr);
    EXPECT_EQ(process_name_by_pid(0x3fffffff), nullptr);
}


// The broker registers only regular files open for reading and writing,
// closes only ids it registered, and runs as the served user with nothing
// but the right to register. A stand-in for the device refuses the
// registration itself (ENOTTY), which shows that the request got past the
// broker's own rules.
TEST(BackingBroker, RegistersOnlyFilesOpenForReadingAndWriting)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the broker changes its ids";
    char dir_template[] = "/tmp/nbf-broker-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string file = std::string(dir_template) + "/f";
    int channel[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel), 0);
    pid_t broker = fork();
    if (broker == 0) {
        close(channel[0]);
        run_backing_broker(channel[1], open("/dev/null", O_RDWR), 65534, 65534);
    }
    close(channel[1]);
    int fd = open(file.c_str(), O_CREAT | O_RDWR, 0666);
    int read_only = open(file.c_str(), O_RDONLY);
    int path_only = open(file.c_str(), O_PATH);
    int directory = open(dir_template, O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(ask_backing_broker(channel[0], {backing_register, 0}, read_only), -EINVAL);
    EXPECT_EQ(ask_backing_broker(channel[0], {backing_register, 0}, path_only), -EINVAL);
    EXPECT_EQ(ask_backing_broker(channel[0], {backing_register, 0}, directory), -EINVAL);
    EXPECT_EQ(ask_backing_broker(channel[0], {backing_register, 0}, -1), -EINVAL);
    EXPECT_EQ(ask_backing_broker(channel[0], {backing_register, 0}, fd), -ENOTTY);
    EXPECT_EQ(ask_backing_broker(channel[0], {backing_release, 1}, -1), -ENOENT);

    std::string status = read_file_text("/proc/" + std::to_string(broker) + "/status");
    EXPECT_NE(status.find("\nUid:\t65534\t65534\t65534\t65534\n"), std::string::npos) << status;
    EXPECT_NE(status.find("\nGroups:\t65534 \n"), std::string::npos) << status;
    EXPECT_NE(status.find("\nCapEff:\t0000000000200000\n"), std::string::npos) << "CAP_SYS_ADMIN alone";
    EXPECT_NE(status.find("\nCapPrm:\t0000000000200000\n"), std::string::npos) << "CAP_SYS_ADMIN alone";

    close(channel[0]);
    int wait_status = -1;
    EXPECT_EQ(waitpid(broker, &wait_status, 0), broker);
    EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) << "ends with its server";
    for (int d : {fd, read_only, path_only, directory})
        close(d);
    unlink(file.c_str());
    rmdir(dir_template);
}

} // namespace
