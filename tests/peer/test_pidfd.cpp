// Pinning the process at the other end of a connection: a pidfd of the
// process that connected while it lives, ESRCH once it has exited (a
// zombie or reaped), and, on the fallback by pid, no process that started
// after the connection was accepted. Real child processes connect to this
// one; /proc/<pid>/stat parsing is fed lines from a fake /proc.
#include "peer/pidfd.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/peer_connection.h"
#include "support/temp_root.h"

namespace {

bool Readable(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// Both ways of pinning, the kernel's (SO_PEERPIDFD where it has it) and the
// fallback by pid.
using PinFn = int (*)(const net_peer_t &, int *);
int ByPid(const net_peer_t &peer, int *why) {
    return net_peer_pidfd_by_pid(peer, "/proc", why);
}

struct Way {
    const char *name;
    PinFn pin;
};

class PinTest : public ::testing::TestWithParam<Way> {};

// The pidfd names the process that connected: it turns readable when that
// process exits, not before.
TEST_P(PinTest, LivingPeerIsPinned) {
    vk_test::PeerConnection conn;
    ASSERT_TRUE(conn.ok());
    int why = 0;
    int fd = GetParam().pin(conn.peer(), &why);
    ASSERT_GE(fd, 0) << strerror(why);
    EXPECT_FALSE(Readable(fd));
    ASSERT_TRUE(conn.Kill(true));
    EXPECT_TRUE(Readable(fd));
    close(fd);
}

// Exited before it could be pinned: gone, whether its parent has reaped it
// yet or not, though its connection is still open.
TEST_P(PinTest, ExitedPeerIsGone) {
    for (bool reap : {false, true}) {
        vk_test::PeerConnection conn;
        ASSERT_TRUE(conn.ok());
        ASSERT_TRUE(conn.Kill(reap));
        int why = 0;
        EXPECT_EQ(GetParam().pin(conn.peer(), &why), -1) << "reaped: " << reap;
        EXPECT_EQ(why, ESRCH) << "reaped: " << reap << ", " << strerror(why);
    }
}

TEST_P(PinTest, PeerWithoutAConnectionIsNotPinned) {
    net_peer_t peer = {static_cast<int>(getpid()), 0, 0, nullptr, nullptr, 0};
    int why = 0;
    EXPECT_EQ(GetParam().pin(peer, &why), -1);
    EXPECT_EQ(why, EBADF);
}

INSTANTIATE_TEST_SUITE_P(Ways, PinTest,
                         ::testing::Values(Way{"Kernel", net_peer_pidfd}, Way{"ByPid", ByPid}),
                         [](const ::testing::TestParamInfo<Way> &info) {
                             return std::string(info.param.name);
                         });

// A process found under the peer's pid that started after the accept is
// another one, that took the pid after the peer exited: refused. One that
// started no later is taken, to the clock tick.
TEST(PinByPid, ProcessStartedAfterTheAcceptIsNotThePeer) {
    vk_test::PeerConnection conn;
    ASSERT_TRUE(conn.ok());
    const long long start = net_peer_start_ns("/proc", conn.pid());
    ASSERT_GT(start, 0);
    struct Case {
        long long accepted_ns;
        bool pinned;
    } cases[] = {{start - 1, false}, {start, true}, {conn.peer().accepted_ns, true}};
    for (const Case &c : cases) {
        net_peer_t peer = conn.peer();
        peer.accepted_ns = c.accepted_ns;
        int why = 0;
        int fd = net_peer_pidfd_by_pid(peer, "/proc", &why);
        EXPECT_EQ(fd >= 0, c.pinned) << "accepted " << c.accepted_ns << ", started " << start;
        if (fd >= 0)
            close(fd);
        else
            EXPECT_EQ(why, ESRCH);
    }
}

// The start time is the 22nd field of stat, counted after the last ')':
// a program's name may hold spaces and parentheses.
TEST(PinByPid, StartTimeIsReadAfterTheName) {
    const long hz = sysconf(_SC_CLK_TCK);
    const std::string tail =
        " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 " + std::to_string(3 * hz + 1) + " 4096 100\n";
    struct Case {
        const char *name;
        std::string stat;
        long long start_ns;  // -1: unreadable
    } cases[] = {
        {"plain", "4242 (ui) S" + tail, 3000000000LL + 1000000000LL / hz},
        {"name with parentheses and spaces", "4242 (a) b) S 1 (c) S" + tail,
         3000000000LL + 1000000000LL / hz},
        {"cut short", "4242 (ui) S 1 2 3\n", -1},
        {"no name", "4242 ui S" + tail, -1},
        {"empty", "", -1},
    };
    vk_test::TempRoot root;
    ASSERT_EQ(mkdir(root.Under("/4242").c_str(), 0755), 0);
    for (const Case &c : cases) {
        vk_test::WriteFile(root.Under("/4242/stat"), c.stat);
        EXPECT_EQ(net_peer_start_ns(root.path().c_str(), 4242), c.start_ns) << c.name;
    }
    EXPECT_EQ(net_peer_start_ns(root.path().c_str(), 4243), -1) << "no such process";
}

}  // namespace
