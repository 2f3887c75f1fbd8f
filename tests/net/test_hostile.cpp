// Hostile peers against the real binary: whatever they send, the daemon
// stays alive, answers nothing it cannot decode, and keeps serving others.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/korvane_client.h"
#include "net/net_core.h"
#include "peer/logbudget.h"
#include "support/as_user.h"
#include "support/daemon_process.h"
#include "support/fd_limit.h"
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
        auto c = std::make_unique<Client>(vk_test::TryOutClient());
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
        Client c = vk_test::TryOutClient();
        if (!c.Connect(Sock(true))) return false;
        if (!c.SendRequest("probe", 77, 1004)) return false;
        auto m = c.ReadMessage(5000);
        return m && m->has_result && m->result == 100 && m->id == 77;
    }

    // A registered security product, and a front UI that has read the
    // notification of that registration.
    void RegisterProduct(std::unique_ptr<Client> &av, std::unique_ptr<Client> &fui) {
        fui = Connect(true);
        av = Connect(false);
        ASSERT_TRUE(av->SendRequest("av", 1, 2000, std::string(R"({"name":"AV","exec":"/av"})")));
        auto reply = av->ReadMessage(5000);
        ASSERT_TRUE(reply && reply->result == 0);
        ASSERT_TRUE(ReadUntil(*fui, [](const korvane::Message &m) { return m.type == 1500u; }));
    }

    // Reads messages until one satisfies `done`; false when none came.
    template <typename Done>
    static bool ReadUntil(Client &c, Done done, int *skipped = nullptr) {
        for (;;) {
            auto m = c.ReadMessage(10000);
            if (!m) return false;
            if (done(*m)) return true;
            if (skipped != nullptr) ++*skipped;
        }
    }

    vk_test::TempRoot root_;
    std::unique_ptr<vk_test::DaemonProcess> daemon_;
};

// A request body nested `levels` deep, the body itself being the first level.
std::string NestedBody(int levels) {
    std::string open, close;
    for (int i = 1; i < levels; ++i) {
        open += R"({"d":)";
        close += "}";
    }
    return R"({"name":"AV","exec":"/av","d":)" + open + "1" + close + "}";
}

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
    EXPECT_TRUE(daemon_->WaitLog("sent a line longer than 131072 bytes"));
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
    const long rss = daemon_->ResidentKiB();
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
    // The queue of the stuck one, up to 16 MiB, was dropped with it: the
    // daemon is not even twice its size before the flood.
    if (kResidentSizeMeaningful) {
        EXPECT_LT(daemon_->ResidentKiB(), 2 * rss) << rss << " KiB before the flood";
    }
    std::optional<std::string> line;
    while ((line = stuck->ReadLine(5000))) {
    }
    EXPECT_FALSE(stuck->TimedOut()) << "the stuck front UI was closed";
    EXPECT_TRUE(Serves());
}

TEST_F(HostileTest, MoreConnectionsThanTheClientTableHolds) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: only uid 0 may fill the client table";
    vk_test::ScopedDescriptorLimit limit(4096);
    if (!limit.ok()) GTEST_SKIP() << "descriptor limit too low";
    Start(4096);
    std::vector<std::unique_ptr<Client>> many;
    for (int i = 0; i < 1100; ++i) many.push_back(Connect(true, false));
    EXPECT_TRUE(daemon_->WaitLog("|ERROR|refuse client fd: 1024 "));
    many.clear();
    EXPECT_TRUE(vk_test::WaitFor([&] { return Serves(); }));
}

