// The connection core in this process over real abstract sockets, with a
// stand-in line handler, so that its queues and registrations can be looked
// at directly. The loop is pumped from the test thread: no threads, no races.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "log/mylog.h"
#include "net/ae/anet.h"
#include "net/ae/asbuffer.h"
#include "net/net_core.h"
#include "net/net_fui.h"
#include "net/net_secsoft.h"
#include "peer/logbudget.h"
#include "support/as_user.h"
#include "support/daemon_process.h"
#include "support/fd_limit.h"
#include "support/temp_root.h"

namespace {

// "big:N" answers N bytes of 'x' and a line feed; "post:T" broadcasts T and
// a line feed to every front UI, then answers "posted"; "note:T" gives T
// and a line feed as the line's notice and answers "noted:T"; "risky:T"
// answers "done:T", or "undone:T" when the pass's commit fails; "quiet"
// gets no answer; "bad:T" gets none either and logs "bad line T" as bad
// input of the sender; anything else is echoed back. Every line is counted.
int g_lines = 0;

int TestLineHandler(const char *line, unsigned long len, const net_peer_t *,
                    net_log_budget_t *log_budget, net_line_out_t *out) {
    ++g_lines;
    std::string s(line, len);
    if (s.rfind("bad:", 0) == 0) {
        netLogBadInput(log_budget, ERROR, "bad line %s", s.c_str() + 4);
        return -6;
    }
    if (s.rfind("big:", 0) == 0) {
        out->reply.assign(std::stoul(s.substr(4)), 'x');
        out->reply += "\n";
    } else if (s.rfind("post:", 0) == 0) {
        mox_post_fui(s.substr(5) + "\n");
        out->reply = "posted\n";
    } else if (s.rfind("note:", 0) == 0) {
        out->notices.push_back(s.substr(5) + "\n");
        out->reply = "noted:" + s.substr(5) + "\n";
    } else if (s.rfind("risky:", 0) == 0) {
        out->reply = "done:" + s.substr(6) + "\n";
        out->reply_failed = "undone:" + s.substr(6) + "\n";
    } else if (s == "quiet") {
        return -6;
    } else {
        out->reply = "echo:" + s + "\n";
    }
    return 0;
}

// The pass-end procedure the tests set: counts its calls, notes whether any
// byte had reached `g_watched` before it ran, and answers `g_commit_ok`.
int g_pass_ends = 0;
bool g_commit_ok = true;
int g_watched = -1;
bool g_output_before_commit = false;

bool TestPassEnd() {
    ++g_pass_ends;
    if (g_watched >= 0) {
        pollfd p = {g_watched, POLLIN, 0};
        g_output_before_commit |= poll(&p, 1, 0) == 1;
    }
    return g_commit_ok;
}

class NetCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);  // as the daemon does
        env_ = std::make_unique<vk_test::ScopedRootEnv>(root_.path());
        ASSERT_EQ(MoxLogInit(), 0);
        net_set_line_handler(TestLineHandler);
        g_lines = g_pass_ends = 0;
        g_commit_ok = true;
        g_watched = -1;
        g_output_before_commit = false;
        sec_name_ = "@" + root_.path() + "/sec";
        fui_name_ = "@" + root_.path() + "/fui";
        ASSERT_EQ(MoxNetCoreInit(sec_name_.c_str(), fui_name_.c_str()), 0);
    }

    void TearDown() override {
        for (int fd : open_) close(fd);
        // The connections still open go with the core.
        net_secsoft_set_sweep(kSecSoftSweepMs, kSecSoftIdleSeconds);
        MoxNetCoreUninit();
        net_set_line_handler(nullptr);
        net_set_pass_end(nullptr);
        MoxLogUninit();
    }

    // One pass of the loop as aeMain makes it: the before-sleep hook, then
    // the events (without sleeping).
    void Pass() {
        elp_main->before_sleep(elp_main);
        aeProcessEvents(elp_main, AE_PROCESS_ALL | AE_PROCESS_NOWAIT);
    }

    // Handles events without ending the pass (no before-sleep hook) until
    // `cond` holds or the time is up: what they produce stays held.
    bool Serve(const std::function<bool()> &cond, int timeout_ms = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!cond() && std::chrono::steady_clock::now() < deadline) {
            aeProcessEvents(elp_main, AE_PROCESS_FILES | AE_PROCESS_NOWAIT);
            usleep(200);
        }
        return cond();
    }

    // What the client has been sent so far, without running the loop.
    static std::string Arrived(int fd) {
        std::string got;
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0) got.append(buf, static_cast<size_t>(n));
        return got;
    }

    // Runs passes of the loop until `cond` holds or the time is up.
    bool Pump(const std::function<bool()> &cond, int timeout_ms = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            Pass();
            if (cond()) return true;
            usleep(200);
        }
        return cond();
    }

    int Connect(const std::string &name) {
        int fd = vk_test::ConnectAbstract(name);
        EXPECT_GE(fd, 0);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        Pump([&] { return ServerSide(fd) != nullptr; });
        open_.push_back(fd);
        return fd;
    }

    // The daemon side of the newest connection (highest slot in use).
    net_client_t *ServerSide(int) {
        for (net_listener_t *l : {secsoft_listener, fui_listener}) {
            if (l->max_client_fd >= 0 && l->clients[l->max_client_fd] != nullptr &&
                !accounted_[l->max_client_fd]) {
                accounted_[l->max_client_fd] = true;
                last_server_ = l->clients[l->max_client_fd];
                return last_server_;
            }
        }
        return nullptr;
    }

    void Send(int fd, const std::string &bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t w = write(fd, bytes.data() + off, bytes.size() - off);
            if (w < 0 && errno == EAGAIN) {
                Pump([] { return true; }, 1);
                continue;
            }
            ASSERT_GT(w, 0);
            off += static_cast<size_t>(w);
        }
    }

    // Reads from a client until `want` bytes arrived (pumping the loop).
    std::string Receive(int fd, size_t want, int timeout_ms = 5000) {
        std::string got;
        Pump(
            [&] {
                char buf[65536];
                ssize_t n;
                while ((n = read(fd, buf, sizeof(buf))) > 0)
                    got.append(buf, static_cast<size_t>(n));
                return got.size() >= want;
            },
            timeout_ms);
        return got;
    }

    // True once the daemon has closed its side (the client reads EOF).
    bool PeerClosed(int fd, int timeout_ms = 5000) {
        return Pump(
            [&] {
                char buf[65536];
                ssize_t n;
                while ((n = read(fd, buf, sizeof(buf))) > 0) {
                }
                return n == 0 || (n < 0 && errno != EAGAIN);
            },
            timeout_ms);
    }

    std::string Log() { return vk_test::ReadFile(root_.path() + "/var/log/veskkorvaned.log"); }

    vk_test::TempRoot root_;
    std::unique_ptr<vk_test::ScopedRootEnv> env_;
    std::string sec_name_, fui_name_;
    std::vector<int> open_;
    bool accounted_[4096] = {};
    net_client_t *last_server_ = nullptr;
};

