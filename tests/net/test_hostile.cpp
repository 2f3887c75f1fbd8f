// Hostile peers against the real binary: whatever they send, the daemon
// stays alive, answers nothing it cannot decode, and keeps serving others.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/korvane_client.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using korvane::Client;

namespace {

// Under AddressSanitizer freed memory sits in a quarantine of its own, so
// the daemon's resident size says nothing about leaks there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentSizeMeaningful = false;
#else
constexpr bool kResidentSizeMeaningful = true;
#endif

class HostileTest : public ::testing::Test {
protected:
    void Start(long nofile = 0) {
        daemon_ = std::make_unique<vk_test::DaemonProcess>(
            root_.path(), std::vector<std::string>{"-f"}, VK_DAEMON_PATH, nofile);
        ASSERT_TRUE(daemon_->WaitListening());
    }

    std::string Sock(bool fui) const {
        return "@" + root_.path() + (fui ? "/tmp/.zelluskkorvanefui" : "/tmp/.zelluskkorvane");
    }

    // With `ping`, one round trip first: the daemon has then accepted the
    // connection, so a later broadcast reaches it.
    std::unique_ptr<Client> Connect(bool fui, bool ping = true) {
        auto c = std::make_unique<Client>();
        EXPECT_TRUE(c->Connect(Sock(fui))) << c->error();
        if (ping) {
            EXPECT_TRUE(c->SendRequest("ping", 1, 1004));
            auto m = c->ReadMessage(5000);
            EXPECT_TRUE(m && m->has_result) << c->error();
        }
        return c;
    }

    // True once every connection the daemon accepted has also been closed.
    bool AllConnectionsClosed() {
        return vk_test::WaitFor([&] {
            std::string log = daemon_->Log();
            return vk_test::Occurrences(log, "try to handle client") ==
                   vk_test::Occurrences(log, "closed connection from listener");
        });
    }

    // A well-formed query on a fresh connection is answered.
    bool Serves() {
        Client c;
        if (!c.Connect(Sock(true))) return false;
        if (!c.SendRequest("probe", 77, 1004)) return false;
        auto m = c.ReadMessage(5000);
        return m && m->has_result && m->result == 100 && m->id == 77;
    }

    vk_test::TempRoot root_;
    std::unique_ptr<vk_test::DaemonProcess> daemon_;
};

TEST_F(HostileTest, ThousandsOfRandomAndMalformedLines) {
    Start();
    auto c = Connect(false);
    std::mt19937 rng(20261210);
    std::string burst;
    for (int i = 0; i < 3000; ++i) {
        size_t len = rng() % 300;
        std::string line;
        for (size_t k = 0; k < len; ++k) {
            char ch = static_cast<char>(rng() % 256);
            line += ch == '\n' ? ' ' : ch;
        }
        burst += line + "\n";
    }
    const char *malformed[] = {
        "", "=", "====", "eyJ", "eyJ1dWlkIjoi", "!!!!", "\r",
        // Valid base64 of broken or mistyped envelopes.
        "e30=",                                      // {}
        "eyJ1dWlkIjoxLCJpZCI6MSwidHlwZSI6MTAwNH0=",  // uuid a number
        "W10=",                                      // []
        "bnVsbA==",                                  // null
    };
    for (const char *m : malformed) burst += std::string(m) + "\n";
    for (const std::string &text :
         {std::string(
              R"({"uuid":"x","id":1,"type":1004,"data":{"a":[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]}})"),
          std::string(R"({"uuid":"x","id":"1","type":1004})"),
          std::string("{\"uuid\":\"\\u0000\",\"id\":1}")})
        burst += korvane::EncodeText(text);
    ASSERT_TRUE(c->SendRaw(burst)) << c->error();
    // Only valid envelopes are answered: the first line read back is the
    // reply to this final request.
    ASSERT_TRUE(c->SendRequest("after", 4242, 1004));
    auto m = c->ReadMessage(10000);
    ASSERT_TRUE(m.has_value()) << c->error();
    EXPECT_EQ(m->id, 4242u) << m->json;
    EXPECT_TRUE(Serves());
}

TEST_F(HostileTest, ExtremeNumbersInIdAndType) {
    Start();
    auto c = Connect(true);
    struct Case {
        const char *id;
        const char *type;
        const char *reply_id;  // null: no reply expected
    };
    const Case cases[] = {
        {"1e308", "1004", "18446744073709551615"},
        {"-1e308", "1004", "0"},
        {"18446744073709551616", "1004", "18446744073709551615"},
        {"-1", "1004", "18446744073709551615"},
        {"7.9", "1004", "7"},
        {"1", "1e308", nullptr},
        {"1", "-1e308", nullptr},
        {"1", "18446744073709551616", nullptr},
        {"1", "4294968300", nullptr},  // clamped to the int32 range, not wrapped to 1004
        {"1", "1e400", nullptr},
    };
    for (const Case &k : cases) {
        std::string env = std::string(R"({"uuid":"n","id":)") + k.id + R"(,"type":)" + k.type + "}";
        ASSERT_TRUE(c->SendRaw(korvane::EncodeText(env)));
        if (k.reply_id == nullptr) continue;
        auto line = c->ReadLine(5000);
        ASSERT_TRUE(line.has_value()) << env << ": " << c->error();
        auto m = korvane::DecodeLine(*line);
        ASSERT_TRUE(m.has_value()) << *line;
        EXPECT_NE(m->json.find(std::string("\"id\":\t") + k.reply_id + ","), std::string::npos)
            << env << " -> " << m->json;
    }
    // The rejected ones left nothing behind: the next line is this reply.
    ASSERT_TRUE(c->SendRequest("n", 5, 1004));
    auto m = c->ReadMessage(5000);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->id, 5u);
    EXPECT_TRUE(Serves());
}

