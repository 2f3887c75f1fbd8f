#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>

#include "log/mylog.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using vk_test::ReadFile;
using vk_test::TempRoot;
using vk_test::WriteFile;

namespace {

std::string Padded(long v) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%-5ld|", v);
    return buf;
}

class LogTest : public ::testing::Test {
protected:
    TempRoot root;
    std::string path = root.path() + "/var/log/test.log";
    MyLog log;
};

TEST_F(LogTest, LineHasTimePidTidLevelAndMessage) {
    ASSERT_TRUE(log.Open(path.c_str()));
    ASSERT_TRUE(log.Write(INFO, "hello %d", 42));
    std::string text = ReadFile(path);
    std::regex re(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\|)");
    EXPECT_TRUE(std::regex_search(text, re)) << text;
    std::string expect = Padded(getpid()) + Padded(syscall(SYS_gettid)) + "INFO|hello 42\n";
    EXPECT_EQ(text.substr(20), expect);
}

TEST_F(LogTest, LevelsFilterAndDebugToggles) {
    ASSERT_TRUE(log.Open(path.c_str()));
    EXPECT_EQ(log.GetLogLevel(), INFO);
    EXPECT_TRUE(log.Write(ERROR, "e1"));
    EXPECT_TRUE(log.Write(INFO, "i1"));
    EXPECT_FALSE(log.Write(DEBUG, "d1"));
    log.SetLogLevel(DEBUG);
    EXPECT_TRUE(log.Write(DEBUG, "d2"));
    log.SetLogLevel(INFO);
    EXPECT_FALSE(log.Write(DEBUG, "d3"));
    EXPECT_FALSE(log.Write(INFO, nullptr));
    std::string text = ReadFile(path);
    EXPECT_NE(text.find("ERROR|e1\n"), std::string::npos);
    EXPECT_NE(text.find("INFO|i1\n"), std::string::npos);
    EXPECT_NE(text.find("DEBUG|d2\n"), std::string::npos);
    EXPECT_EQ(text.find("d1"), std::string::npos);
    EXPECT_EQ(text.find("d3"), std::string::npos);
}

TEST_F(LogTest, ClosedLogWritesNothing) {
    EXPECT_FALSE(log.Write(ERROR, "before open"));
    ASSERT_TRUE(log.Open(path.c_str()));
    EXPECT_FALSE(log.Open(path.c_str())) << "an open log refuses a second Open";
    log.Close();
    EXPECT_FALSE(log.Write(ERROR, "after close"));
    EXPECT_EQ(ReadFile(path), "");
}

TEST_F(LogTest, LongAndMultiLineMessagesAreWrittenWhole) {
    ASSERT_TRUE(log.Open(path.c_str()));
    std::string big(5000, 'x');
    big += "\nsecond line";
    ASSERT_TRUE(log.Write(INFO, "%s", big.c_str()));
    std::string text = ReadFile(path);
    EXPECT_NE(text.find("INFO|" + big + "\n"), std::string::npos);
}