TEST_F(NetCoreTest, LinesInOneWriteAndAcrossWritesAreAnsweredInOrder) {
    int fd = Connect(sec_name_);
    Send(fd, "one\ntwo\n");
    EXPECT_EQ(Receive(fd, 18), "echo:one\necho:two\n");

    Send(fd, "thr");
    EXPECT_EQ(Receive(fd, 1, 50), "");
    Send(fd, "e");
    Send(fd, "e\nquiet\n\nfour\n");
    EXPECT_EQ(Receive(fd, 27), "echo:three\necho:\necho:four\n");
}

TEST_F(NetCoreTest, FullInputBufferWithoutLineFeedClosesConnection) {
    int fd = Connect(fui_name_);
    Send(fd, std::string(kNetBufferSize, 'a'));
    Send(fd, "b");
    EXPECT_TRUE(PeerClosed(fd));
    const std::string log = Log();
    EXPECT_NE(log.find("ERROR|Client  sent a line longer than 131072 bytes,listener: " + fui_name_),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("closed connection from listener"), std::string::npos)
        << "not logged as if the peer had closed";
}

TEST_F(NetCoreTest, SlowReaderQueuesInOrderGrowsGeometricallyAndDrains) {
    int fd = Connect(sec_name_);
    net_client_t *c = last_server_;
    ASSERT_NE(c, nullptr);
    std::string expect;
    for (int i = 0; i < 40; ++i) {
        Send(fd, "big:100000\nnext" + std::to_string(i) + "\n");
        expect += std::string(100000, 'x') + "\n" + "echo:next" + std::to_string(i) + "\n";
    }
    ASSERT_TRUE(
        Pump([&] { return c->outbuf != nullptr && c->outbuf->last - c->outbuf->pos > 1000000; }));
    size_t queued = static_cast<size_t>(c->outbuf->last - c->outbuf->pos);
    size_t cap = static_cast<size_t>(c->outbuf->end - c->outbuf->start);
    EXPECT_LE(cap, 2 * queued + kNetBufferSize) << "growth is geometric, not wasteful";
    EXPECT_TRUE(aeGetFileEvents(elp_main, c->fd) & AE_MASK_WRITE);

    std::string got = Receive(fd, expect.size(), 20000);
    EXPECT_TRUE(got == expect) << "output arrived out of order or incomplete (" << got.size()
                               << " of " << expect.size() << " bytes)";
    ASSERT_TRUE(Pump([&] { return aeGetFileEvents(elp_main, c->fd) == AE_MASK_READ; }));
    EXPECT_EQ(c->outbuf, nullptr) << "a drained queue gives its buffer back";
    EXPECT_EQ(netOutputBytes(), 0u);
}

TEST_F(NetCoreTest, QueueCapClosesOnlyTheReaderThatNeverReads) {
    int stuck = Connect(fui_name_);
    int other = Connect(fui_name_);
    int sec = Connect(sec_name_);
    // Broadcast 120 kB lines until the stuck front UI passes the cap; the
    // other front UI keeps reading everything.
    std::string line(120000, 'n');
    size_t read_other = 0;
    const int posts = 150;
    for (int i = 0; i < posts; ++i) {
        Send(sec, "post:" + line + "\n");
        read_other += Receive(other, line.size() + 1).size();
        Receive(sec, 7);
    }
    EXPECT_TRUE(PeerClosed(stuck));
    EXPECT_EQ(read_other, posts * (line.size() + 1));
    EXPECT_EQ(netOutputBytes(), 0u) << "the closed reader's queue went with it";
    EXPECT_NE(Log().find("handle_fui_post: output queue of client"), std::string::npos);
}

TEST_F(NetCoreTest, PeerGoneBeforeReplyIsClosedWithErrorLine) {
    int fd = Connect(sec_name_);
    Send(fd, "hello\n");
    shutdown(fd, SHUT_RDWR);
    ASSERT_TRUE(Pump([&] { return secsoft_listener->max_client_fd < 0; }));
    // The request is read before the hang-up; its reply then meets EPIPE.
    EXPECT_NE(Log().find("|ERROR|handle_response: post data echo:hello\\n to secsoft-client "
                         "failed,because: Broken pipe\n"),
              std::string::npos)
        << Log();
}

