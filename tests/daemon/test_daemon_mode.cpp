// Daemon mode through the real binary, copied to a directory whose name has
// a space and shell characters. This test process makes itself a subreaper,
// so the detached processes become its children: it can reap them, and a
// farewell that signalled the worker's new parent would kill the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>

#include <SQLiteCpp/SQLiteCpp.h>

#include <vector>

#include "client/korvane_client.h"
#include "daemon/monitor.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using vk_test::ReadFile;
using vk_test::WaitFor;

namespace {

std::string Readlink(const std::string &path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf));
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

char ProcState(pid_t pid, pid_t *ppid = nullptr) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size()) return '?';
    if (ppid) *ppid = static_cast<pid_t>(atol(stat.c_str() + close + 4));
    return stat[close + 2];
}

// True once `pid` has ended (reaped here when it is our child).
bool Gone(pid_t pid) {
    waitpid(pid, nullptr, WNOHANG);
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    return ProcState(pid) == 'Z';
}

// Waits for `pid` to end and returns its wait status (-1 when it does not).
// Only a child can be waited for: the worker becomes this subreaper's once
// its supervisor is gone.
int ExitStatusOf(pid_t pid) {
    int status = -1;
    bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    return ended ? status : -1;
}

// The ids in every "<prefix><id>]" of a log, in order.
std::vector<pid_t> IdsAfter(const std::string &log, const std::string &prefix) {
    std::vector<pid_t> ids;
    for (size_t p = log.find(prefix); p != std::string::npos; p = log.find(prefix, p + 1))
        ids.push_back(static_cast<pid_t>(atol(log.c_str() + p + prefix.size())));
    return ids;
}

class DaemonModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        dir_ = root_.path() + "/opt/vk dir $(touch pwned);'q'";
        ASSERT_EQ(system(("mkdir -p \"" + Escaped(dir_) + "\"").c_str()), 0);
        exe_ = dir_ + "/veskkorvaned";
        std::ifstream in(VK_DAEMON_PATH, std::ios::binary);
        std::ofstream out(exe_, std::ios::binary);
        out << in.rdbuf();
        out.close();
        ASSERT_EQ(chmod(exe_.c_str(), 0755), 0);
    }

    void TearDown() override {
        for (pid_t p : seen_) kill(p, SIGKILL);
        for (pid_t p : seen_) WaitFor([&] { return Gone(p); }, 5000);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        EXPECT_FALSE(vk_test::FileExists(dir_ + "/pwned")) << "a shell ran the program path";
    }

    static std::string Escaped(const std::string &s) {
        std::string out;
        for (char c : s) {
            if (c == '"' || c == '$' || c == '\\' || c == '`') out += '\\';
            out += c;
        }
        return out;
    }

    // Starts the program without arguments; returns its exit status.
    int StartDetached() {
        pid_t pid = fork();
        if (pid == 0) {
            setenv("VESKKORVANED_ROOT", root_.path().c_str(), 1);
            execl(exe_.c_str(), exe_.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        return status;
    }

    pid_t PidIn(const char *file) {
        std::string text = ReadFile(root_.path() + file);
        pid_t pid = text.empty() ? 0 : static_cast<pid_t>(atol(text.c_str()));
        if (pid > 0) seen_.insert(pid);
        return pid;
    }

    // Waits for a running pair other than `old_worker`; both ids out.
    bool WaitPair(pid_t *sup, pid_t *wrk, pid_t old_worker = 0) {
        return WaitFor([&] {
            *sup = PidIn("/var/run/veskkorvaned_monitor.pid");
            *wrk = PidIn("/var/run/veskkorvaned.pid");
            if (*sup <= 0 || *wrk <= 0 || *wrk == old_worker) return false;
            pid_t ppid = 0;
            return ProcState(*wrk, &ppid) != '?' && ppid == *sup && Served();
        });
    }

    bool Served() {
        korvane::Client c = vk_test::TryOutClient();
        if (!c.Connect("@" + root_.path() + "/tmp/.zelluskkorvanefui")) return false;
        if (!c.SendRequest("nobody", 1, 1004)) return false;
        auto m = c.ReadMessage(2000);
        return m && m->has_result && m->result == 100;
    }

    std::string MonitorLog() {
        return ReadFile(root_.path() + "/var/log/veskkorvaned_monitor.log");
    }

    vk_test::TempRoot root_;
    std::string dir_, exe_;
    std::set<pid_t> seen_;
};

TEST_F(DaemonModeTest, StartDetachesIntoSupervisorAndWorker) {
    int status = StartDetached();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    pid_t sup = 0, wrk = 0;
    ASSERT_TRUE(WaitPair(&sup, &wrk));

    std::string proc = "/proc/" + std::to_string(wrk);
    for (int fd = 0; fd < 3; ++fd)
        EXPECT_EQ(Readlink(proc + "/fd/" + std::to_string(fd)), "/dev/null");
    EXPECT_EQ(Readlink(proc + "/cwd"), dir_);
    EXPECT_NE(ReadFile(proc + "/status").find("Umask:\t0000"), std::string::npos);
    std::string log = MonitorLog();
    EXPECT_NE(log.find("|INFO|parent process start[" + std::to_string(sup) + "]\n"),
              std::string::npos);
    EXPECT_NE(log.find("|INFO|child process start[" + std::to_string(wrk) + "]\n"),
              std::string::npos);
}

TEST_F(DaemonModeTest, KilledWorkerIsReplacedByAFreshPair) {
    ASSERT_EQ(StartDetached(), 0);
    pid_t sup = 0, wrk = 0;
    ASSERT_TRUE(WaitPair(&sup, &wrk));
    ASSERT_EQ(kill(wrk, SIGKILL), 0);

    pid_t sup2 = 0, wrk2 = 0;
    ASSERT_TRUE(WaitPair(&sup2, &wrk2, wrk));
    EXPECT_NE(sup2, sup);
    EXPECT_TRUE(WaitFor([&] { return Gone(sup); }));
    EXPECT_NE(
        MonitorLog().find("|INFO|process[" + std::to_string(wrk) + "] termination by signal 9\n"),
        std::string::npos);
}

TEST_F(DaemonModeTest, SigtermToWorkerEndsBothAndRemovesPidFiles) {
    ASSERT_EQ(StartDetached(), 0);
    pid_t sup = 0, wrk = 0;
    ASSERT_TRUE(WaitPair(&sup, &wrk));
    ASSERT_EQ(kill(wrk, SIGTERM), 0);
    EXPECT_TRUE(WaitFor([&] { return Gone(wrk) && Gone(sup); }));
    EXPECT_FALSE(vk_test::FileExists(root_.path() + "/var/run/veskkorvaned.pid"));
    EXPECT_FALSE(vk_test::FileExists(root_.path() + "/var/run/veskkorvaned_monitor.pid"));
    EXPECT_EQ(MonitorLog().find("termination by"), std::string::npos) << "nothing was restarted";
}

// The worker ends its supervisor while its log is still open: the lines
// that say so are in it.
TEST_F(DaemonModeTest, StoppingTheSupervisorIsLogged) {
    ASSERT_EQ(StartDetached(), 0);
    pid_t sup = 0, wrk = 0;
    ASSERT_TRUE(WaitPair(&sup, &wrk));
    ASSERT_EQ(kill(wrk, SIGTERM), 0);
    EXPECT_TRUE(WaitFor([&] { return Gone(wrk) && Gone(sup); }));
    std::string log = ReadFile(root_.path() + "/var/log/veskkorvaned.log");
    const std::string line = "|INFO|stop parent process [" + std::to_string(sup) + "] success\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_LT(log.find("veskkorvaned exit!"), log.find(line));
}

// A worker that dies soon after its start is restarted at once the first
// time, then after 1 s, 2 s...; one that lived long enough resets that.
TEST_F(DaemonModeTest, CrashLoopWaitsLongerEachTime) {
    ASSERT_EQ(StartDetached(), 0);
    pid_t sup = 0, wrk = 0, old = 0;
    ASSERT_TRUE(WaitPair(&sup, &wrk));
    for (int i = 0; i < 3; ++i) {
        old = wrk;
        ASSERT_EQ(kill(wrk, SIGKILL), 0);
        ASSERT_TRUE(WaitPair(&sup, &wrk, old));
    }
    std::string log = MonitorLog();
    std::vector<std::string> waits;
    for (size_t p = log.find(",waiting "); p != std::string::npos; p = log.find(",waiting ", p + 1))
        waits.push_back(log.substr(p + 9, log.find(' ', p + 9) - p - 9));
    EXPECT_EQ(waits, (std::vector<std::string>{"1", "2"})) << log;
    EXPECT_NE(log.find(" s,3 quick exits in a row,waiting 2 s before starting it again"),
              std::string::npos)
        << log;

    // Past the quick-exit time the count starts again: restarted at once.
    const auto born = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor(
        [&] {
            return std::chrono::steady_clock::now() - born >
                   std::chrono::seconds(CSimpleMonitor::kQuickExitSeconds + 1);
        },
        (CSimpleMonitor::kQuickExitSeconds + 5) * 1000));
    old = wrk;
    ASSERT_EQ(kill(wrk, SIGKILL), 0);
    ASSERT_TRUE(WaitPair(&sup, &wrk, old));
    EXPECT_EQ(vk_test::Occurrences(MonitorLog(), ",waiting "), 2u);
}