TEST_F(HostileTest, MoreConnectionsThanTheDescriptorLimitAllows) {
    Start(64);
    std::vector<std::unique_ptr<Client>> many;
    for (int i = 0; i < 150; ++i) many.push_back(Connect(i % 2 == 0, false));
    EXPECT_TRUE(
        daemon_->WaitLog("|ERROR|Accepting client connection: accept: Too many open files"));
    // Once the excess is shed the daemon sleeps instead of spinning on the
    // listening sockets: before the deadline comes a half second in which
    // it used at most a tenth of its time on the CPU and ends asleep. One
    // spinning on accept uses all of every such window.
    long used_ms = -1;
    char state = '?';
    EXPECT_TRUE(vk_test::WaitFor(
        [&] {
            const long before = daemon_->CpuMs();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            used_ms = daemon_->CpuMs() - before;
            state = daemon_->State();
            return before >= 0 && used_ms <= 50 && state == 'S';
        },
        10000))
        << "last half second: " << used_ms << " ms of CPU, state " << state;
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
        Client c = vk_test::TryOutClient();
        ASSERT_TRUE(c.Connect(Sock(i % 2 == 0)));
        if (i % 3 == 0) c.SendRaw("garbage\n");
    }
    ASSERT_TRUE(Serves());
    ASSERT_TRUE(AllConnectionsClosed());
    EXPECT_TRUE(vk_test::WaitFor([&] { return daemon_->OpenDescriptors() == fds; }))
        << daemon_->OpenDescriptors() << " descriptors, " << fds << " before";
    // Buffers kept by the closed connections would make a multiple of it.
    if (kResidentSizeMeaningful) {
        EXPECT_LT(daemon_->ResidentKiB(), rss + rss / 2) << rss << " KiB before the cycles";
    }
}

TEST_F(HostileTest, UserOverItsShareOfConnectionsIsRefusedWhileRootIsServed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: connections are opened as another user";
    Start();
    // One user opens connections on both sockets, one after the other, each
    // asked one question: the ones past its share are closed unanswered.
    auto open_many = [this](int n) {
        return [this, n] {
            int answered = 0;
            for (int i = 0; i < n; ++i) {
                auto *c =
                    new Client(vk_test::TryOutClient());  // left open until the process is killed
                if (!c->Connect(Sock(i % 2 == 0)) || !c->SendRequest("n", 1, 1004)) continue;
                answered += c->ReadMessage(5000).has_value();
            }
            return std::to_string(answered);
        };
    };
    ASSERT_TRUE(AllConnectionsClosed());
    const int fds = daemon_->OpenDescriptors();
    auto started = std::chrono::steady_clock::now();
    auto nobody =
        std::make_unique<vk_test::OtherUserProcess>(open_many(kNetDefaultUidConnections + 50));
    auto answered = nobody->WaitResult(60000);
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();
    ASSERT_TRUE(answered.has_value()) << "the other user's process did not report";
    EXPECT_EQ(*answered, std::to_string(kNetDefaultUidConnections));

    // Root is served meanwhile, on both sockets.
    auto av = Connect(false);
    ASSERT_TRUE(av->SendRequest("av", 1, 2000, std::string(R"({"name":"AV","exec":"/av"})")));
    auto reply = av->ReadMessage(5000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->result, 0);
    EXPECT_TRUE(Serves());

    std::string log = daemon_->Log();
    size_t lines = vk_test::Occurrences(log, ",uid: 65534 holds 64 connections,the limit per uid");
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, static_cast<size_t>(seconds) + 1) << "refusals are logged once a second";

    // Its connections gone (those of front UIs with unread notifications
    // reset), the user gets its share again. Most of them are not logged
    // (the uid's budget of logged connections), so the daemon's descriptors
    // tell when they are gone.
    av.reset();
    nobody.reset();
    ASSERT_TRUE(vk_test::WaitFor([&] { return daemon_->OpenDescriptors() <= fds; }))
        << daemon_->OpenDescriptors() << " descriptors, " << fds << " before";
    vk_test::OtherUserProcess again(open_many(1));
    EXPECT_EQ(again.WaitResult(10000), std::optional<std::string>("1"));
}