// A notice goes first to a front UI whose peer has gone: the broadcast
// closes it, and the reply to its own line, held behind the notice, is never
// tried; the others still get the notice, and the record goes at the end.
TEST_F(NetCoreTest, BroadcastThatFailsClosesTheConnectionAndSkipsItsHeldReply) {
    int watcher = Connect(fui_name_);
    int sec = Connect(sec_name_);
    int gone = Connect(fui_name_);
    net_client_t *gc = last_server_;
    const int gfd = gc->fd;
    Send(sec, "post:note\n");
    ASSERT_TRUE(Serve([] { return g_lines == 1; }));
    Send(gone, "mine\n");
    ASSERT_TRUE(Serve([] { return g_lines == 2; }));
    close(gone);
    open_.erase(std::find(open_.begin(), open_.end(), gone));

    net_end_pass(elp_main);
    EXPECT_EQ(fui_listener->clients[gfd], nullptr) << "freed at the end of the pass";
    EXPECT_EQ(Arrived(watcher), "note\n");
    EXPECT_EQ(Arrived(sec), "posted\n");
    const std::string log = Log();
    EXPECT_NE(log.find("ERROR|handle_fui_post: post data note\\n to fui-client failed"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("post data echo:mine"), std::string::npos) << "no write after the close";
    Send(watcher, "still\n");
    EXPECT_EQ(Receive(watcher, 11), "echo:still\n");
}

// Nothing of a pass leaves before its end; then every front UI gets the
// notices in the order they were made, each before the reply of the line
// that made it, and each connection its replies in the order of its lines.
TEST_F(NetCoreTest, OutputOfAPassIsHeldUntilItsEndAndLeavesInOrder) {
    net_set_pass_end(TestPassEnd);
    int ui_a = Connect(fui_name_);
    int ui_b = Connect(fui_name_);
    int sec = Connect(sec_name_);
    g_watched = sec;
    Send(sec, "note:n1\none\npost:n2\n");
    ASSERT_TRUE(Serve([] { return g_lines == 3; }));
    Send(ui_b, "note:n3\ntwo\n");
    ASSERT_TRUE(Serve([] { return g_lines == 5; }));
    for (int fd : {ui_a, ui_b, sec}) EXPECT_EQ(Arrived(fd), "") << "sent before the pass ended";

    const int ends = g_pass_ends;
    net_end_pass(elp_main);
    EXPECT_EQ(g_pass_ends, ends + 1);
    EXPECT_FALSE(g_output_before_commit) << "output left before the pass-end procedure";
    EXPECT_EQ(Arrived(sec), "noted:n1\necho:one\nposted\n");
    EXPECT_EQ(Arrived(ui_a), "n1\nn2\nn3\n");
    EXPECT_EQ(Arrived(ui_b), "n1\nn2\nn3\nnoted:n3\necho:two\n");
    net_end_pass(elp_main);
    EXPECT_EQ(Arrived(ui_b), "") << "held output is sent once";
}

// The pass-end procedure's answer decides the form of the replies and
// whether the notices leave at all.
TEST_F(NetCoreTest, FailedCommitSendsTheFailedFormsAndDropsTheNotices) {
    struct Case {
        bool committed;
        const char *product, *ui, *log;
    };
    const Case cases[] = {
        {true, "done:a\nnoted:x\nposted\necho:b\n", "x\ny\n", nullptr},
        {false, "undone:a\nnoted:x\nposted\necho:b\n", "",
         "|ERROR|the commit of the pass failed,2 notifications dropped\n"},
    };
    net_set_pass_end(TestPassEnd);
    int ui = Connect(fui_name_);
    int sec = Connect(sec_name_);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.committed);
        g_lines = 0;
        g_commit_ok = k.committed;
        Send(sec, "risky:a\nnote:x\npost:y\nb\n");
        ASSERT_TRUE(Serve([] { return g_lines == 4; }));
        net_end_pass(elp_main);
        EXPECT_EQ(Arrived(sec), k.product);
        EXPECT_EQ(Arrived(ui), k.ui);
        EXPECT_EQ(Log().find("notifications dropped") != std::string::npos, k.log != nullptr);
        if (k.log != nullptr) {
            EXPECT_NE(Log().find(k.log), std::string::npos) << Log();
        }
    }
}

