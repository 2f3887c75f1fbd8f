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
        char buf[256];
        ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

private:
    int m_fd = -1;
    bool m_ok = false;
};

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

    ASSERT_EQ(manager.Next(), "READY=1");
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