// Fifteen users with their full share each would fill every slot below
// root's; the kNetSessionReserve slots under those stay for the owner of
// the active session, whose front UI still connects.
TEST_F(HostileTest, OtherUsersTogetherLeaveTheSessionOwnerItsSlots) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: connections are opened as other users";
    vk_test::ScopedDescriptorLimit limit(4096);
    if (!limit.ok()) GTEST_SKIP() << "descriptor limit too low";
    for (const char *d : {"/run", "/run/systemd", "/run/systemd/seats"})
        mkdir(root_.Under(d).c_str(), 0755);
    vk_test::WriteFile(root_.Under("/run/systemd/seats/seat0"), "IS_SEAT0=1\nACTIVE_UID=5151\n");
    Start(4096);

    auto open_share = [this] {
        int answered = 0;
        for (int i = 0; i < kNetDefaultUidConnections; ++i) {
            auto *c = new Client(vk_test::TryOutClient());  // left open until killed
            if (!c->Connect(Sock(i % 2 == 0)) || !c->SendRequest("n", 1, 1004)) continue;
            answered += c->ReadMessage(5000).has_value();
        }
        return std::to_string(answered);
    };
    const int users = (kNetMaxClients - kNetRootReserve) / kNetDefaultUidConnections;
    std::vector<std::unique_ptr<vk_test::OtherUserProcess>> others;
    for (int i = 0; i < users; ++i) {
        const uid_t uid = 6001 + static_cast<uid_t>(i);
        others.push_back(std::make_unique<vk_test::OtherUserProcess>(
            open_share, vk_test::Identity{uid, uid, {}}));
    }
    int total = 0;
    for (auto &other : others) {
        auto answered = other->WaitResult(60000);
        ASSERT_TRUE(answered.has_value()) << "another user's process did not report";
        total += std::stoi(*answered);
    }
    EXPECT_LE(total, kNetMaxClients - kNetRootReserve - kNetSessionReserve);
    EXPECT_TRUE(
        daemon_->WaitLog(",64 slots of the client table are kept for root and the owner "
                         "of the active session (uid: 5151)"))
        << daemon_->Log();

    // The session's owner still gets its connections; another user does not.
    auto served = [this] { return Serves() ? std::string("served") : std::string("refused"); };
    EXPECT_EQ(vk_test::RunAs({5151, 5151, {}}, served), std::optional<std::string>("served"));
    EXPECT_EQ(vk_test::RunAs({6100, 6100, {}}, served), std::optional<std::string>("refused"));
}

TEST_F(HostileTest, PipelinedFloodDoesNotHoldAnotherClient) {
    Start();
    std::unique_ptr<Client> av, fui;
    RegisterProduct(av, fui);
    // With the daemon stopped, a flood of status reports queues up on the
    // product's socket, then a front UI's question behind it.
    const int flood = 400;
    std::string burst;
    for (int i = 0; i < flood; ++i)
        burst += *korvane::EncodeRequest("av", static_cast<uint64_t>(i), 2002,
                                         std::string(R"({"s":)") + std::to_string(i) + "}");
    ASSERT_TRUE(daemon_->Signal(SIGSTOP));
    ASSERT_TRUE(av->SendRaw(burst)) << av->error();
    ASSERT_TRUE(fui->SendRequest("fui", 777, 1004));
    ASSERT_TRUE(daemon_->Signal(SIGCONT));

    // The question is answered while most of the flood still waits: few of
    // its notifications come before the answer.
    int notes = 0;
    ASSERT_TRUE(ReadUntil(
        *fui, [](const korvane::Message &m) { return m.id == 777u; }, &notes));
    EXPECT_LT(notes, flood / 2);
    // Nothing of the flood is lost or reordered.
    for (int i = 0; i < flood; ++i) {
        auto m = av->ReadMessage(10000);
        ASSERT_TRUE(m.has_value()) << av->error();
        ASSERT_EQ(m->id, static_cast<uint64_t>(i));
        EXPECT_EQ(m->result, 0);
    }
    for (int i = notes; i < flood; ++i) {
        auto m = fui->ReadMessage(10000);
        ASSERT_TRUE(m && m->type == 1501u);
    }
}

