// Temporary-name patterns and the deletion policy.
#include "ops/host_path.h"
#include "policy/deletion.h"
#include "policy/patterns.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct name_case {
    const char *name;
    int temporary;
};

TEST(TemporaryName, PatternTable)
{
    const name_case cases[] = {
        // numbers joined by minus signs and full stops (a backslash belongs to the set)
        {"1.2", 1}, {"12-345", 1}, {"-5-7", 1}, {"..3..4", 1}, {"1\\2", 1},
        {"1.2.3", 0}, {"1.2a", 0}, {"x1.2", 0}, {"1", 0}, {"1.", 0},
        // office lock and check files, case ignored
        {"moffice3.tmp", 1}, {"MOFFICE12.Tmp", 1}, {"moffice.tmp", 0}, {"moffice3.tmp~", 0},
        {".moffice_wr_check0", 1}, {".MOFFICE_WR_CHECK42", 1}, {".moffice_wr_check", 0}, {"moffice_wr_check1", 0},
        // five hexadecimal runs
        {"0f3a9c2e-1b4d-4e8a-9c1f-2a3b4c5d6e7f", 1}, {"a-b-c-d-e", 1}, {"A-B-C-D-E", 1},
        {"a-b-c-d", 0}, {"a-b-c-d-e.tmp", 0}, {"g-1-2-3-4", 0},
        {"report.doc", 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(is_temporary_name((std::string("/home/u/") + c.name).c_str()), c.temporary) << c.name;
        EXPECT_EQ(is_temporary_name(c.name), c.temporary) << c.name;
    }
}

TEST(TemporaryName, OnlyTheLastComponentCounts)
{
    EXPECT_EQ(is_temporary_name("/1.2/report.doc"), 0);
    EXPECT_EQ(is_temporary_name("/docs/1.2"), 1);
    EXPECT_EQ(is_temporary_name("/docs/1.2/"), 1);  // trailing slashes are ignored
    EXPECT_EQ(is_temporary_name("/"), 0);
}

TEST(TemporaryName, LineStartsAndEndsInsideANameMatch)
{
    EXPECT_EQ(is_temporary_name("/x/notes\n1.2"), 1);
    EXPECT_EQ(is_temporary_name("/x/moffice1.tmp\nreport"), 1);
    EXPECT_EQ(is_temporary_name("/x/notes\nreport"), 0);
}

TEST(TemporaryName, LengthBounds)
{
    EXPECT_EQ(is_temporary_name(nullptr), 0);
    EXPECT_EQ(is_temporary_name(""), 0);
    std::string path = "/" + std::string(4090, 'd') + "/1.2";  // 4095 bytes
    ASSERT_EQ(path.size(), 4095u);
    EXPECT_EQ(is_temporary_name(path.c_str()), 1);
    path.insert(0, "/");
    EXPECT_EQ(is_temporary_name(path.c_str()), 0);
    std::string huge(100000, 'a');
    EXPECT_EQ(is_temporary_name(huge.c_str()), 0);
}

TEST(TemporaryName, CompilesLazilyAndFreesOnce)
{
    free_patterns();
    free_patterns();  // a second release does nothing
    EXPECT_EQ(patterns_compiled, 0);
    EXPECT_EQ(is_temporary_name("/a/1.2"), 1);
    EXPECT_EQ(patterns_compiled, 1);
    free_patterns();
    EXPECT_EQ(patterns_compiled, 0);
    compile_patterns();
}

class Deletion : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir_template[] = "/tmp/nbf-unit-XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
        allow_delete = 0;
        ASSERT_EQ(ops::pin_host_root(), 0);
    }
    void TearDown() override
    {
        allow_delete = 0;
        std::system(("rm -rf " + dir).c_str());
    }
    std::string file(const std::string &name)
    {
        std::string path = dir + "/" + name;
        close(creat(path.c_str(), 0644));
        return path;
    }
    bool exists(const std::string &path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
    std::string dir;
};

TEST_F(Deletion, WithoutTheSwitchOnlyTemporaryFilesGo)
{
    std::string report = file("report.doc");
    EXPECT_EQ(ops::unlink(report.c_str()), 0);
    EXPECT_TRUE(exists(report));

    for (const char *name : {"moffice12.tmp", "MOFFICE12.TMP", "1.2"}) {
        std::string temporary = file(name);
        EXPECT_EQ(ops::unlink(temporary.c_str()), 0) << name;
        EXPECT_FALSE(exists(temporary)) << name;
    }
    EXPECT_EQ(ops::unlink((dir + "/moffice1.tmp").c_str()), -ENOENT);
    EXPECT_EQ(ops::unlink((dir + "/missing.doc").c_str()), 0);

    std::string sub = dir + "/1.2";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    EXPECT_EQ(ops::rmdir(sub.c_str()), 0);
    EXPECT_TRUE(exists(sub));
    EXPECT_EQ(ops::rmdir((dir + "/missing").c_str()), 0);
}

TEST_F(Deletion, WithTheSwitchEveryRequestReachesTheHost)
{
    allow_delete = 1;
    std::string report = file("report.doc");
    EXPECT_EQ(ops::unlink(report.c_str()), 0);
    EXPECT_FALSE(exists(report));
    EXPECT_EQ(ops::unlink((dir + "/missing.doc").c_str()), -ENOENT);

    std::string sub = dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    file("sub/inside");
    EXPECT_EQ(ops::rmdir(sub.c_str()), -ENOTEMPTY);
    EXPECT_EQ(ops::unlink((sub + "/inside").c_str()), 0);
    EXPECT_EQ(ops::rmdir(sub.c_str()), 0);
    EXPECT_FALSE(exists(sub));
    EXPECT_EQ(ops::rmdir(sub.c_str()), -ENOENT);
}

} // namespace