TEST_F(HostileTest, LineThatFillsTheInputBufferEndsOnlyThatConnection) {
    Start();
    auto bystander = Connect(true);
    auto c = Connect(false);
    ASSERT_TRUE(c->SendRaw(std::string(131072, 'A')));
    c->SendRaw("B");
    EXPECT_FALSE(c->ReadLine(10000).has_value());
    EXPECT_FALSE(c->TimedOut()) << "closed by the daemon, not merely silent";
    EXPECT_TRUE(daemon_->WaitLog("closed connection from listener"));
    ASSERT_TRUE(bystander->SendRequest("b", 1, 1004));
    EXPECT_TRUE(bystander->ReadMessage(5000).has_value());
}

TEST_F(HostileTest, FrontUiThatNeverReadsIsCutOffAtTheCap) {
    Start();
    auto stuck = Connect(true);
    auto reader = Connect(true);
    auto av = Connect(false);
    ASSERT_TRUE(av->SendRequest("av", 1, 2000, std::string(R"({"name":"AV","exec":"/av"})")));
    ASSERT_TRUE(av->ReadMessage(5000));
    ASSERT_TRUE(reader->ReadMessage(5000));  // its 1500
    const std::string body = R"({"blob":")" + std::string(4000, 'z') + R"("})";
    const int posts = 5000;
    for (int i = 0; i < posts; ++i) {
        ASSERT_TRUE(av->SendRequest("av", static_cast<uint64_t>(i), 2002, body)) << av->error();
        auto reply = av->ReadMessage(5000);
        ASSERT_TRUE(reply && reply->result == 0);
        auto note = reader->ReadMessage(5000);
        ASSERT_TRUE(note && note->type == 1501u) << "the reading front UI missed post " << i;
    }
    EXPECT_TRUE(daemon_->WaitLog("handle_fui_post: output queue of client"));
    // The queue of the stuck one was dropped with it.
    if (kResidentSizeMeaningful) {
        EXPECT_LT(daemon_->ResidentKiB(), 96 * 1024);
    }
    std::optional<std::string> line;
    while ((line = stuck->ReadLine(5000))) {
    }
    EXPECT_FALSE(stuck->TimedOut()) << "the stuck front UI was closed";
    EXPECT_TRUE(Serves());
}

TEST_F(HostileTest, MoreConnectionsThanTheClientTableHolds) {
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_max < 4096) GTEST_SKIP() << "descriptor limit too low";
    struct rlimit raised = rl;
    raised.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    Start(4096);
    std::vector<std::unique_ptr<Client>> many;
    for (int i = 0; i < 1100; ++i) many.push_back(Connect(true, false));
    EXPECT_TRUE(daemon_->WaitLog("|ERROR|refuse client fd: 1024 "));
    many.clear();
    EXPECT_TRUE(vk_test::WaitFor([&] { return Serves(); }));
    setrlimit(RLIMIT_NOFILE, &rl);
}

TEST_F(HostileTest, MoreConnectionsThanTheDescriptorLimitAllows) {
    Start(64);
    std::vector<std::unique_ptr<Client>> many;
    for (int i = 0; i < 150; ++i) many.push_back(Connect(i % 2 == 0, false));
    EXPECT_TRUE(
        daemon_->WaitLog("|ERROR|Accepting client connection: accept: Too many open files"));
    // Once the excess is shed the daemon sleeps instead of spinning on the
    // listening sockets.
    int sleeping = 0;
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // sampling interval
        sleeping += daemon_->State() == 'S';
    }
    EXPECT_GE(sleeping, 45);
    size_t lines = vk_test::Occurrences(daemon_->Log(), "Accepting client connection");
    EXPECT_LT(lines, 20u) << "failures are logged at most once a second";
    many.clear();
    EXPECT_TRUE(vk_test::WaitFor([&] { return Serves(); }));
}

TEST_F(HostileTest, ConnectAndCloseCyclesLeakNothing) {
    Start();
    ASSERT_TRUE(Serves());
    ASSERT_TRUE(AllConnectionsClosed());
    int fds = daemon_->OpenDescriptors();
    long rss = daemon_->ResidentKiB();
    for (int i = 0; i < 3000; ++i) {
        Client c;
        ASSERT_TRUE(c.Connect(Sock(i % 2 == 0)));
        if (i % 3 == 0) c.SendRaw("garbage\n");
    }
    ASSERT_TRUE(Serves());
    ASSERT_TRUE(AllConnectionsClosed());
    EXPECT_TRUE(vk_test::WaitFor([&] { return daemon_->OpenDescriptors() == fds; }))
        << daemon_->OpenDescriptors() << " descriptors, " << fds << " before";
    if (kResidentSizeMeaningful) {
        EXPECT_LT(daemon_->ResidentKiB() - rss, 4096) << "resident size grew by more than 4 MiB";
    }
}

}  // namespace