// However a connection is closed during a pass, its record stays (marked,
// without events or output) until the pass ends; then it is freed and its
// held reply never sent.
TEST_F(NetCoreTest, ConnectionClosedDuringAPassGetsNothingAndGoesAtItsEnd) {
    struct Case {
        const char *name;
        std::function<void(int fd, net_client_t *c)> close;
    };
    const Case cases[] = {
        {"end of stream",
         [this](int fd, net_client_t *c) {
             shutdown(fd, SHUT_WR);
             ASSERT_TRUE(Serve([c] { return c->closing != 0; }));
         }},
        {"idle sweep",
         [](int, net_client_t *c) {
             c->last_active = aeGetMonoticNow() - kSecSoftIdleSeconds;
             clean_idle_client(elp_main, clean_idle_timer, secsoft_listener);
         }},
        {"net_close_client", [](int, net_client_t *c) { net_close_client(elp_main, c); }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        int fd = Connect(sec_name_);
        net_client_t *c = last_server_;
        ASSERT_NE(c, nullptr);
        const int sfd = c->fd;
        g_lines = 0;
        Send(fd, "big:300000\n");
        ASSERT_TRUE(Serve([] { return g_lines == 1; }));
        k.close(fd, c);
        ASSERT_EQ(secsoft_listener->clients[sfd], c) << "freed before the end of the pass";
        EXPECT_NE(c->closing, 0);
        EXPECT_EQ(aeGetFileEvents(elp_main, sfd), 0);
        EXPECT_EQ(c->outbuf, nullptr);
        EXPECT_EQ(netPendingFirst(), nullptr);

        net_end_pass(elp_main);
        EXPECT_EQ(secsoft_listener->clients[sfd], nullptr);
        accounted_[sfd] = false;  // the next case's connection may take the slot
        char b;
        EXPECT_EQ(read(fd, &b, 1), 0) << "end of stream, and not a byte of the reply";
        EXPECT_EQ(netOutputBytes(), 0u);
        close(fd);
        open_.erase(std::find(open_.begin(), open_.end(), fd));
    }
}

// The uninit ends the last pass: its writes are committed once, what it
// held reaches the connections still open, then they are closed.
TEST_F(NetCoreTest, UninitSendsWhatTheLastPassHeld) {
    net_set_pass_end(TestPassEnd);
    int ui = Connect(fui_name_);
    int sec = Connect(sec_name_);
    Send(sec, "note:bye\nlast\n");
    ASSERT_TRUE(Serve([] { return g_lines == 2; }));
    const int before = g_pass_ends;
    MoxNetCoreUninit();
    EXPECT_EQ(g_pass_ends, before + 1);
    EXPECT_EQ(Arrived(sec), "noted:bye\necho:last\n");
    EXPECT_EQ(Arrived(ui), "bye\n");
    char b;
    EXPECT_EQ(read(sec, &b, 1), 0);
}

TEST_F(NetCoreTest, DescriptorBeyondTheTableIsRefused) {
    vk_test::ScopedDescriptorLimit limit(1100);
    if (!limit.ok()) GTEST_SKIP() << "descriptor limit too low for this test";
    std::vector<int> filler;
    int f;
    while ((f = open("/dev/null", O_RDONLY)) >= 0 && f < 1030) filler.push_back(f);
    if (f >= 0) close(f);

    int fd = vk_test::ConnectAbstract(sec_name_);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(PeerClosed(fd));
    EXPECT_NE(Log().find("ERROR|refuse client fd: "), std::string::npos);
    close(fd);
    for (int x : filler) close(x);

    int ok = Connect(sec_name_);
    Send(ok, "x\n");
    EXPECT_EQ(Receive(ok, 7), "echo:x\n");
}

TEST_F(NetCoreTest, OutOfDescriptorsShedsPendingConnectionsWithoutSpinning) {
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(s, 0);
        clients.push_back(s);
    }
    std::vector<int> filler;
    int f;
    while ((f = open("/dev/null", O_RDONLY)) >= 0) filler.push_back(f);
    ASSERT_EQ(errno, EMFILE);

    for (int s : clients) {
        struct sockaddr_un sa;
        socklen_t len = anetUnixAddress(nullptr, sec_name_.c_str(), &sa);
        ASSERT_EQ(connect(s, reinterpret_cast<struct sockaddr *>(&sa), len), 0);
    }
    for (int i = 0; i < 200; ++i) aeProcessEvents(elp_main, AE_PROCESS_ALL | AE_PROCESS_NOWAIT);
    // Every pending connection was accepted and dropped; nothing is left
    // to report, so a pass now handles no event.
    EXPECT_EQ(aeProcessEvents(elp_main, AE_PROCESS_FILES | AE_PROCESS_NOWAIT), 0);
    for (int x : filler) close(x);

    for (int s : clients) {
        char b;
        EXPECT_EQ(read(s, &b, 1), 0) << "the pending connection was closed";
        close(s);
    }
    size_t lines = vk_test::Occurrences(Log(), "Accepting client connection");
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 3u) << "failures are logged at most once a second";

    // The failures that were not logged are counted in one line once their
    // second is over, at the next connection accepted.
    const std::string dropped = "|ERROR|Accepting client connection on " + sec_name_ + ": ";
    ASSERT_TRUE(vk_test::WaitFor([&] {
        int probe = vk_test::ConnectAbstract(sec_name_);
        aeProcessEvents(elp_main, AE_PROCESS_ALL | AE_PROCESS_NOWAIT);
        if (probe >= 0) close(probe);
        aeProcessEvents(elp_main, AE_PROCESS_ALL | AE_PROCESS_NOWAIT);
        return Log().find(dropped) != std::string::npos;
    })) << Log();
    const std::string log = Log();
    const long count = atol(log.c_str() + log.find(dropped) + dropped.size());
    EXPECT_GE(count, 1);
    EXPECT_NE(log.find(" more failures in that second not logged\n"), std::string::npos) << log;
    EXPECT_EQ(1u, vk_test::Occurrences(log, dropped)) << "said once";

    int ok = Connect(sec_name_);
    Send(ok, "y\n");
    EXPECT_EQ(Receive(ok, 7), "echo:y\n");
}

TEST_F(NetCoreTest, SweepTimerRunsByItselfAndEndsWhenNothingIsLeft) {
    // A short period, so that the loop fires the timer within the test; a
    // connection ages only by its clock, set back here.
    net_secsoft_set_sweep(20, kSecSoftIdleSeconds);
    int idle = Connect(sec_name_);
    net_client_t *c = last_server_;
    const long long first = clean_idle_timer;
    ASSERT_NE(first, -1) << "the first connection starts the sweep";
    // Not idle yet: a sweep passes and keeps it and itself.
    Pump([] { return false; }, 60);
    EXPECT_EQ(secsoft_listener->clients[c->fd], c);
    EXPECT_EQ(clean_idle_timer, first);
    // Its last output a minute ago: the next sweep closes it and, with
    // nothing left, removes itself.
    c->last_active = aeGetMonoticNow() - kSecSoftIdleSeconds;
    EXPECT_TRUE(PeerClosed(idle));
    EXPECT_NE(Log().find("INFO|clean idle client ,fd: "), std::string::npos);
    EXPECT_TRUE(Pump([] { return clean_idle_timer == -1; }));
    EXPECT_EQ(secsoft_listener->max_client_fd, -1);
    // A later connection starts a new sweep.
    Connect(sec_name_);
    EXPECT_NE(clean_idle_timer, -1);
    EXPECT_NE(clean_idle_timer, first);
}

