// The real binary in the foreground under a temporary root.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/utils.h"
#include "client/korvane_client.h"
#include "daemon/run_to_end.h"
#include "net/ae/anet.h"
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
    EXPECT_FALSE(vk_test::FileExists(root.Under("/var/run/veskkorvaned.pid")))
        << "an orderly stop removes the PID file it holds";
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
    EXPECT_FALSE(vk_test::FileExists(root.Under("/var/run/veskkorvaned.pid")));
}

// A file put in the PID file's place while the daemon ran is not the one it
// holds: the stop leaves it alone.
TEST(Foreground, StopLeavesAPidFileThatIsNotItsOwn) {
    TempRoot root;
    DaemonProcess d(root.path());
    ASSERT_TRUE(d.WaitLog("net-core run loop"));
    const std::string pidfile = root.Under("/var/run/veskkorvaned.pid");
    ASSERT_EQ(unlink(pidfile.c_str()), 0);
    vk_test::WriteFile(pidfile, "4242");
    int status = d.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile(pidfile), "4242");
    EXPECT_EQ(d.Log().find("delete pid file"), std::string::npos) << d.Log();
}

// A start that cannot serve ends with its own non-zero status and says on
// standard error what failed, so that a service manager, a script or a
// package test sees it. Each case breaks one thing under a fresh root.
struct StartFailure {
    const char *label;
    // Breaks the root; returns a descriptor to hold during the run, or -1.
    std::function<int(const TempRoot &)> breakRoot;
    int status;
    const char *stderrText;
    // The log's ERROR line, or null where the log is never opened.
    const char *logLine;
};

// Listens on the abstract name the daemon wants, so that its bind fails.
int TakeSocket(const TempRoot &root, const char *name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un sa;
    socklen_t len = anetUnixAddress(nullptr, ("@" + root.path() + name).c_str(), &sa);
    if (fd < 0 || len == 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&sa), len) != 0 ||
        listen(fd, 1) != 0) {
        ADD_FAILURE() << "cannot take " << name;
    }
    return fd;
}

int MakeDirs(const TempRoot &root, const char *dir) {
    EXPECT_TRUE(Utils::make_dirs(root.Under(dir))) << dir;
    return -1;
}

void PrintTo(const StartFailure &c, std::ostream *os) {
    *os << c.label;
}

class ForegroundStartFailure : public ::testing::TestWithParam<StartFailure> {};

TEST_P(ForegroundStartFailure, EndsWithItsStatusAndSaysWhy) {
    const StartFailure &c = GetParam();
    TempRoot root;
    int held = c.breakRoot(root);
    vk_test::Finished f = vk_test::RunToEnd(root.path(), {"--foreground"}, 5000);
    if (held >= 0) close(held);

    ASSERT_TRUE(f.ended) << "still running: " << c.label;
    ASSERT_TRUE(WIFEXITED(f.status));
    EXPECT_EQ(WEXITSTATUS(f.status), c.status);
    EXPECT_NE(f.err.find(c.stderrText), std::string::npos) << f.err;
    EXPECT_EQ(f.out, "");
    std::string log = ReadFile(root.Under("/var/log/veskkorvaned.log"));
    if (c.logLine == nullptr) return;
    EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
    EXPECT_EQ(log.find("net-core init ok"), std::string::npos);
    EXPECT_EQ(log.find("veskkorvaned exit!"), std::string::npos);
    EXPECT_NE(log.find("|INFO|uninit log\n"), std::string::npos);
    // Where to look: the log's path.
    EXPECT_NE(f.err.find(root.Under("/var/log/veskkorvaned.log")), std::string::npos) << f.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForegroundStartFailure,
    ::testing::Values(
        StartFailure{"log",
                     [](const TempRoot &r) {
                         MakeDirs(r, "/var");
                         vk_test::WriteFile(r.Under("/var/log"), "not a directory");
                         return -1;
                     },
                     74, "failed to init log\n", nullptr},
        StartFailure{"database",
                     [](const TempRoot &r) {
                         MakeDirs(r, "/etc");
                         vk_test::WriteFile(r.Under("/etc/korvane"), "not a directory");
                         return -1;
                     },
                     66, "cannot open the database", "|ERROR|init db failed\n"},
        StartFailure{
            "database_unreadable_and_not_set_aside",
            [](const TempRoot &r) {
                // Random bytes, and every name it could be set aside
                // under in the next minute taken by a directory that
                // is not empty: the rename fails.
                MakeDirs(r, "/etc/korvane");
                std::string junk(4096, '\0');
                for (size_t i = 0; i < junk.size(); ++i)
                    junk[i] = static_cast<char>((i * 131 + 7) % 251);
                vk_test::WriteFile(r.Under("/etc/korvane/korvaned.db"), junk);
                chmod(r.Under("/etc/korvane/korvaned.db").c_str(), 0600);
                const long now = static_cast<long>(time(nullptr));
                for (long t = now; t < now + 60; ++t) {
                    std::string aside = "/etc/korvane/korvaned.db.corrupt-" + std::to_string(t);
                    MakeDirs(r, aside.c_str());
                    vk_test::WriteFile(r.Under(aside + "/kept"), "");
                }
                return -1;
            },
            66, "cannot open the database", " cannot be read by SQLite and cannot be renamed to "},
        StartFailure{"secsoft_socket_taken",
                     [](const TempRoot &r) { return TakeSocket(r, "/tmp/.zelluskkorvane"); }, 69,
                     "cannot listen on", "|ERROR|create unix-server: "},
        StartFailure{"fui_socket_taken",
                     [](const TempRoot &r) { return TakeSocket(r, "/tmp/.zelluskkorvanefui"); }, 69,
                     "cannot listen on", "|ERROR|create fui-listener failed: "},
        StartFailure{"pid_file_not_a_file",
                     [](const TempRoot &r) { return MakeDirs(r, "/var/run/veskkorvaned.pid"); }, 73,
                     "cannot write the PID file", nullptr}),
    [](const auto &info) { return std::string(info.param.label); });