TEST(RestartWait, DoublesFromOneSecondUpToAMinute) {
    const std::pair<int, int> cases[] = {{0, 0},  {1, 0},  {2, 1},  {3, 2},  {4, 4},
                                         {7, 32}, {8, 60}, {9, 60}, {64, 60}};
    for (const auto &c : cases)
        EXPECT_EQ(CSimpleMonitor::RestartWaitSeconds(c.first), c.second) << c.first;
}

TEST_F(DaemonModeTest, SecondStartEndsQuietlyAndLeavesThePairAlone) {
    ASSERT_EQ(StartDetached(), 0);
    pid_t sup = 0, wrk = 0;
    ASSERT_TRUE(WaitPair(&sup, &wrk));
    int status = StartDetached();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(WaitFor(
        [&] { return MonitorLog().find("|INFO|the instance lock ") != std::string::npos; }));
    EXPECT_EQ(PidIn("/var/run/veskkorvaned_monitor.pid"), sup);
    EXPECT_EQ(PidIn("/var/run/veskkorvaned.pid"), wrk);
    EXPECT_FALSE(Gone(sup));
    EXPECT_FALSE(Gone(wrk));
    EXPECT_TRUE(Served());
}

TEST_F(DaemonModeTest, WorkerThatCannotOpenItsStoreStopsItsSupervisor) {
    ASSERT_EQ(mkdir((root_.path() + "/etc").c_str(), 0755), 0);
    vk_test::WriteFile(root_.path() + "/etc/korvane", "not a directory");
    ASSERT_EQ(StartDetached(), 0);
    ASSERT_TRUE(WaitFor([&] {
        return ReadFile(root_.path() + "/var/log/veskkorvaned.log").find("init db failed") !=
               std::string::npos;
    }));
    ASSERT_TRUE(
        WaitFor([&] { return MonitorLog().find("child process start[") != std::string::npos; }));
    std::string log = MonitorLog();
    pid_t sup = static_cast<pid_t>(atol(log.c_str() + log.find("parent process start[") + 21));
    pid_t wrk = static_cast<pid_t>(atol(log.c_str() + log.find("child process start[") + 20));
    seen_.insert(sup);
    seen_.insert(wrk);
    int status = ExitStatusOf(wrk);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 66) << "a failed start is not a success";
    EXPECT_TRUE(WaitFor([&] { return Gone(sup) && Gone(wrk); }));
    EXPECT_FALSE(vk_test::FileExists(root_.path() + "/var/run/veskkorvaned_monitor.pid"));
    log = MonitorLog();
    EXPECT_EQ(log.find("parent process start["), log.rfind("parent process start["))
        << "no restart loop";
}

// The systemd unit runs the daemon in the foreground; a start without
// arguments beside it must end quietly and leave that instance's PID file,
// so that the next start still sees it and ends too.
TEST_F(DaemonModeTest, StartsBesideAForegroundInstanceLeaveItsPidFile) {
    vk_test::DaemonProcess fg(root_.path(), {"--foreground"}, exe_);
    ASSERT_TRUE(fg.WaitListening());
    std::string pidfile = root_.path() + "/var/run/veskkorvaned.pid";
    for (size_t start = 1; start <= 2; ++start) {
        SCOPED_TRACE("start without arguments #" + std::to_string(start));
        ASSERT_EQ(StartDetached(), 0);
        std::vector<pid_t> sups, wrks;
        ASSERT_TRUE(WaitFor([&] {
            std::string log = MonitorLog();
            sups = IdsAfter(log, "parent process start[");
            wrks = IdsAfter(log, "child process start[");
            return sups.size() == start && wrks.size() == start;
        }));
        pid_t sup = sups.back(), wrk = wrks.back();
        seen_.insert(sup);
        seen_.insert(wrk);
        int status = ExitStatusOf(wrk);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "another instance runs: a quiet end";
        EXPECT_TRUE(WaitFor([&] { return Gone(sup); })) << "the worker ends its supervisor";

        EXPECT_EQ(ReadFile(pidfile), std::to_string(fg.pid()));
        int fd = open(pidfile.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << "the running instance's PID file was removed";
        EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0) << "and it is still held";
        close(fd);
        EXPECT_FALSE(vk_test::FileExists(root_.path() + "/var/run/veskkorvaned_monitor.pid"));
        EXPECT_TRUE(fg.Running());
    }
    EXPECT_TRUE(Served());
    EXPECT_EQ(MonitorLog().find("termination by"), std::string::npos) << "nothing restarted";
}