TEST_F(NetCoreTest, SweepClosesOnlyIdleSecSoftConnectionsAndStopsWhenNoneLeft) {
    int idle = Connect(sec_name_);
    net_client_t *idle_c = last_server_;
    int busy = Connect(sec_name_);
    ASSERT_NE(clean_idle_timer, -1);
    idle_c->last_active = aeGetMonoticNow() - kSecSoftIdleSeconds;

    EXPECT_EQ(clean_idle_client(elp_main, clean_idle_timer, secsoft_listener), 5000);
    EXPECT_TRUE(PeerClosed(idle));
    EXPECT_NE(Log().find("INFO|clean idle client ,fd: "), std::string::npos);
    Send(busy, "z\n");
    EXPECT_EQ(Receive(busy, 7), "echo:z\n");

    close(busy);
    open_.clear();
    ASSERT_TRUE(Pump([&] { return secsoft_listener->max_client_fd < 0; }));
    EXPECT_NE(Log().find("INFO|refresh new max client-fd to: -1"), std::string::npos);
    EXPECT_EQ(clean_idle_client(elp_main, clean_idle_timer, secsoft_listener), AE_TIMER_STOP);
    EXPECT_EQ(clean_idle_timer, -1);
}

TEST_F(NetCoreTest, InputBufferGrowsForALongLineAndIsReleasedWhenEmpty) {
    int fd = Connect(sec_name_);
    net_client_t *c = last_server_;
    Send(fd, "one\n");
    EXPECT_EQ(Receive(fd, 9), "echo:one\n");
    EXPECT_EQ(c->inbuf, nullptr) << "an idle connection holds no input buffer";

    // An incomplete line doubles the buffer from its first size, no further
    // than the line needs.
    size_t sent = 0;
    for (size_t upto : {size_t{100}, size_t{5000}, size_t{70000}}) {
        SCOPED_TRACE(upto);
        Send(fd, std::string(upto - sent, 'a'));
        sent = upto;
        ASSERT_TRUE(Pump([&] {
            return c->inbuf != nullptr &&
                   static_cast<size_t>(c->inbuf->last - c->inbuf->pos) == sent;
        }));
        size_t cap = asBufferCapacity(c->inbuf);
        EXPECT_GE(cap, sent);
        EXPECT_LT(cap, std::max(2 * sent, kNetBufferInitial + 1));
        EXPECT_EQ(cap & (cap - 1), 0u) << cap << " is not the first size doubled";
    }
    // Completed, answered, and released; an incomplete rest keeps it.
    Send(fd, "\nquiet\npart");
    EXPECT_EQ(Receive(fd, 5 + sent + 1), "echo:" + std::string(sent, 'a') + "\n");
    ASSERT_TRUE(Pump([&] { return c->inbuf != nullptr && c->inbuf->last - c->inbuf->pos == 4; }));
    EXPECT_EQ(std::string(c->inbuf->pos, c->inbuf->last), "part");
    Send(fd, "\n");
    EXPECT_EQ(Receive(fd, 10), "echo:part\n");
    EXPECT_EQ(c->inbuf, nullptr);
}

TEST_F(NetCoreTest, PipelinedLinesAreHandledABoundedNumberPerPass) {
    int flood = Connect(sec_name_);
    net_client_t *fc = last_server_;
    int other = Connect(fui_name_);
    const int lines = 100;
    std::string burst, expect;
    for (int i = 0; i < lines; ++i) {
        burst += "l" + std::to_string(i) + "\n";
        expect += "echo:l" + std::to_string(i) + "\n";
    }
    Send(flood, burst);
    ASSERT_TRUE(Pump([&] { return fc->pending; }));
    net_end_pass(elp_main);  // the lines read with the rest are answered at the pass's end
    std::string got = Receive(flood, 1, 0);
    EXPECT_EQ(got, expect.substr(0, got.size()));
    EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), kNetLinesPerPass);
    EXPECT_EQ(netPendingFirst(), fc);

    // The other client is answered while most of the flood still waits.
    Send(other, "hello\n");
    EXPECT_EQ(Receive(other, 11), "echo:hello\n");
    got += Receive(flood, 1, 0);
    EXPECT_LT(std::count(got.begin(), got.end(), '\n'), lines / 2);

    // The rest is handled with no further bytes from the flooder, in order,
    // and the loop sleeps again once nothing is pending.
    got += Receive(flood, expect.size() - got.size());
    EXPECT_EQ(got, expect);
    EXPECT_FALSE(fc->pending);
    EXPECT_EQ(netPendingFirst(), nullptr);
    EXPECT_EQ(fc->inbuf, nullptr);
    Pass();
    EXPECT_EQ(elp_main->dont_wait, 0);
}

// The backlog holds kNetListenBacklog connections (a connect past it would
// wait); they are accepted many per pass, no more than kNetAcceptsPerPass
// per listener.
TEST_F(NetCoreTest, BacklogIsBoundedAndAcceptedInBoundedBatches) {
    net_set_uid_connection_limit(1000);  // all of them are this test's uid
    struct sockaddr_un sa;
    socklen_t len = anetUnixAddress(nullptr, sec_name_.c_str(), &sa);
    int waiting = 0;
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), len) != 0) {
            EXPECT_EQ(errno, EAGAIN);
            close(fd);
            break;
        }
        open_.push_back(fd);
        ASSERT_LE(++waiting, 4 * kNetListenBacklog);
    }
    EXPECT_EQ(waiting, kNetListenBacklog + 1);  // the kernel lets one more in
    auto held = [] {
        int n = 0;
        for (int fd = 0; fd <= secsoft_listener->max_client_fd; ++fd)
            n += secsoft_listener->clients[fd] != nullptr;
        return n;
    };
    for (int expect : {kNetAcceptsPerPass, 2 * kNetAcceptsPerPass, waiting, waiting}) {
        aeProcessEvents(elp_main, AE_PROCESS_FILES | AE_PROCESS_NOWAIT);
        EXPECT_EQ(held(), std::min(expect, waiting));
    }
    net_set_uid_connection_limit(0);
}

// A connection of the share tests: what it sent asks for, what came back.
struct EchoPeer {
    int fd;
    std::string expect, got;
};

// The replies a group of connections has received, counted by line.
long LinesGot(const std::vector<EchoPeer> &group) {
    long n = 0;
    for (const EchoPeer &p : group) n += std::count(p.got.begin(), p.got.end(), '\n');
    return n;
}

