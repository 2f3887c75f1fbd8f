#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

// Whether `text` starts with "YYYY-MM-DD hh:mm:ss|" ('0' in the pattern
// stands for any digit).
bool StartsWithTimestamp(const std::string &text) {
    const std::string pattern = "0000-00-00 00:00:00|";
    if (text.size() < pattern.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (pattern[i] == '0' ? !digit : text[i] != pattern[i]) return false;
    }
    return true;
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
    EXPECT_TRUE(StartsWithTimestamp(text)) << text;
    std::string expect = Padded(getpid()) + Padded(syscall(SYS_gettid)) + "INFO|hello 42\n";
    EXPECT_EQ(text.substr(20), expect);
}

// The ids are kept between lines; a thread of its own and a fork's child
// still write theirs.
TEST_F(LogTest, HeaderIdsOfOtherThreadsAndOfAForkedChild) {
    ASSERT_TRUE(log.Open(path.c_str()));
    ASSERT_TRUE(log.Write(INFO, "parent"));
    long other_tid = 0;
    std::thread([&] {
        other_tid = syscall(SYS_gettid);
        log.Write(INFO, "thread");
    }).join();
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        bool ok =
            log.Write(INFO, "child") && log.Write(INFO, "child pid %d", static_cast<int>(getpid()));
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(log.Write(INFO, "parent again"));
    const std::string me = Padded(getpid()) + Padded(syscall(SYS_gettid));
    const std::string text = ReadFile(path);
    const std::string kid = Padded(child) + Padded(child);
    for (const std::string &line :
         {me + "INFO|parent\n", Padded(getpid()) + Padded(other_tid) + "INFO|thread\n",
          kid + "INFO|child\n", kid + "INFO|child pid " + std::to_string(child) + "\n",
          me + "INFO|parent again\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
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

// A message longer than the prefix buffer is not cut; its line feed is
// escaped, so it stays one line.
TEST_F(LogTest, LongAndMultiLineMessagesAreWrittenWhole) {
    ASSERT_TRUE(log.Open(path.c_str()));
    std::string big(5000, 'x');
    ASSERT_TRUE(log.Write(INFO, "%s\nsecond line", big.c_str()));
    std::string text = ReadFile(path);
    ASSERT_NE(text.find("|INFO|"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find("|INFO|") + 1), "INFO|" + big + "\\nsecond line\n");
}

// Messages are assembled on the stack up to a size and on the heap past
// it: each length around those edges comes out whole, escapes included.
TEST_F(LogTest, MessagesAroundTheBufferEdgesAreWhole) {
    ASSERT_TRUE(log.Open(path.c_str()));
    std::vector<size_t> lengths = {1, 1022, 1023, 1024, 1025, 1990, 2000, 2010, 2047, 2048, 4097};
    for (size_t n = 470; n < 500; ++n) lengths.push_back(n);  // where 4 bytes each still fit
    for (size_t n : lengths) {
        // A control byte at the end widens the escaped line past the
        // formatted message's length.
        const std::string message = std::string(n - 1, 'a') + "\x01";
        ASSERT_TRUE(log.Write(INFO, "%s", message.c_str())) << n;
        const std::string text = ReadFile(path);
        const std::string expect = "INFO|" + std::string(n - 1, 'a') + "\\x01\n";
        ASSERT_GE(text.size(), expect.size());
        EXPECT_EQ(text.substr(text.size() - expect.size()), expect) << n;
        ASSERT_EQ(truncate(path.c_str(), 0), 0);
    }
}

// The time field is that of the write, also when the clock has moved on to
// another second since the previous line.
TEST_F(LogTest, TimeFieldFollowsTheClock) {
    ASSERT_TRUE(log.Open(path.c_str()));
    const time_t before = time(nullptr);
    ASSERT_TRUE(log.Write(INFO, "tock"));
    while (time(nullptr) == before) usleep(1000);  // the next second
    ASSERT_TRUE(log.Write(INFO, "tick"));
    const time_t after = time(nullptr);
    const std::string text = ReadFile(path);
    const std::string last = text.substr(text.rfind('\n', text.size() - 2) + 1);
    bool matches = false;
    for (time_t t = before + 1; t <= after; ++t) {
        struct tm tmv;
        localtime_r(&t, &tmv);
        char expect[32];
        strftime(expect, sizeof(expect), "%Y-%m-%d %H:%M:%S|", &tmv);
        matches = matches || last.rfind(expect, 0) == 0;
    }
    EXPECT_TRUE(matches) << last;
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

// A link planted at the log's path is not followed: its target is left as
// it was and the log stays closed.
TEST_F(LogTest, OpenRefusesALinkAtThePath) {
    mkdir((root.path() + "/var").c_str(), 0755);
    mkdir((root.path() + "/var/log").c_str(), 0755);
    std::string victim = root.path() + "/victim";
    WriteFile(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    EXPECT_FALSE(log.Open(path.c_str()));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(log.IsOpen());
    EXPECT_FALSE(log.Write(ERROR, "into the victim"));
    EXPECT_EQ(ReadFile(victim), "precious\n");
}

// The log names every peer and uuid: only its owner may read it, whatever
// the umask (the daemon runs with umask 0). A file a former build left
// readable by all is narrowed when opened, and that is said once.
TEST(LogFileMode, PrivateWhateverTheUmask) {
    const struct {
        const char *what;
        mode_t umask;
        int existing;  // the file's mode before Open, -1 for none
        bool narrowed;
    } cases[] = {
        {"created under umask 0", 0, -1, false},
        {"created under umask 022", 022, -1, false},
        {"existing 0644 under umask 0", 0, 0644, true},
        {"existing 0666 under umask 022", 022, 0666, true},
        {"existing 0600", 022, 0600, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempRoot root;
        const std::string path = root.path() + "/var/log/test.log";
        if (c.existing >= 0) {
            ASSERT_EQ(system(("mkdir -p '" + root.path() + "/var/log'").c_str()), 0);
            WriteFile(path, "old line\n");
            ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(c.existing)), 0);
        }
        const mode_t old_mask = umask(c.umask);
        MyLog log;
        const bool opened = log.Open(path.c_str());
        umask(old_mask);
        ASSERT_TRUE(opened);

        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        const std::string line = "|INFO|log file " + path + " had mode 0" +
                                 (c.existing == 0666 ? "666" : "644") + ",narrowed to 0600\n";
        EXPECT_EQ(vk_test::Occurrences(ReadFile(path), line), c.narrowed ? 1u : 0u)
            << ReadFile(path);

        // Opened again (the next start): nothing more to narrow or say.
        log.Close();
        ASSERT_TRUE(log.Open(path.c_str()));
        EXPECT_EQ(vk_test::Occurrences(ReadFile(path), ",narrowed to "), c.narrowed ? 1u : 0u);
    }
}

TEST_F(LogTest, FileOpenedAnewAfterRemovalIsPrivate) {
    ASSERT_TRUE(log.Open(path.c_str()));
    const mode_t old_mask = umask(0);
    ASSERT_EQ(unlink(path.c_str()), 0);
    struct stat st;
    const bool back = vk_test::WaitFor([&] {
        log.Write(INFO, "after");
        return stat(path.c_str(), &st) == 0;
    });
    umask(old_mask);
    ASSERT_TRUE(back);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(LogTest, OpenFailsWhenDirectoryIsAFile) {
    WriteFile(root.path() + "/plain", "x");
    std::string bad = root.path() + "/plain/sub/test.log";
    EXPECT_FALSE(log.Open(bad.c_str()));
    EXPECT_FALSE(log.IsOpen());
}

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
                                           LevelCase{"verbose", INFO},
                                           LevelCase{"debug ; as the README shows it", DEBUG},
                                           LevelCase{"error\t# quiet", ERROR}));

// A level the log does not know keeps the level and says so once the log
// is open, as a bad ceiling does.
TEST(LogConfLevel, UnknownLevelIsReported) {
    TempRoot root;
    std::string conf = root.path() + "/log.conf";
    std::string path = root.path() + "/level.log";
    WriteFile(conf, "[LOG_CONF]\nLOGLEVEL = verbose ; louder\nMAXFILESIZE = 2M\n");
    MyLog log;
    ASSERT_TRUE(log.LoadConf(conf));
    EXPECT_EQ(log.ConfiguredLevel(), INFO);
    ASSERT_TRUE(log.Open(path.c_str()));
    std::string text = ReadFile(path);
    EXPECT_EQ(vk_test::Occurrences(text, "|ERROR|ignored LOGLEVEL = verbose in " + conf +
                                             ": not debug, normal or error; the level stays "
                                             "normal\n"),
              1u)
        << text;
    EXPECT_EQ(vk_test::Occurrences(text, "|ERROR|ignored MAXFILESIZE = 2M in "), 1u) << text;
}

// /etc/korvane/log.conf, as a package ships it, is read before the file
// beside the executable.
TEST(LogConfFile, EtcFileSetsTheDaemonsLevel) {
    TempRoot root;
    ASSERT_EQ(mkdir(root.Under("/etc").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(root.Under("/etc/korvane").c_str(), 0755), 0);
    WriteFile(root.Under("/etc/korvane/log.conf"),
              "[LOG_CONF]\nLOGLEVEL = debug        ; debug, normal or error\n");
    vk_test::DaemonProcess daemon(root.path());
    ASSERT_TRUE(daemon.WaitListening());
    korvane::Client c = vk_test::TryOutClient();
    ASSERT_TRUE(c.Connect("@" + root.path() + "/tmp/.zelluskkorvanefui")) << c.error();
    ASSERT_TRUE(c.SendRequest("ui", 1, 1004));
    ASSERT_TRUE(c.ReadMessage(5000).has_value());
    EXPECT_TRUE(daemon.WaitLog("|DEBUG|handle GetFuiConf packet,respones: "));
}

// MAXFILESIZE: decimal bytes from 1 MiB to 1 GiB. Anything else keeps the
// ceiling and is reported once, as soon as the log is open.
struct SizeCase {
    const char *name;
    const char *value;   // as written after "MAXFILESIZE = "
    long long ceiling;   // the ceiling afterwards
    const char *logged;  // the value as the complaint shows it; null for none
};

void PrintTo(const SizeCase &c, std::ostream *os) {
    *os << c.name;
}

class LogConfSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(LogConfSizeTest, RangeCheckedAndReported) {
    const SizeCase &c = GetParam();
    TempRoot root;
    std::string conf = root.path() + "/log.conf";
    std::string path = root.path() + "/size.log";
    WriteFile(conf, std::string("[LOG_CONF]\nMAXFILESIZE = ") + c.value + "\n");
    MyLog log;
    ASSERT_TRUE(log.LoadConf(conf));
    EXPECT_EQ(log.Ceiling(), c.ceiling);
    EXPECT_EQ(ReadFile(path), "") << "nothing is written before the log is open";

    ASSERT_TRUE(log.Open(path.c_str()));
    log.Close();
    ASSERT_TRUE(log.Open(path.c_str()));
    std::string text = ReadFile(path);
    if (c.logged == nullptr) {
        EXPECT_EQ(text, "");
        return;
    }
    std::string line = std::string("|ERROR|ignored MAXFILESIZE = ") + c.logged + " in " + conf +
                       ": not a number of bytes from 1048576 to 1073741824; the ceiling stays "
                       "10485760\n";
    EXPECT_EQ(vk_test::Occurrences(text, line), 1u) << text;
    EXPECT_EQ(vk_test::Occurrences(text, "\n"), 1u) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Values, LogConfSizeTest,
    ::testing::Values(SizeCase{"TwoMiB", "2097152", 2097152, nullptr},
                      SizeCase{"Smallest", "1048576", 1048576, nullptr},
                      SizeCase{"Largest", "1073741824", 1073741824, nullptr},
                      SizeCase{"LeadingZeros", "0002097152", 2097152, nullptr},
                      SizeCase{"Empty", "", 10485760, nullptr},
                      SizeCase{"BelowSmallest", "1048575", 10485760, "1048575"},
                      SizeCase{"AboveLargest", "1073741825", 10485760, "1073741825"},
                      SizeCase{"ThreeGB", "3000000000", 10485760, "3000000000"},
                      SizeCase{"WrapsToTwoMiB", "4297064448", 10485760, "4297064448"},
                      SizeCase{"Overflow", "99999999999999999999999", 10485760,
                               "99999999999999999999999"},
                      SizeCase{"Negative", "-2097152", 10485760, "-2097152"},
                      SizeCase{"Plus", "+2097152", 10485760, "+2097152"},
                      SizeCase{"TrailingGarbage", "2097152abc", 10485760, "2097152abc"},
                      SizeCase{"Suffix", "2M", 10485760, "2M"},
                      SizeCase{"Hex", "0x200000", 10485760, "0x200000"},
                      SizeCase{"Tab", "\t", 10485760, "\\t"},
                      SizeCase{"Comment", "2097152 ; two MiB", 2097152, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

// Seen by a log while it is destroyed: what a signal handler would find
// through the process-wide pointer at that moment.
class WatchedLog : public MyLog {
public:
    static MyLog *seen;
    ~WatchedLog() override { seen = Singleton<MyLog>::Peek(); }
};
MyLog *WatchedLog::seen = nullptr;

TEST(LogInit, TeardownClearsThePointerBeforeTheLogGoes) {
    TempRoot root;
    vk_test::ScopedRootEnv env(root.path());
    ASSERT_EQ(Singleton<MyLog>::Peek(), nullptr);
    WatchedLog *log = new WatchedLog;
    Singleton<MyLog>::Reset(log);
    ASSERT_EQ(MoxLogInit(), 0);
    WatchedLog::seen = log;
    MoxLogUninit();
    EXPECT_EQ(WatchedLog::seen, nullptr) << "the pointer still led to the dying log";
    EXPECT_EQ(Singleton<MyLog>::Peek(), nullptr);
    MoxLogSetDebugNoAlloc(true);  // with no log, nothing to do and nothing created
    EXPECT_EQ(Singleton<MyLog>::Peek(), nullptr);
}

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
