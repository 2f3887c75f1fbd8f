// The real binary in the foreground under a temporary root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "client/korvane_client.h"
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

bool Ignored(unsigned long long mask, int sig) {
    return (mask >> (sig - 1)) & 1;
}

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

TEST(Foreground, UnopenableDatabaseEndsStartupCleanly) {
    TempRoot root;
    // A plain file where the database directory should be.
    ASSERT_EQ(mkdir(root.Under("/etc").c_str(), 0755), 0);
    vk_test::WriteFile(root.Under("/etc/korvane"), "not a directory");
    DaemonProcess d(root.path());
    int status = -1;
    ASSERT_TRUE(d.WaitExit(&status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = d.Log();
    EXPECT_NE(log.find("|ERROR|init db failed\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("net-core init ok"), std::string::npos);
    EXPECT_NE(log.find("|INFO|uninit log\n"), std::string::npos);
}

// Sends front-UI registrations without a body under fresh uuids until the
// daemon's DEBUG line for one of them shows (or not, as `want_debug` asks).
bool ProbeDebug(DaemonProcess &d, korvane::Client &c, int &seq, bool want_debug) {
    return vk_test::WaitFor([&] {
        std::string uuid = "probe-" + std::to_string(++seq);
        if (!c.SendRequest(uuid, static_cast<uint64_t>(seq), 1000)) return false;
        if (!c.ReadMessage(5000)) return false;
        bool logged = d.Log().find("DEBUG|handle frontUI register,type: 1000,uuid: " + uuid +
                                   "\n") != std::string::npos;
        return logged == want_debug;
    });
}

TEST(Foreground, SigusrOneTogglesDebug) {
    TempRoot root;
    DaemonProcess d(root.path());
    ASSERT_TRUE(d.WaitListening());
    korvane::Client c;
    ASSERT_TRUE(c.Connect("@" + root.path() + "/tmp/.zelluskkorvanefui")) << c.error();
    int seq = 0;
    EXPECT_TRUE(ProbeDebug(d, c, seq, false));
    ASSERT_TRUE(d.Signal(SIGUSR1));
    EXPECT_TRUE(ProbeDebug(d, c, seq, true));
    ASSERT_TRUE(d.Signal(SIGUSR1));
    EXPECT_TRUE(ProbeDebug(d, c, seq, false));
}

}  // namespace
