// The lock that decides whether an instance runs: only root may open it, a
// PID file held by someone else does not stop a start, and a lock held by
// anything but veskkorvaned ends a start with status 75 and the holder's
// name instead of a quiet 0.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "base/utils.h"
#include "daemon/run_to_end.h"
#include "support/as_user.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using vk_test::DaemonProcess;
using vk_test::ReadFile;
using vk_test::TempRoot;

namespace {

// Creates the lock file at `path` as root's own and holds its lock.
int HoldLock(const std::string &path) {
    EXPECT_TRUE(Utils::make_parent_dirs(path));
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << strerror(errno);
    return fd;
}

// What `nobody` meets: a lock file it cannot open, and a PID file it can
// read and hold once the daemon is gone, which no longer keeps the next
// start from serving.
TEST(InstanceLock, NobodyCannotKeepTheDaemonFromStarting) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: opens the daemon's files as nobody";
    TempRoot root;
    ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);  // only the files' modes stand in the way
    const std::string lock = root.Under("/var/run/veskkorvaned.lock");
    const std::string pidfile = root.Under("/var/run/veskkorvaned.pid");

    auto first = std::make_unique<DaemonProcess>(root.path());
    ASSERT_TRUE(first->WaitListening());
    struct stat st;
    ASSERT_EQ(stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // Opens what it can, says so (an orderly stop removes the PID file, so
    // the stop waits for that), then waits for the lock of the PID file.
    int opened[2];
    ASSERT_EQ(pipe2(opened, O_CLOEXEC), 0);
    vk_test::OtherUserProcess nobody([&]() -> std::string {
        int l = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
        std::string lock_result = l < 0 ? std::string(strerror(errno)) : "opened";
        int p = open(pidfile.c_str(), O_RDONLY | O_CLOEXEC);
        const int e = errno;
        if (write(opened[1], "x", 1) != 1) return "cannot say it opened";
        if (p < 0) return lock_result + "; PID file: " + strerror(e);
        bool held = vk_test::WaitFor([&] { return flock(p, LOCK_EX | LOCK_NB) == 0; }, 15000);
        return lock_result + "; PID file " + (held ? "held" : "never free");
    });
    close(opened[1]);
    struct pollfd said = {opened[0], POLLIN, 0};
    ASSERT_EQ(poll(&said, 1, 15000), 1) << "nobody never tried the files";
    close(opened[0]);
    ASSERT_EQ(first->Stop(), 0);
    first.reset();
    std::optional<std::string> seen = nobody.WaitResult(15000);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, std::string(strerror(EACCES)) + "; PID file held");

    DaemonProcess second(root.path());
    EXPECT_TRUE(second.WaitListening()) << "a PID file held by nobody stopped the start";
    EXPECT_TRUE(
        vk_test::WaitFor([&] { return ReadFile(pidfile) == std::to_string(second.pid()); }));
    int probe = open(pidfile.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    EXPECT_NE(flock(probe, LOCK_EX | LOCK_NB), 0) << "the new PID file is the daemon's, locked";
    close(probe);
}

TEST(InstanceLock, HeldByAnotherProgramFailsAndNamesIt) {
    TempRoot root;
    int held = HoldLock(root.Under("/var/run/veskkorvaned.lock"));
    vk_test::Finished f = vk_test::RunToEnd(root.path(), {"--foreground"}, 5000);
    close(held);

    ASSERT_TRUE(f.ended) << "it started beside the holder";
    ASSERT_TRUE(WIFEXITED(f.status));
    EXPECT_EQ(WEXITSTATUS(f.status), 75);
    const std::string holder = "held by pid " + std::to_string(getpid()) + " (";
    EXPECT_NE(f.err.find(holder), std::string::npos) << f.err;
    EXPECT_NE(f.err.find("test_instance_lock"), std::string::npos) << f.err;
    std::string log = ReadFile(root.Under("/var/log/veskkorvaned.log"));
    EXPECT_NE(log.find("|ERROR|the instance lock " + root.Under("/var/run/veskkorvaned.lock") +
                       " is " + holder),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("net-core init ok"), std::string::npos);
    EXPECT_FALSE(vk_test::FileExists(root.Under("/var/run/veskkorvaned.pid")));
}

// Daemon mode: the supervisor meets the holder, says so in its log and
// starts no worker.
TEST(InstanceLock, SupervisorLockHeldByAnotherProgram) {
    TempRoot root;
    int held = HoldLock(root.Under("/var/run/veskkorvaned_monitor.lock"));
    vk_test::Finished f = vk_test::RunToEnd(root.path(), {}, 5000);
    ASSERT_TRUE(f.ended);
    EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 0) << "the command detaches";
    const std::string monitor_log = root.Under("/var/log/veskkorvaned_monitor.log");
    const std::string holder = "held by pid " + std::to_string(getpid()) + " (";
    EXPECT_TRUE(vk_test::WaitFor([&] {
        return ReadFile(monitor_log).find(holder) != std::string::npos;
    })) << ReadFile(monitor_log);
    close(held);
    // No worker: nothing took the worker's lock nor wrote its PID file.
    std::string worker = ReadFile(root.Under("/var/run/veskkorvaned.pid"));
    EXPECT_EQ(worker, "");
    if (!worker.empty()) kill(static_cast<pid_t>(std::stol(worker)), SIGTERM);
}

}  // namespace