TEST_F(HostileTest, DeeplyNestedBodiesAreRefusedBeforeAnythingIsPrinted) {
    Start();
    std::unique_ptr<Client> av, fui;
    RegisterProduct(av, fui);
    std::string burst;
    const int deep = 50;
    for (int i = 0; i < deep; ++i)
        burst += *korvane::EncodeRequest("av", 100, 2003, NestedBody(900));
    ASSERT_LE(burst.size() / deep, 8193u);
    burst += *korvane::EncodeRequest("av", 32, 2003, NestedBody(32));
    burst += *korvane::EncodeRequest("av", 33, 2003, NestedBody(33));
    burst += *korvane::EncodeRequest("av", 9999, 1004, std::nullopt);
    ASSERT_TRUE(av->SendRaw(burst)) << av->error();
    // Only the body of 32 levels is answered and announced.
    for (uint64_t id : {32u, 9999u}) {
        auto m = av->ReadMessage(10000);
        ASSERT_TRUE(m.has_value()) << av->error();
        EXPECT_EQ(m->id, id);
    }
    auto note = fui->ReadMessage(10000);
    ASSERT_TRUE(note && note->type == 1500u);
    EXPECT_NE(note->data.find(R"("d":1)"), std::string::npos);
    ASSERT_TRUE(fui->SendRequest("fui", 5, 1004));
    auto answer = fui->ReadMessage(10000);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->id, 5u) << "no other notification came before the answer";
    // Each refusal is logged, up to the uid's budget of lines.
    const size_t budget = geteuid() == 0 ? kNetLogRootLines : kNetLogBudgetLines;
    EXPECT_EQ(vk_test::Occurrences(daemon_->Log(), ",data nested deeper than 32\n"),
              std::min<size_t>(deep + 1, budget));
}

// What the counts of suppressed lines of `uid` in `log` add up to.
struct Suppressed {
    unsigned long lines = 0;        // about bad input or refused requests
    unsigned long connections = 0;  // not logged
    size_t summaries = 0;
};
Suppressed SuppressedOf(const std::string &log, int uid) {
    Suppressed out;
    const std::string key = "|WARNING|suppressed ";
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
        unsigned long total = 0, lines = 0, conn_lines = 0, conns = 0;
        int who = 0;
        if (sscanf(log.c_str() + at + key.size(),
                   "%lu lines from uid %d: %lu about bad input or refused requests,%lu about %lu "
                   "connections not logged",
                   &total, &who, &lines, &conn_lines, &conns) != 5 ||
            who != uid)
            continue;
        out.lines += lines;
        out.connections += conns;
        out.summaries++;
    }
    return out;
}

// Many connections of one user, each with a burst of bad lines: together
// they get the uid's budget of lines and of logged connections, and the
// rest is counted, to the line, once they are gone.
TEST_F(HostileTest, BadLinesOfOneUidOverManyConnectionsLeaveItsBudgetAndACount) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the bad lines come from uid 65534";
    Start();
    const std::string bad[] = {
        "====\n",                                             // base64 decode failed
        "bnVsbA==\n",                                         // null: not a json
        "eyJ1dWlkIjoxLCJpZCI6MSwidHlwZSI6MTAwNH0=\n",         // uuid a number: not a json
        *korvane::EncodeRequest("x", 1, 1500, std::nullopt),  // bad request type
        *korvane::EncodeRequest("x", 1, 2003, NestedBody(33)),
    };
    std::string burst;
    for (int i = 0; i < 20; ++i) burst += bad[i % 5];
    const int connections = 50;
    const std::string before = daemon_->Log();
    auto sent = vk_test::RunAs(vk_test::kNobodyIdentity, [&] {
        int answered = 0;
        for (int i = 0; i < connections; ++i) {
            Client c = vk_test::TryOutClient();
            if (!c.Connect(Sock(i % 2 == 0)) || !c.SendRaw(burst) || !c.SendRequest("s", 7, 1004))
                continue;
            auto m = c.ReadMessage(10000);
            answered += m && m->id == 7u;
        }
        return std::to_string(answered);
    });
    ASSERT_EQ(sent, std::optional<std::string>(std::to_string(connections)));
    ASSERT_TRUE(daemon_->WaitLog("|WARNING|suppressed ")) << "its connections gone, it is quiet";
    const std::string log = daemon_->Log().substr(before.size());
    const size_t written = vk_test::Occurrences(log, "|ERROR|base64 request: ") +
                           vk_test::Occurrences(log, "|ERROR|bad request: ") +
                           vk_test::Occurrences(log, "|ERROR|bad request type: ");
    // Connections logged: the line naming each one's peer.
    const size_t logged = vk_test::Occurrences(log, ",uid: 65534,gid: 65534,exe: ");
    const Suppressed s = SuppressedOf(log, vk_test::kNobody);
    // The budget refills over a minute: a slow run may be granted a line or
    // a connection more, which the counts then leave out.
    EXPECT_GE(written, kNetLogBudgetLines);
    EXPECT_LT(written, 2 * kNetLogBudgetLines);
    EXPECT_EQ(written + s.lines, 20u * connections);
    EXPECT_GE(logged, kNetLogBudgetConnections);
    EXPECT_EQ(logged + s.connections, static_cast<size_t>(connections));
    EXPECT_LT(logged, static_cast<size_t>(connections));
    EXPECT_EQ(s.summaries, 1u);
}