TEST_F(LogTest, AppendsToExistingFileInCreatedDirectory) {
    mkdir((root.path() + "/var").c_str(), 0755);
    mkdir((root.path() + "/var/log").c_str(), 0755);
    WriteFile(path, "old line\n");
    ASSERT_TRUE(log.Open(path.c_str()));
    ASSERT_TRUE(log.Write(INFO, "new"));
    std::string text = ReadFile(path);
    EXPECT_EQ(text.rfind("old line\n", 0), 0u);
    EXPECT_NE(text.find("INFO|new\n"), std::string::npos);

    struct stat st;
    ASSERT_EQ(stat((root.path() + "/var/log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(LogTest, FileRemovedWithItsDirectoryIsOpenedAnew) {
    ASSERT_TRUE(log.Open(path.c_str()));
    ASSERT_TRUE(log.Write(INFO, "before"));
    ASSERT_EQ(system(("rm -rf '" + root.path() + "/var'").c_str()), 0);
    int n = 0;
    EXPECT_TRUE(vk_test::WaitFor([&] {
        log.Write(INFO, "after %d", ++n);
        return ReadFile(path).find("INFO|after ") != std::string::npos;
    }));
    EXPECT_EQ(ReadFile(path).find("before"), std::string::npos);
}

TEST_F(LogTest, OpenFailsWhenDirectoryIsAFile) {
    WriteFile(root.path() + "/plain", "x");
    std::string bad = root.path() + "/plain/sub/test.log";
    EXPECT_FALSE(log.Open(bad.c_str()));
    EXPECT_FALSE(log.IsOpen());
}

// The cut: once the counted size has passed the ceiling, the next line is
// written and the file is brought back to its newest half, that line
// included.
struct CutCase {
    const char *name;
    const char *conf;  // log.conf content, or null for the defaults
    long long ceiling;
};

class LogCutTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(LogCutTest, KeepsNewestHalfIncludingLastLine) {
    TempRoot root;
    std::string path = root.path() + "/cut.log";
    MyLog log;
    if (GetParam().conf != nullptr) {
        WriteFile(root.path() + "/log.conf", GetParam().conf);
        ASSERT_TRUE(log.LoadConf(root.path() + "/log.conf"));
    }
    ASSERT_EQ(log.Ceiling(), GetParam().ceiling);

    // Just below the trigger: no cut yet.
    WriteFile(path, std::string(static_cast<size_t>(GetParam().ceiling - 100), 'a'));
    ASSERT_TRUE(log.Open(path.c_str()));
    ASSERT_TRUE(log.Write(INFO, "%s", std::string(200, 'b').c_str()));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_GT(st.st_size, GetParam().ceiling) << "no cut before the counted size passed it";

    ASSERT_TRUE(log.Write(INFO, "newest line"));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, GetParam().ceiling / 2);
    std::string text = ReadFile(path);
    EXPECT_EQ(text.substr(text.size() - strlen("INFO|newest line\n")), "INFO|newest line\n");

    // Bookkeeping follows the cut: further lines do not cut again at once.
    ASSERT_TRUE(log.Write(INFO, "after"));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_GT(st.st_size, GetParam().ceiling / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Ceilings, LogCutTest,
    ::testing::Values(CutCase{"Default", nullptr, 10485760},
                      CutCase{"Configured", "[LOG_CONF]\nMAXFILESIZE = 2097152\n", 2097152},
                      CutCase{"TooSmallIgnored", "[LOG_CONF]\nMAXFILESIZE=1000\n", 10485760}),
    [](const auto &info) { return std::string(info.param.name); });

struct LevelCase {
    const char *value;
    _LogLevel level;
};

class LogConfLevelTest : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LogConfLevelTest, ConfiguredLevelIsTheStartLevel) {
    TempRoot root;
    WriteFile(root.path() + "/log.conf",
              std::string("[log_conf]\nloglevel = ") + GetParam().value + "\n");
    MyLog log;
    ASSERT_TRUE(log.LoadConf(root.path() + "/log.conf"));
    EXPECT_EQ(log.ConfiguredLevel(), GetParam().level);
}

INSTANTIATE_TEST_SUITE_P(Values, LogConfLevelTest,
                         ::testing::Values(LevelCase{"debug", DEBUG}, LevelCase{"normal", INFO},
                                           LevelCase{"error", ERROR}, LevelCase{"DEBUG", INFO},
                                           LevelCase{"verbose", INFO}));

TEST(LogInit, ProcessWideLogOpensUnderRootAndRefusesSecondInit) {
    TempRoot root;
    vk_test::ScopedRootEnv env(root.path());
    ASSERT_EQ(MoxLogInit(), 0);
    EXPECT_EQ(MoxLogInit(), -3);
    MoxLogSetDebug(true);
    Singleton<MyLog>::Instance()->Write(DEBUG, "debug on");
    MoxLogSetDebug(false);
    Singleton<MyLog>::Instance()->Write(DEBUG, "debug off");
    MoxLogUninit();
    EXPECT_EQ(Singleton<MyLog>::Peek(), nullptr);
    std::string text = ReadFile(root.path() + "/var/log/veskkorvaned.log");
    EXPECT_NE(text.find("INFO|init log successfully\n"), std::string::npos);
    EXPECT_NE(text.find("DEBUG|debug on\n"), std::string::npos);
    EXPECT_EQ(text.find("debug off"), std::string::npos);
    EXPECT_NE(text.find("INFO|uninit log\n"), std::string::npos);
}

}  // namespace
