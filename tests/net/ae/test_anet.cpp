// Socket functions: exact abstract and file addresses, refusal of names that
// do not fit, error texts, and that a failing helper leaves no descriptor
// open. Socket names are unique per test process, never the daemon's.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "net/ae/anet.h"
#include "support/temp_root.h"

namespace {

std::string UniqueName(const std::string &tag) {
    return "@/tmp/vk-anet-test-" + std::to_string(getpid()) + "-" + tag;
}

// The lowest free descriptor: unchanged across a failing call means nothing leaked.
int LowestFreeFd() {
    int fd = dup(0);
    close(fd);
    return fd;
}

std::string BoundName(int s, socklen_t *len) {
    sockaddr_un sa{};
    *len = sizeof(sa);
    if (getsockname(s, reinterpret_cast<sockaddr *>(&sa), len) != 0) return "<getsockname failed>";
    size_t n = *len - offsetof(sockaddr_un, sun_path);
    if (n > 0 && sa.sun_path[0] == '\0') return "@" + std::string(sa.sun_path + 1, n - 1);
    return std::string(sa.sun_path);
}

TEST(Anet, AbstractServerBindsTheExactNameAndCreatesNoFile) {
    char err[ANET_ERR_LEN] = "";
    const std::string name = UniqueName("abstract");
    int s = anetUnixServer(err, name.c_str(), 0);
    ASSERT_GE(s, 0) << err;
    socklen_t len = 0;
    EXPECT_EQ(BoundName(s, &len), name);
    EXPECT_EQ(len, 2 + name.size());  // family, the leading zero byte, the name
    EXPECT_NE(access(name.c_str() + 1, F_OK), 0);
    EXPECT_NE(access(name.c_str(), F_OK), 0);
    close(s);
}

TEST(Anet, NamesBoundExactlyOrRefused) {
    vk_test::TempRoot root;
    const std::string abs_base = UniqueName("len-");
    const std::string file_base = root.path() + "/s";
    ASSERT_LT(file_base.size(), 100u);
    auto pad = [](const std::string &base, size_t total) {
        return base + std::string(total - base.size(), 'n');
    };
    const struct {
        std::string name;
        bool fits;
    } cases[] = {
        {pad(abs_base, 1 + 106), true},   // one byte short of the longest
        {pad(abs_base, 1 + 107), true},   // longest abstract name
        {pad(abs_base, 1 + 108), false},  // one more byte
        {pad(abs_base, 1 + 300), false},  // beyond the address itself
        {pad(file_base, 107), true},      // longest file path
        {pad(file_base, 108), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name.size());
        char err[ANET_ERR_LEN] = "";
        int before = LowestFreeFd();
        int s = anetUnixServer(err, c.name.c_str(), 0);
        if (c.fits) {
            ASSERT_GE(s, 0) << err;
            socklen_t len = 0;
            EXPECT_EQ(BoundName(s, &len), c.name);
            int client = anetUnixConnect(err, c.name.c_str());
            EXPECT_GE(client, 0) << err;
            close(client);
            close(s);
            continue;
        }
        const std::string expected =
            ("socket name too long: " + c.name).substr(0, ANET_ERR_LEN - 1);
        EXPECT_EQ(s, -1);
        EXPECT_EQ(err, expected);
        err[0] = '\0';
        EXPECT_EQ(anetUnixConnect(err, c.name.c_str()), -1);
        EXPECT_EQ(err, expected);
        EXPECT_EQ(LowestFreeFd(), before);
    }
}

TEST(Anet, SecondServerOnTheSameNameFailsAndClosesItsSocket) {
    char err[ANET_ERR_LEN] = "";
    const std::string name = UniqueName("twice");
    int first = anetUnixServer(err, name.c_str(), 0);
    ASSERT_GE(first, 0) << err;
    int before = LowestFreeFd();
    EXPECT_EQ(anetUnixServer(err, name.c_str(), 0), -1);
    EXPECT_EQ(err, std::string("bind: ") + strerror(EADDRINUSE));
    EXPECT_EQ(LowestFreeFd(), before);
    close(first);
}

// Connects to server from a socket bound to own first ("" = unbound).
int ConnectFrom(const std::string &server, const std::string &own) {
    auto fill = [](const std::string &name, sockaddr_un *sa) {
        *sa = sockaddr_un{};
        sa->sun_family = AF_UNIX;
        memcpy(sa->sun_path, name.data(), name.size());
        if (name[0] != '@') return static_cast<socklen_t>(sizeof(*sa));
        sa->sun_path[0] = '\0';
        return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    };
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa;
    if (!own.empty()) {
        socklen_t len = fill(own, &sa);
        if (bind(s, reinterpret_cast<sockaddr *>(&sa), len) != 0) ADD_FAILURE() << "bind " << own;
    }
    socklen_t len = fill(server, &sa);
    if (connect(s, reinterpret_cast<sockaddr *>(&sa), len) != 0) ADD_FAILURE() << "connect";
    return s;
}

TEST(Anet, AcceptReportsOnlyAFilePeerName) {
    vk_test::TempRoot root;
    char err[ANET_ERR_LEN] = "";
    const std::string server = UniqueName("accept");
    int s = anetUnixServer(err, server.c_str(), 0);
    ASSERT_GE(s, 0) << err;
    const struct {
        std::string own;
        std::string reported;
    } cases[] = {
        {"", ""},
        {UniqueName("peer"), ""},
        {root.path() + "/peer", root.path() + "/peer"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.own);
        int client = ConnectFrom(server, c.own);
        char peer[ANET_UNIX_NAME_LEN];
        memset(peer, 'x', sizeof(peer));
        int fd = anetUnixAccept(err, s, peer);
        ASSERT_GE(fd, 0) << err;
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(std::string(peer), c.reported);
        close(fd);
        close(client);
    }
    close(s);
}

TEST(Anet, FailuresWriteTheSyscallAndReason) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const std::string unbound = UniqueName("nobody");
    const struct {
        const char *what;
        std::function<int(char *)> call;
        std::string expected;
    } cases[] = {
        {"non-block on a closed descriptor", [](char *e) { return anetNonBlock(e, -1); },
         std::string("fcntl(F_GETFL): ") + strerror(EBADF)},
        {"TCP_NODELAY on a Unix socket", [&](char *e) { return anetTcpNoDelay(e, sv[0]); },
         std::string("setsockopt TCP_NODELAY: ") + strerror(EOPNOTSUPP)},
        {"accept on a socket that does not listen",
         [&](char *e) { return anetUnixAccept(e, sv[0], nullptr); },
         std::string("accept: ") + strerror(EINVAL)},
        {"connect to a name nobody serves",
         [&](char *e) { return anetUnixConnect(e, unbound.c_str()); },
         std::string("connect: ") + strerror(ECONNREFUSED)},
        {"empty socket name", [](char *e) { return anetUnixServer(e, "", 0); },
         "socket name missing"},
        {"unparsable bind address", [](char *e) { return anetTcpServer(e, 0, "256.1.2.3"); },
         "invalid bind address"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        char err[ANET_ERR_LEN] = "";
        int before = LowestFreeFd();
        EXPECT_EQ(c.call(err), -1);
        EXPECT_EQ(err, c.expected);
        EXPECT_EQ(c.call(nullptr), -1);  // no text wanted: nothing written, no crash
        EXPECT_EQ(LowestFreeFd(), before);
    }
    close(sv[0]);
    close(sv[1]);
}

TEST(Anet, TcpLoopbackRoundTrip) {
    char err[ANET_ERR_LEN] = "";
    int s = anetTcpServer(err, 0, "127.0.0.1");
    if (s == -1) GTEST_SKIP() << "no IPv4 loopback: " << err;
    char ip[ANET_IP_LEN];
    int port = 0;
    ASSERT_EQ(anetSockName(s, ip, &port), 0);
    int client = anetTcpConnect(err, "127.0.0.1", port);
    ASSERT_GE(client, 0) << err;
    int client_port = 0, peer_port = 0;
    ASSERT_EQ(anetSockName(client, ip, &client_port), 0);
    int fd = anetTcpAccept(err, s, ip, &peer_port);
    ASSERT_GE(fd, 0) << err;
    EXPECT_STREQ(ip, "127.0.0.1");
    EXPECT_EQ(peer_port, client_port);
    EXPECT_EQ(anetPeerToString(client, ip, &peer_port), 0);
    EXPECT_EQ(peer_port, port);

    EXPECT_EQ(anetWrite(client, "hello", 5), 5);
    close(client);
    char buf[16] = "";
    EXPECT_EQ(anetRead(fd, buf, sizeof(buf)), 5);  // stops at the end of the stream
    EXPECT_STREQ(buf, "hello");

    EXPECT_EQ(anetPeerToString(-1, ip, &port), -1);
    EXPECT_STREQ(ip, "?");
    EXPECT_EQ(port, 0);
    close(fd);
    close(s);
}

}  // namespace