// A long bad line is logged in part, with its length.
TEST_F(HostileTest, LongBadLineIsLoggedInPartWithItsLength) {
    Start();
    auto c = Connect(false);
    ASSERT_TRUE(c->SendRaw(std::string(8191, '!') + "\n"));
    ASSERT_TRUE(c->SendRequest("sync", 1, 1004));
    ASSERT_TRUE(c->ReadMessage(10000).has_value());
    EXPECT_TRUE(daemon_->WaitLog("|ERROR|bad request: " + std::string(256, '!') +
                                 "...(8191 bytes),not a json\n"))
        << daemon_->Log();
    EXPECT_EQ(daemon_->Log().find(std::string(257, '!')), std::string::npos);
}

// A user that sends refused requests over thousands of connections cannot
// push its first refusal out of the log: the log stays far below the size
// at which it is cut, and every refusal is either written or counted.
TEST_F(HostileTest, FirstRefusalStaysInTheLogThroughAFloodOfRefusedRequests) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the refused requests come from uid 65534";
    Start();
    const std::string big_uuid(6000, 'u');
    const std::string line = *korvane::EncodeRequest(big_uuid, 1, 2002, std::string("{}"));
    const int connections = 2000;
    auto sent = vk_test::RunAs(vk_test::kNobodyIdentity, [&] {
        int refused = 0;
        Client first = vk_test::TryOutClient();
        if (!first.Connect(Sock(false)) || !first.SendRequest("first-refusal", 1, 2001))
            return std::string("first");
        auto m = first.ReadMessage(10000);
        refused += m && m->result == 403;
        for (int i = 0; i < connections; ++i) {
            Client c = vk_test::TryOutClient();
            // Two refused requests at once; both answers read, so that both
            // were handled.
            if (!c.Connect(Sock(i % 2 == 0)) || !c.SendRaw(line + line)) continue;
            for (int k = 0; k < 2; ++k) {
                auto m = c.ReadMessage(10000);
                refused += m && m->result == 403;
            }
        }
        return std::to_string(refused);
    });
    const unsigned long total = 1 + 2ul * connections;
    ASSERT_EQ(sent, std::optional<std::string>(std::to_string(total)));
    ASSERT_TRUE(vk_test::WaitFor(
        [&] {
            return SuppressedOf(daemon_->Log(), vk_test::kNobody).lines +
                       vk_test::Occurrences(daemon_->Log(), "|ERROR|refuse request type: ") ==
                   total;
        },
        30000))
        << "every refusal written or counted";
    const std::string log = daemon_->Log();
    EXPECT_NE(log.find("|ERROR|refuse request type: 2001,uuid: first-refusal,from pid: "),
              std::string::npos);
    EXPECT_NE(log.find("|INFO|init log successfully"), std::string::npos) << "never cut";
    EXPECT_LT(log.size(), 1048576u);
    // Written refusals keep their whole text.
    EXPECT_NE(log.find("|ERROR|refuse request type: 2002,uuid: " + big_uuid + ",from pid: "),
              std::string::npos);
}

}  // namespace
