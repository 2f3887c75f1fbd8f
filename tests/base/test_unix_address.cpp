// The one rule for Unix socket addresses: the exact bytes and length at the
// limits, each refusal with its code and text, and that the listener (anet)
// binds and the client library connects to the longest names.
#include "base/unix_address.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "client/korvane_client.h"
#include "net/ae/anet.h"
#include "support/temp_root.h"

namespace {

constexpr size_t kPathOffset = offsetof(struct sockaddr_un, sun_path);

std::string Pad(const std::string &base, size_t total) {
    return base + std::string(total - base.size(), 'n');
}

// The sun_path bytes an address should hold: a zero byte and the name for
// "@name", else the path; the rest of sun_path is zero.
std::string ExpectedPath(const std::string &name) {
    std::string path(sizeof(sockaddr_un::sun_path), '\0');
    if (name[0] == '@')
        path.replace(1, name.size() - 1, name, 1, std::string::npos);
    else
        path.replace(0, name.size(), name);
    return path;
}

TEST(UnixAddress, LongestNameIs107Bytes) {
    EXPECT_EQ(kUnixNameMax, 107u);
}

TEST(UnixAddress, ExactAddressOrRefusal) {
    const std::string abs = "@/tmp/vk-addr-";
    const std::string file = "/tmp/vk-addr-";
    const std::string with_zero("/tmp/a\0b", 8);
    const std::string abstract_zero("@a\0b", 4);
    const struct {
        const char *what;
        std::string name;
        unix_address_result_t result;
        size_t length;  // 0 when refused
        std::string error;
    } cases[] = {
        {"abstract 106", Pad(abs, 1 + 106), kUnixAddressOk, kPathOffset + 1 + 106, ""},
        {"abstract 107 (longest)", Pad(abs, 1 + 107), kUnixAddressOk, kPathOffset + 1 + 107, ""},
        {"abstract 108", Pad(abs, 1 + 108), kUnixAddressTooLong, 0,
         "socket name too long: " + Pad(abs, 1 + 108)},
        {"abstract with a zero byte", abstract_zero, kUnixAddressOk, kPathOffset + 4, ""},
        {"short abstract", "@x", kUnixAddressOk, kPathOffset + 2, ""},
        {"path 107 (longest)", Pad(file, 107), kUnixAddressOk, kPathOffset + 108, ""},
        {"path 108", Pad(file, 108), kUnixAddressTooLong, 0,
         "socket name too long: " + Pad(file, 108)},
        {"short path", "/s", kUnixAddressOk, kPathOffset + 3, ""},
        {"relative path", "s", kUnixAddressOk, kPathOffset + 2, ""},
        {"empty", "", kUnixAddressEmpty, 0, "socket name missing"},
        {"@ alone", "@", kUnixAddressEmpty, 0, "abstract socket name empty"},
        {"path with a zero byte", with_zero, kUnixAddressZeroByte, 0,
         "socket path holds a zero byte: /tmp/a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        sockaddr_un sa;
        memset(&sa, 0x5a, sizeof(sa));  // everything written, nothing left over
        socklen_t len = 12345;
        char err[256];
        strcpy(err, "untouched");
        EXPECT_EQ(unix_address_fill(c.name.data(), c.name.size(), &sa, &len, err, sizeof(err)),
                  c.result);
        EXPECT_EQ(len, c.length);
        EXPECT_EQ(sa.sun_family, AF_UNIX);
        if (c.result == kUnixAddressOk) {
            EXPECT_STREQ(err, "untouched");
            EXPECT_EQ(std::string(sa.sun_path, sizeof(sa.sun_path)), ExpectedPath(c.name));
        } else {
            EXPECT_EQ(err, c.error);
        }
        // No text wanted: the same result, nothing written.
        EXPECT_EQ(unix_address_fill(c.name.data(), c.name.size(), &sa, &len, nullptr, 0), c.result);
        EXPECT_EQ(len, c.length);
    }
}

TEST(UnixAddress, NullNameIsEmptyAndLongTextIsCut) {
    sockaddr_un sa;
    socklen_t len = 1;
    char err[16];
    EXPECT_EQ(unix_address_fill(nullptr, 0, &sa, &len, err, sizeof(err)), kUnixAddressEmpty);
    EXPECT_EQ(len, 0u);
    EXPECT_STREQ(err, "socket name mis");  // cut to the buffer, terminated
    const std::string name = "@" + std::string(300, 'x');
    EXPECT_EQ(unix_address_fill(name.data(), name.size(), &sa, &len, err, sizeof(err)),
              kUnixAddressTooLong);
    EXPECT_STREQ(err, "socket name too");
}

// The listener binds the longest abstract name and the longest path, and
// the client library connects to each: both sides agree on the limit.
TEST(UnixAddress, ListenerBindsAndClientConnectsAtTheLimit) {
    vk_test::TempRoot root;
    const std::string names[] = {
        Pad("@/tmp/vk-addr-" + std::to_string(getpid()) + "-", 1 + kUnixNameMax),
        Pad(root.path() + "/s", kUnixNameMax),
    };
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        char err[ANET_ERR_LEN] = "";
        int s = anetUnixServer(err, name.c_str(), 0);
        ASSERT_GE(s, 0) << err;
        sockaddr_un bound{};
        socklen_t len = sizeof(bound);
        ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&bound), &len), 0);
        sockaddr_un expected;
        socklen_t expected_len = 0;
        ASSERT_EQ(unix_address_fill(name.data(), name.size(), &expected, &expected_len, nullptr, 0),
                  kUnixAddressOk);
        EXPECT_EQ(len, expected_len);
        EXPECT_EQ(memcmp(bound.sun_path, expected.sun_path, len - kPathOffset), 0);

        korvane::Client client;
        client.SetRequireRootPeer(false);
        ASSERT_TRUE(client.Connect(name)) << client.error();
        int fd = anetUnixAccept(err, s, nullptr);
        ASSERT_GE(fd, 0) << err;
        ASSERT_TRUE(client.SendRaw("hi\n")) << client.error();
        char buf[4] = "";
        EXPECT_EQ(anetRead(fd, buf, 3), 3);
        EXPECT_STREQ(buf, "hi\n");
        close(fd);
        client.Close();
        close(s);
    }
}

// One byte more is refused alike by the listener and the client.
TEST(UnixAddress, ListenerAndClientRefuseOneByteMore) {
    vk_test::TempRoot root;
    const std::string names[] = {
        Pad("@/tmp/vk-addr-" + std::to_string(getpid()) + "-", 2 + kUnixNameMax),
        Pad(root.path() + "/s", 1 + kUnixNameMax),
    };
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        char err[ANET_ERR_LEN] = "";
        EXPECT_EQ(anetUnixServer(err, name.c_str(), 0), -1);
        const std::string expected = ("socket name too long: " + name).substr(0, 255);
        EXPECT_EQ(err, expected);
        korvane::Client client;
        EXPECT_FALSE(client.Connect(name));
        EXPECT_EQ(client.error(), "connect: " + expected);
    }
}

}  // namespace