// A symbolic link planted at the PID file's path is not followed: its
// target keeps its content and mode, and the start fails before the log.
TEST(Foreground, SymlinkAtPidPathIsNotFollowed) {
    TempRoot root;
    ASSERT_TRUE(Utils::make_dirs(root.Under("/var/run")));
    std::string victim = root.Under("/victim");
    vk_test::WriteFile(victim, "precious\n");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    std::string pidfile = root.Under("/var/run/veskkorvaned.pid");
    ASSERT_EQ(symlink(victim.c_str(), pidfile.c_str()), 0);

    vk_test::Finished f = vk_test::RunToEnd(root.path(), {"--foreground"}, 5000);
    ASSERT_TRUE(f.ended) << "it started through the link";
    ASSERT_TRUE(WIFEXITED(f.status));
    EXPECT_EQ(WEXITSTATUS(f.status), 73);
    EXPECT_NE(f.err.find("cannot write the PID file " + pidfile), std::string::npos) << f.err;
    EXPECT_EQ(ReadFile(victim), "precious\n");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(lstat(pidfile.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link itself stays";
    EXPECT_FALSE(vk_test::FileExists(root.Under("/var/log/veskkorvaned.log")));
}

// Asking for help or the version answers on standard output and starts
// nothing: no PID file, no log, no socket, nothing at all under the root.
struct Query {
    const char *label;
    std::vector<std::string> args;
    std::vector<std::string> wanted;  // in the output; "{root}" stands for the root
};

void PrintTo(const Query &q, std::ostream *os) {
    *os << q.label;
}

class ForegroundQuery : public ::testing::TestWithParam<Query> {};

TEST_P(ForegroundQuery, AnswersAndStartsNothing) {
    const Query &q = GetParam();
    TempRoot root;
    vk_test::Finished f = vk_test::RunToEnd(root.path(), q.args, 5000);
    ASSERT_TRUE(f.ended) << "the daemon started";
    ASSERT_TRUE(WIFEXITED(f.status));
    EXPECT_EQ(WEXITSTATUS(f.status), 0);
    EXPECT_EQ(f.err, "");
    for (std::string w : q.wanted) {
        size_t at = w.find("{root}");
        if (at != std::string::npos) w.replace(at, 6, root.path());
        EXPECT_NE(f.out.find(w), std::string::npos) << w << " not in:\n" << f.out;
    }
    DIR *d = opendir(root.path().c_str());
    ASSERT_NE(d, nullptr);
    int entries = 0;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++entries;
    closedir(d);
    EXPECT_EQ(entries, 0) << "something was created under the root";
}

const std::vector<std::string> kHelpText = {"Usage: veskkorvaned",
                                            "--foreground",
                                            "--version",
                                            "VESKKORVANED_ROOT",
                                            "{root}/var/log/veskkorvaned.log",
                                            "{root}/var/run/veskkorvaned.pid",
                                            "{root}/etc/korvane/korvaned.db",
                                            "{root}/etc/korvane/korvaned.conf (optional)\n",
                                            "{root}/etc/korvane/log.conf (optional), else ",
                                            "@{root}/tmp/.zelluskkorvane\n",
                                            "@{root}/tmp/.zelluskkorvanefui\n",
                                            "Exit status:"};

INSTANTIATE_TEST_SUITE_P(
    Cases, ForegroundQuery,
    ::testing::Values(
        Query{"help", {"--help"}, kHelpText}, Query{"h", {"-h"}, kHelpText},
        Query{"help_after_another", {"--foreground", "--help"}, kHelpText},
        Query{"version", {"--version"}, {std::string("veskkorvaned ") + VK_VERSION + "\n"}}),
    [](const auto &info) { return std::string(info.param.label); });

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
    korvane::Client c = vk_test::TryOutClient();
    ASSERT_TRUE(c.Connect("@" + root.path() + "/tmp/.zelluskkorvanefui")) << c.error();
    int seq = 0;
    EXPECT_TRUE(ProbeDebug(d, c, seq, false));
    ASSERT_TRUE(d.Signal(SIGUSR1));
    EXPECT_TRUE(ProbeDebug(d, c, seq, true));
    ASSERT_TRUE(d.Signal(SIGUSR1));
    EXPECT_TRUE(ProbeDebug(d, c, seq, false));
}

}  // namespace
