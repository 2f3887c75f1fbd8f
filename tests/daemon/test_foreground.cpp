// The real binary in the foreground under a temporary root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/daemon_process.h"
#include "support/temp_root.h"

using vk_test::DaemonProcess;
using vk_test::ReadFile;
using vk_test::TempRoot;

namespace {

// The set of ignored signals of a process, from /proc.
unsigned long long IgnoredSignals(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("SigIgn:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

bool Ignored(unsigned long long mask, int sig) { return (mask >> (sig - 1)) & 1; }

TEST(Foreground, WritesLockedPidFileAndLogsStart) {
    TempRoot root;
    DaemonProcess d(root.path());
    ASSERT_TRUE(d.WaitLog("net-core run loop"));

    std::string pidfile = root.Under("/var/run/veskkorvaned.pid");
    EXPECT_EQ(ReadFile(pidfile), std::to_string(d.pid())) << "the id alone, no newline";
    int fd = open(pidfile.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0) << "the running daemon holds the lock";
    close(fd);

    std::string log = d.Log();
    EXPECT_NE(log.find("|INFO|init log successfully\n"), std::string::npos);
    EXPECT_NE(log.find("|INFO|veskkorvaned build at "), std::string::npos);
}

TEST(Foreground, SecondInstanceExitsAtOnceAndLogsNothing) {
    TempRoot root;
    DaemonProcess first(root.path());
    ASSERT_TRUE(first.WaitLog("net-core run loop"));
    std::string before = first.Log();

    DaemonProcess second(root.path());
    int status = -1;
    ASSERT_TRUE(second.WaitExit(&status));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(first.Log(), before);
    EXPECT_EQ(ReadFile(root.Under("/var/run/veskkorvaned.pid")), std::to_string(first.pid()));
    EXPECT_TRUE(first.Running());
}

TEST(Foreground, HupContPipeAreIgnored) {
    TempRoot root;
    DaemonProcess d(root.path());
    ASSERT_TRUE(d.WaitLog("net-core run loop"));
    unsigned long long ign = IgnoredSignals(d.pid());
    EXPECT_TRUE(Ignored(ign, SIGHUP));
    EXPECT_TRUE(Ignored(ign, SIGCONT));
    EXPECT_TRUE(Ignored(ign, SIGPIPE));
    EXPECT_FALSE(Ignored(ign, SIGTERM));

    for (int sig : {SIGHUP, SIGCONT, SIGPIPE}) ASSERT_TRUE(d.Signal(sig));
    // A stop afterwards must still find it running and end it in order.
    EXPECT_TRUE(d.WaitListening());
    EXPECT_TRUE(d.Running());
    int status = d.Stop();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(d.Log().find("veskkorvaned exit!"), std::string::npos);
}

TEST(Foreground, SigtermEndsPromptlyWithStatusZero) {
    TempRoot root;
    DaemonProcess d(root.path());
    ASSERT_TRUE(d.WaitLog("net-core run loop"));
    ASSERT_TRUE(d.Signal(SIGTERM));
    int status = -1;
    ASSERT_TRUE(d.WaitExit(&status, 5000));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = d.Log();
    size_t uninit = log.find("|INFO|net-core uninit\n");
    size_t exit_line = log.find("|INFO|veskkorvaned exit!\n");
    ASSERT_NE(uninit, std::string::npos);
    ASSERT_NE(exit_line, std::string::npos);
    EXPECT_LT(uninit, exit_line);
    EXPECT_NE(log.find("|INFO|uninit log\n"), std::string::npos);
    // In the foreground nothing removes the PID file.
    EXPECT_TRUE(vk_test::FileExists(root.Under("/var/run/veskkorvaned.pid")));
}

TEST(Foreground, SigintEndsLikeSigterm) {
    TempRoot root;
    DaemonProcess d(root.path());
    ASSERT_TRUE(d.WaitLog("net-core run loop"));
    ASSERT_TRUE(d.Signal(SIGINT));
    int status = -1;
    ASSERT_TRUE(d.WaitExit(&status, 5000));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(d.Log().find("veskkorvaned exit!"), std::string::npos);
}

}  // namespace