// Reads what waits on each connection (non-blocking) into its `got`.
void DrainAll(std::vector<EchoPeer> &group) {
    for (EchoPeer &p : group) {
        char buf[65536];
        ssize_t n;
        while ((n = read(p.fd, buf, sizeof(buf))) > 0) p.got.append(buf, static_cast<size_t>(n));
    }
}

// The lines handled per pass are shared per uid: four busy connections of
// one uid together get what one busy connection of another uid gets, and
// take turns in it; every connection's replies stay in order.
TEST_F(NetCoreTest, LinesPerPassAreSharedBetweenUidsNotConnections) {
    const int lines = 100;
    std::vector<EchoPeer> many, one;
    for (int i = 0; i < 5; ++i) {
        int fd = Connect(sec_name_);
        last_server_->peer.uid = i < 4 ? 5001 : 5002;
        (i < 4 ? many : one).push_back({fd, "", ""});
    }
    int c = 0;
    for (std::vector<EchoPeer> *group : {&many, &one})
        for (EchoPeer &p : *group) {
            std::string burst;
            for (int i = 0; i < lines; ++i) {
                std::string l = "c" + std::to_string(c) + "l" + std::to_string(i);
                burst += l + "\n";
                p.expect += "echo:" + l + "\n";
            }
            ++c;
            Send(p.fd, burst);
        }
    for (int pass = 1; LinesGot(one) < lines; ++pass) {
        ASSERT_LE(pass, lines);
        Pass();
        net_end_pass(elp_main);  // the lines the events served are answered
        DrainAll(many);
        DrainAll(one);
        SCOPED_TRACE(pass);
        EXPECT_EQ(LinesGot(one), std::min(lines, pass * kNetLinesPerPass));
        EXPECT_EQ(LinesGot(many), pass * kNetLinesPerPass);
        if (pass == 4) {
            for (const EchoPeer &p : many)
                EXPECT_EQ(std::count(p.got.begin(), p.got.end(), '\n'), kNetLinesPerPass)
                    << "each of the four had its turn";
        }
    }
    // The rest follows, each connection in order.
    for (std::vector<EchoPeer> *group : {&many, &one})
        for (EchoPeer &p : *group) {
            p.got += Receive(p.fd, p.expect.size() - p.got.size());
            EXPECT_TRUE(p.got == p.expect);
        }
    EXPECT_EQ(netPendingFirst(), nullptr);
}

// The share also counts bytes: a uid whose three connections pipeline
// lines of 8 KiB gets no more lines per pass than its bytes allow (a line
// is begun while any byte is left), while another uid's short lines get
// their full count of lines in the same passes, the first answered in the
// first pass. Each connection starts with a line of 60 KiB, which leaves
// it a buffer that holds several of the others. Every line is answered in
// the end, each connection in order.
TEST_F(NetCoreTest, LongLinesGetProportionallyFewerPerPass) {
    const size_t kLong = 8192;
    const int kLongLines = 12;
    std::vector<EchoPeer> heavy, light;
    for (int i = 0; i < 4; ++i) {
        int fd = Connect(sec_name_);
        last_server_->peer.uid = i < 3 ? 5001 : 5002;
        (i < 3 ? heavy : light).push_back({fd, "", ""});
    }
    for (size_t i = 0; i < heavy.size(); ++i) {
        std::string burst;
        for (int n = 0; n < kLongLines; ++n) {
            std::string l = "c" + std::to_string(i) + "l" + std::to_string(n);
            l.resize(n == 0 ? 60 * 1024 : kLong, 'x');
            heavy[i].expect += "echo:" + l + "\n";
            burst += l + "\n";
        }
        Send(heavy[i].fd, burst);
    }
    std::string small;
    for (int n = 0; n < 3 * kNetLinesPerPass; ++n) {
        small += "s" + std::to_string(n) + "\n";
        light[0].expect += "echo:s" + std::to_string(n) + "\n";
    }
    Send(light[0].fd, small);

    // Lines of kLong bytes and a line feed begun while bytes are left.
    const long most = static_cast<long>((kNetBytesPerPass + kLong) / (kLong + 1));
    ASSERT_LT(most, kNetLinesPerPass);
    long at_most = 0;
    for (int pass = 1; LinesGot(heavy) < 3 * kLongLines; ++pass) {
        ASSERT_LE(pass, 200);
        const long heavy_before = LinesGot(heavy), light_before = LinesGot(light);
        Pass();
        net_end_pass(elp_main);  // the lines the events served are answered
        DrainAll(heavy);
        DrainAll(light);
        SCOPED_TRACE(pass);
        const long served = LinesGot(heavy) - heavy_before;
        EXPECT_LE(served, most);
        at_most += served == most;
        // The short lines keep their whole count of lines per pass.
        EXPECT_EQ(LinesGot(light) - light_before,
                  std::min<long>(kNetLinesPerPass, 3 * kNetLinesPerPass - light_before));
    }
    EXPECT_GT(at_most, 0) << "the byte share was never reached";
    for (std::vector<EchoPeer> *group : {&heavy, &light})
        for (EchoPeer &p : *group) {
            p.got += Receive(p.fd, p.expect.size() - p.got.size());
            EXPECT_TRUE(p.got == p.expect);
        }
}

TEST_F(NetCoreTest, ConnectionClosedWhileOnThePendingListLeavesIt) {
    int sec = Connect(sec_name_);
    int gone = Connect(fui_name_);
    net_client_t *gc = last_server_;
    std::string burst;
    for (int i = 0; i < 100; ++i) burst += "quiet\n";
    Send(gone, burst);
    ASSERT_TRUE(Pump([&] { return gc->pending; }));
    // Its peer goes away; a broadcast then fails on it and closes it while
    // it waits on the pending list.
    close(gone);
    open_.erase(std::find(open_.begin(), open_.end(), gone));
    Send(sec, "post:note\n");
    ASSERT_TRUE(Pump([&] { return fui_listener->max_client_fd < 0; }));
    EXPECT_EQ(netPendingFirst(), nullptr);
    EXPECT_EQ(Receive(sec, 7), "posted\n");
}