// A symbolic link at the supervisor's PID path is not followed: nothing
// starts, the link's target is untouched, and the detached process says so
// in the supervisor's log and ends with the PID-file status.
TEST_F(DaemonModeTest, SymlinkAtSupervisorPidPathIsNotFollowed) {
    std::string victim = root_.path() + "/victim";
    vk_test::WriteFile(victim, "precious");
    ASSERT_EQ(mkdir((root_.path() + "/var").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_.path() + "/var/run").c_str(), 0755), 0);
    std::string link = root_.path() + "/var/run/veskkorvaned_monitor.pid";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);

    ASSERT_EQ(StartDetached(), 0);
    // The detached process is this subreaper's child once its parents left.
    bool failed = WaitFor([&] {
        int status = 0;
        pid_t r = waitpid(-1, &status, WNOHANG);
        return r > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 73;
    });
    std::string log = MonitorLog();
    for (const char *started : {"parent process start[", "child process start["})
        for (pid_t p : IdsAfter(log, started)) seen_.insert(p);  // ended in TearDown
    EXPECT_TRUE(failed);
    EXPECT_NE(MonitorLog().find("|ERROR|failed to write pid file " + link + ",because: "),
              std::string::npos)
        << MonitorLog();
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_EQ(MonitorLog().find("parent process start["), std::string::npos);
    EXPECT_FALSE(vk_test::FileExists(root_.path() + "/var/run/veskkorvaned.pid"));
}

TEST_F(DaemonModeTest, SupervisorKilledFirstThenWorkerStoppedSignalsNobodyElse) {
    ASSERT_EQ(StartDetached(), 0);
    pid_t sup = 0, wrk = 0;
    ASSERT_TRUE(WaitPair(&sup, &wrk));
    ASSERT_EQ(kill(sup, SIGKILL), 0);
    ASSERT_TRUE(WaitFor([&] { return Gone(sup); }));
    pid_t ppid = 0;
    ASSERT_TRUE(WaitFor([&] { return ProcState(wrk, &ppid) != '?' && ppid == getpid(); }))
        << "the worker is handed to this subreaper";

    ASSERT_EQ(kill(wrk, SIGTERM), 0);
    EXPECT_TRUE(WaitFor([&] { return Gone(wrk); }));
    // Still here: the worker's farewell did not signal its new parent.
    EXPECT_FALSE(vk_test::FileExists(root_.path() + "/var/run/veskkorvaned.pid"));
    EXPECT_FALSE(vk_test::FileExists(root_.path() + "/var/run/veskkorvaned_monitor.pid"));
}

// Every write acknowledged survives the worker being killed at any moment:
// rounds of registrations of products stored beside the active one
// (answered 501, each a row of its own), the worker killed with a request
// in flight, the supervisor's fresh copy checked row by row.
TEST_F(DaemonModeTest, AcknowledgedWritesSurviveAKilledWorker) {
    ASSERT_EQ(StartDetached(), 0);
    pid_t sup = 0, wrk = 0;
    ASSERT_TRUE(WaitPair(&sup, &wrk));
    std::vector<std::string> acked;
    const int rounds = 2, per_round = 150;
    for (int round = 0; round < rounds; ++round) {
        korvane::Client c = vk_test::TryOutClient();
        ASSERT_TRUE(c.Connect("@" + root_.path() + "/tmp/.zelluskkorvane")) << c.error();
        ASSERT_TRUE(c.SendRequest("active", 1, 2000, std::string(R"({"name":"A","exec":"/a"})")));
        ASSERT_TRUE(c.ReadMessage(5000));
        for (int i = 0; i < per_round; ++i) {
            std::string uuid = "w-" + std::to_string(round) + "-" + std::to_string(i);
            ASSERT_TRUE(c.SendRequest(uuid, static_cast<uint64_t>(i), 2000,
                                      std::string(R"({"name":"W","exec":"/w"})")));
            auto m = c.ReadMessage(5000);
            ASSERT_TRUE(m && m->has_result) << c.error();
            if (m->result == 501) acked.push_back(uuid);
        }
        // One more in flight while the worker dies.
        c.SendRequest("in-flight", 9999, 2000, std::string(R"({"name":"W","exec":"/w"})"));
        ASSERT_EQ(kill(wrk, SIGKILL), 0);
        pid_t old = wrk;
        ASSERT_TRUE(WaitPair(&sup, &wrk, old));
    }
    ASSERT_EQ(acked.size(), static_cast<size_t>(rounds * per_round));
    SQLite::Database db(root_.path() + "/etc/korvane/korvaned.db", SQLite::OPEN_READONLY);
    SQLite::Statement q(db, "select count(*) from t_secsoft where uuid=?");
    for (const std::string &uuid : acked) {
        q.reset();
        q.bind(1, uuid);
        ASSERT_TRUE(q.executeStep());
        EXPECT_EQ(q.getColumn(0).getInt(), 1) << uuid << " was acknowledged but is not stored";
    }
}

}  // namespace
