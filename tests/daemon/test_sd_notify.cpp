// Readiness reports to a service manager: the real daemon with
// NOTIFY_SOCKET pointing at a datagram socket made here (abstract and
// filesystem names), and the reporting function on its own.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "daemon/sd_notify.h"
#include "net/ae/anet.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using vk_test::DaemonProcess;
using vk_test::TempRoot;

namespace {

// A bound datagram socket standing in for the service manager.
class NotifyListener {
public:
    explicit NotifyListener(const std::string &name) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un sa;
        socklen_t len = anetUnixAddress(nullptr, name.c_str(), &sa);
        m_ok =
            m_fd >= 0 && len > 0 && bind(m_fd, reinterpret_cast<struct sockaddr *>(&sa), len) == 0;
    }
    ~NotifyListener() {
        if (m_fd >= 0) close(m_fd);
    }
    bool ok() const { return m_ok; }
    // The next datagram, or "" when none comes before the deadline.
    std::string Next(int timeout_ms = 10000) {
        struct pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return "";
        char buf[4096];
        ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    // Fills the receive queue from other sockets, so that the next report
    // to `name` waits: true once a fresh sender is turned away.
    bool Fill(const std::string &name) {
        struct sockaddr_un sa;
        socklen_t len = anetUnixAddress(nullptr, name.c_str(), &sa);
        for (int senders = 0; senders < 64; ++senders) {
            int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (fd < 0) return false;
            int sent = 0;
            while (sendto(fd, "x", 1, MSG_DONTWAIT, reinterpret_cast<struct sockaddr *>(&sa),
                          len) == 1)
                ++sent;
            int err = errno;
            close(fd);  // what it sent stays queued
            if (err != EAGAIN) return false;
            if (sent == 0) return true;  // the queue, not the sender, is full
        }
        return false;
    }

private:
    int m_fd = -1;
    bool m_ok = false;
};

// A signal mask line of /proc/<pid>/status ("SigBlk:", "ShdPnd:", ...).
unsigned long long SignalMask(pid_t pid, const std::string &field) {
    std::string status = vk_test::ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t p = status.find("\n" + field);
    return p == std::string::npos ? 0
                                  : std::stoull(status.substr(p + 1 + field.size()), nullptr, 16);
}

unsigned long long Bit(int sig) {
    return 1ULL << (sig - 1);
}

class ScopedNotifyEnv {
public:
    explicit ScopedNotifyEnv(const char *value) {
        if (value)
            setenv("NOTIFY_SOCKET", value, 1);
        else
            unsetenv("NOTIFY_SOCKET");
    }
    ~ScopedNotifyEnv() { unsetenv("NOTIFY_SOCKET"); }
};

struct NameCase {
    const char *label;
    bool abstract;
};

class DaemonNotify : public ::testing::TestWithParam<NameCase> {};

TEST_P(DaemonNotify, ReadyOnceListeningAndStoppingOnTerm) {
    TempRoot root;
    std::string name =
        GetParam().abstract ? "@" + root.path() + "/notify" : root.path() + "/notify";
    NotifyListener manager(name);
    ASSERT_TRUE(manager.ok());
    ScopedNotifyEnv env(name.c_str());
    DaemonProcess d(root.path());

    // Ready, with a status naming the sockets as relocated.
    ASSERT_EQ(manager.Next(), "READY=1\nSTATUS=serving products on @" + root.path() +
                                  "/tmp/.zelluskkorvane and front UIs on @" + root.path() +
                                  "/tmp/.zelluskkorvanefui");
    // Ready means both sockets already listen: no waiting here.
    for (const char *sock : {"/tmp/.zelluskkorvane", "/tmp/.zelluskkorvanefui"}) {
        int fd = vk_test::ConnectAbstract("@" + root.path() + sock);
        EXPECT_GE(fd, 0) << sock;
        if (fd >= 0) close(fd);
    }

    ASSERT_TRUE(d.Signal(SIGTERM));
    EXPECT_EQ(manager.Next(), "STOPPING=1");
    int status = -1;
    ASSERT_TRUE(d.WaitExit(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(manager.Next(100), "") << "nothing after STOPPING=1";
}

INSTANTIATE_TEST_SUITE_P(Names, DaemonNotify,
                         ::testing::Values(NameCase{"abstract", true}, NameCase{"path", false}),
                         [](const auto &info) { return std::string(info.param.label); });

// From the end of the loop on, the handled signals wait until the process
// ends: a handler run during teardown would reach the log or the loop while
// they are freed. A full queue at the manager holds the daemon in its first
// teardown step, the STOPPING=1 report, long enough to look.
TEST(Teardown, HandledSignalsWaitUntilTheEnd) {
    TempRoot root;
    std::string name = "@" + root.path() + "/notify";
    ScopedNotifyEnv env(name.c_str());
    std::unique_ptr<DaemonProcess> d;
    // Declared after the daemon, closed before it: a report still waiting
    // then fails instead of holding the daemon forever.
    NotifyListener manager(name);
    ASSERT_TRUE(manager.ok());
    d.reset(new DaemonProcess(root.path()));
    ASSERT_EQ(manager.Next().rfind("READY=1\n", 0), 0u);
    ASSERT_TRUE(manager.Fill(name));

    const unsigned long long handled = Bit(SIGINT) | Bit(SIGTERM) | Bit(SIGUSR1);
    ASSERT_TRUE(d->Signal(SIGTERM));
    ASSERT_TRUE(vk_test::WaitFor(
        [&] { return (SignalMask(d->pid(), "SigBlk:") & handled) == handled; }, 5000))
        << "not held during teardown";
    EXPECT_EQ(d->Log().find("net-core uninit"), std::string::npos) << "not held from the start";
    for (int sig : {SIGUSR1, SIGINT, SIGTERM}) ASSERT_TRUE(d->Signal(sig));
    EXPECT_TRUE(vk_test::WaitFor([&] {
        unsigned long long pending =
            SignalMask(d->pid(), "SigPnd:") | SignalMask(d->pid(), "ShdPnd:");
        return (pending & handled) == handled;
    }));

    std::string report;
    while (report != "STOPPING=1" && !(report = manager.Next()).empty()) {
    }
    EXPECT_EQ(report, "STOPPING=1");
    int status = -1;
    ASSERT_TRUE(d->WaitExit(&status));
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal it held";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(d->Log().find("|INFO|veskkorvaned exit!\n"), std::string::npos);
}

TEST(SdNotify, ResultByName) {
    TempRoot root;
    vk_test::ScopedRootEnv rootEnv(root.path());  // the error lines go to a log under it
    std::string missing = "@" + root.path() + "/nobody-listens";
    std::string tooLong = "@" + std::string(200, 'x');
    struct {
        const char *value;
        int expected;
    } cases[] = {
        {nullptr, 0},           // not started by a service manager
        {"", 0},                // same
        {"relative/name", -1},  // neither a path nor an abstract name
        {"@", -1},              // an abstract name needs at least one byte
        {tooLong.c_str(), -1},  // does not fit a socket address
        {missing.c_str(), -1},  // nobody bound: the send fails
    };
    for (const auto &c : cases) {
        ScopedNotifyEnv env(c.value);
        EXPECT_EQ(vk_sd_notify("READY=1"), c.expected) << (c.value ? c.value : "(unset)");
    }
}

}  // namespace