// Bad input of all the connections of one uid (this process's) shares one
// budget of lines; the rest is counted in one line once they are closed and
// quiet.
TEST_F(NetCoreTest, BadInputOfOneUidTakesABoundedShareOfTheLog) {
    const unsigned budget = geteuid() == 0 ? kNetLogRootLines : kNetLogBudgetLines;
    const unsigned per = budget + 7;
    std::vector<int> fds = {Connect(sec_name_), Connect(sec_name_), Connect(fui_name_)};
    for (size_t k = 0; k < fds.size(); ++k) {
        std::string burst;
        for (unsigned i = 0; i < per; ++i)
            burst += "bad:" + std::to_string(k) + "-" + std::to_string(i) + "\n";
        Send(fds[k], burst + "sync\n");
        EXPECT_EQ(Receive(fds[k], 10), "echo:sync\n");
    }
    EXPECT_EQ(vk_test::Occurrences(Log(), "suppressed "), 0u) << "connections still open";
    for (int fd : fds) {
        close(fd);
        open_.erase(std::find(open_.begin(), open_.end(), fd));
    }
    const std::string count = "|WARNING|suppressed " + std::to_string(3 * per - budget) +
                              " lines from uid " + std::to_string(geteuid()) + ": " +
                              std::to_string(3 * per - budget) + " about bad input";
    ASSERT_TRUE(Pump([&] { return Log().find(count) != std::string::npos; }, 10000)) << Log();
    std::string log = Log();
    EXPECT_EQ(vk_test::Occurrences(log, "|ERROR|bad line "), budget);
    EXPECT_EQ(vk_test::Occurrences(log, "|WARNING|suppressed "), 1u);
    EXPECT_NE(log.find("peer of client fd: "), std::string::npos);
}

TEST_F(NetCoreTest, AllOutputTogetherStaysWithinItsBudget) {
    // Four front UIs that never read grow their queues to the largest
    // buffer each, nearly the budget for all output together.
    std::vector<net_client_t *> stuck;
    for (int i = 0; i < 4; ++i) {
        Connect(fui_name_);
        stuck.push_back(last_server_);
    }
    int reader = Connect(fui_name_);
    int sec = Connect(sec_name_);
    ASSERT_EQ(4 * kNetMaxQueuedOutput, kNetMaxTotalOutput);
    const std::string line(120000, 'n');
    auto post = [&] {
        Send(sec, "post:" + line + "\n");
        ASSERT_EQ(Receive(reader, line.size() + 1).size(), line.size() + 1);
        ASSERT_EQ(Receive(sec, 7), "posted\n");
        ASSERT_LE(netOutputBytes(), kNetMaxTotalOutput);
    };
    auto full = [&] {
        for (net_client_t *c : stuck)
            if (c->outbuf == nullptr || asBufferCapacity(c->outbuf) <= kNetMaxQueuedOutput / 2)
                return false;
        return true;
    };
    for (int i = 0; i < 200 && !full(); ++i) post();
    ASSERT_TRUE(full());
    EXPECT_EQ(Log().find("output of all clients"), std::string::npos);

    // A fifth one that does not read either: as its queue grows, room is
    // made by cutting off one of the four, long before their own limits.
    Connect(fui_name_);
    net_client_t *fifth = last_server_;
    for (int i = 0; i < 40 && Log().find("output of all clients") == std::string::npos; ++i) post();
    EXPECT_EQ(Log().find("would pass 16777216 bytes"), std::string::npos);
    std::string log = Log();
    size_t at = log.find(
        "ERROR|handle_fui_post: output of all clients would pass 67108864 "
        "bytes,cut off the largest: client ,fd: ");
    ASSERT_NE(at, std::string::npos) << log;
    int victim = atoi(log.c_str() + log.find("fd: ", at) + 4);
    EXPECT_NE(victim, fifth->fd);
    EXPECT_EQ(fui_listener->clients[victim], nullptr);
    EXPECT_EQ(fui_listener->clients[fifth->fd], fifth);
}

TEST_F(NetCoreTest, ServedConnectionHoldingTheMostOutputIsCutOffWhenItsLineEnds) {
    // A product that never reads holds nearly the largest queue, then
    // broadcasts to seven front UIs that never read either.
    std::vector<int> stuck;
    for (int i = 0; i < 7; ++i) stuck.push_back(Connect(fui_name_));
    int sec = Connect(sec_name_);
    net_client_t *sc = last_server_;
    const int sfd = sc->fd;
    Send(sec, "big:8000000\nbig:8000000\n");
    ASSERT_TRUE(Pump([&] { return sc->outbuf && sc->outbuf->last - sc->outbuf->pos > 15000000; }));
    const std::string post = "post:" + std::string(120000, 'n') + "\n";
    // The product may be cut off while its line is still being written.
    auto send_post = [&] {
        for (size_t off = 0; off < post.size();) {
            ssize_t w = write(sec, post.data() + off, post.size() - off);
            if (w < 0 && errno == EAGAIN) {
                Pump([] { return true; }, 1);
                continue;
            }
            if (w <= 0) return false;
            off += static_cast<size_t>(w);
        }
        return true;
    };
    for (int i = 0; i < 100 && secsoft_listener->clients[sfd] == sc; ++i) {
        if (!send_post()) break;
        Pump([] { return false; }, 2);
        ASSERT_LE(netOutputBytes(), kNetMaxTotalOutput);
    }
    EXPECT_TRUE(PeerClosed(sec));
    EXPECT_NE(Log().find("cut off the largest: client ,fd: " + std::to_string(sfd) +
                         " from listener: " + sec_name_),
              std::string::npos);
    // Only the product went: every front UI is still there.
    int left = 0;
    for (int fd = 0; fd <= fui_listener->max_client_fd; ++fd)
        left += fui_listener->clients[fd] != nullptr;
    EXPECT_EQ(left, 7);
}

TEST_F(NetCoreTest, LastSlotsOfTheTableAreKeptForRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the test connects as another user";
    vk_test::ScopedDescriptorLimit limit(1100);
    if (!limit.ok()) GTEST_SKIP() << "descriptor limit too low for this test";

    // Two connections of another user: the first lands on the last slot
    // below the reserve, the second on the first reserved one.
    std::string name = fui_name_;
    vk_test::OtherUserProcess nobody([&name] {
        int answered = 0;
        for (int i = 0; i < 2; ++i) {
            int fd = vk_test::ConnectAbstract(name);
            char buf[16];
            if (fd < 0 || write(fd, "x\n", 2) != 2) return std::string("write failed");
            answered += read(fd, buf, sizeof(buf)) == 7;
        }
        return std::to_string(answered);
    });
    std::vector<int> filler;
    for (;;) {
        int f = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(f, 0);
        filler.push_back(f);
        if (f >= kNetMaxClients - kNetRootReserve - 2) break;
    }
    ASSERT_TRUE(Pump([&] { return nobody.Result().has_value(); }, 10000));
    EXPECT_EQ(*nobody.Result(), "1");
    EXPECT_NE(
        Log().find("|ERROR|refuse client fd: " + std::to_string(kNetMaxClients - kNetRootReserve) +
                   " from listener: " + fui_name_ +
                   ",uid: 65534,the last 64 slots of the client table are kept "
                   "for root"),
        std::string::npos)
        << Log();

    // Root takes a reserved slot.
    int ok = Connect(sec_name_);
    EXPECT_GE(last_server_->fd, kNetMaxClients - kNetRootReserve);
    Send(ok, "r\n");
    EXPECT_EQ(Receive(ok, 7), "echo:r\n");
    for (int x : filler) close(x);
}

// The descriptors open in this process, by number (the listing's own left out).
std::vector<std::string> OpenDescriptors() {
    std::vector<std::string> fds;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return {"<no /proc/self/fd>"};
    const std::string own = std::to_string(dirfd(d));
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != ".." && name != own) fds.push_back(name);
    }
    closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

// What a round of serving waits for before the loop is stopped.
struct ServeRound {
    int pinged = -1;  // client whose "ping" must be answered
    std::chrono::steady_clock::time_point deadline;
    bool timed_out = false;
};

bool FuiInputHeld() {
    for (int fd = 0; fd <= fui_listener->max_client_fd; ++fd)
        if (fui_listener->clients[fd] != nullptr && fui_listener->clients[fd]->inbuf != nullptr)
            return true;
    return false;
}

// Stops the loop once the ping is answered, output is queued and the front
// UI's half line is held, or at the deadline.
int StopWhenServed(aeEventLoop *, long long, void *data) {
    auto *round = static_cast<ServeRound *>(data);
    pollfd p = {round->pinged, POLLIN, 0};
    const bool served = poll(&p, 1, 0) == 1 && netOutputBytes() > 0 && FuiInputHeld();
    round->timed_out = !served && std::chrono::steady_clock::now() > round->deadline;
    if (!served && !round->timed_out) return 2;
    MoxNetCoreStop();
    return AE_TIMER_STOP;
}

// Init, serve through the real loop, uninit, twice: the uninit closes the
// listeners (the second init binds the same names again), every
// connection still open, with its input and queued output, and leaves no
// descriptor behind.
TEST(NetCoreLife, InitServeUninitTwiceLeavesNothingOpen) {
    signal(SIGPIPE, SIG_IGN);
    vk_test::TempRoot root;
    vk_test::ScopedRootEnv env(root.path());
    ASSERT_EQ(MoxLogInit(), 0);
    net_set_line_handler(TestLineHandler);
    const std::string sec = "@" + root.path() + "/sec";
    const std::string fui = "@" + root.path() + "/fui";
    const std::vector<std::string> before = OpenDescriptors();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(MoxNetCoreInit(sec.c_str(), fui.c_str()), 0);
        // Connected and written before the loop runs: the backlog holds them.
        const int pinged = vk_test::ConnectAbstract(sec);
        const int stalled = vk_test::ConnectAbstract(sec);  // never reads its reply
        const int half = vk_test::ConnectAbstract(fui);     // a line without its end
        ASSERT_GE(pinged, 0);
        ASSERT_GE(stalled, 0);
        ASSERT_GE(half, 0);
        ASSERT_EQ(write(pinged, "ping\n", 5), 5);
        ASSERT_EQ(write(stalled, "big:4000000\n", 12), 12);
        ASSERT_EQ(write(half, "half", 4), 4);
        ServeRound served;
        served.pinged = pinged;
        served.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        ASSERT_NE(aeCreateTimeEvent(elp_main, 1, StopWhenServed, &served, nullptr), -1);
        EXPECT_EQ(MoxNetCoreRunLoop(), 0);
        EXPECT_FALSE(served.timed_out);
        char buf[16] = "";
        EXPECT_EQ(read(pinged, buf, sizeof(buf)), 10);
        EXPECT_STREQ(buf, "echo:ping\n");

        MoxNetCoreUninit();
        EXPECT_EQ(elp_main, nullptr);
        EXPECT_EQ(secsoft_listener, nullptr);
        EXPECT_EQ(fui_listener, nullptr);
        EXPECT_EQ(netOutputBytes(), 0u);
        // The daemon's side of each connection is closed: end of stream.
        EXPECT_EQ(read(pinged, buf, sizeof(buf)), 0);
        EXPECT_EQ(read(half, buf, sizeof(buf)), 0);
        close(pinged);
        close(stalled);
        close(half);
        EXPECT_EQ(OpenDescriptors(), before);
    }
    net_set_line_handler(nullptr);
    MoxLogUninit();
}

}  // namespace
