// The event loop: registration bounds and masks, the order and safety of
// handler calls within one pass, timers, and the connection record's
// registration and release.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/ae/ae.h"
#include "net/ae/net.h"

namespace {

constexpr int kSetSize = 64;
using Log = std::vector<std::string>;

// client_data of the recording handlers.
struct Probe {
    Log *log;
    std::string tag;
    int other_fd = -1;  // RemoveOther deletes this descriptor's registration
};

void RecordRead(aeEventLoop *, int, void *data, int) {
    auto *p = static_cast<Probe *>(data);
    p->log->push_back(p->tag + ":r");
}

void RecordWrite(aeEventLoop *, int, void *data, int) {
    auto *p = static_cast<Probe *>(data);
    p->log->push_back(p->tag + ":w");
}

void RemoveOther(aeEventLoop *el, int, void *data, int) {
    auto *p = static_cast<Probe *>(data);
    p->log->push_back(p->tag + ":r");
    aeDeleteReadEvent(el, p->other_fd);
}

class AeLoop : public ::testing::Test {
protected:
    void SetUp() override {
        el = aeCreateEventLoop(kSetSize);
        ASSERT_NE(el, nullptr);
    }
    void TearDown() override {
        aeDeleteEventLoop(el);
        for (int fd : fds) close(fd);
    }
    void Pair(int sv[2]) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        fds.push_back(sv[0]);
        fds.push_back(sv[1]);
    }
    int Nowait() { return aeProcessEvents(el, AE_PROCESS_FILES | AE_PROCESS_NOWAIT); }

    aeEventLoop *el = nullptr;
    std::vector<int> fds;
    Log log;
};

TEST_F(AeLoop, RegistrationIsBoundedBySetSize) {
    int sv[2];
    Pair(sv);
    Probe p{&log, "p"};
    const struct {
        int fd;
        int result;
    } cases[] = {{kSetSize - 1, 0}, {kSetSize, -1}, {-1, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fd);
        if (c.fd >= 0) {
            ASSERT_EQ(dup2(sv[0], c.fd), c.fd);  // a valid descriptor: only the bound refuses it
            fds.push_back(c.fd);
        }
        EXPECT_EQ(aeCreateFileEvent(el, c.fd, AE_MASK_READ, RecordRead, &p), c.result);
        EXPECT_EQ(aeAddWriteEvent(el, c.fd, RecordWrite, &p), c.result);
        EXPECT_EQ(aeGetFileEvents(el, c.fd), c.result == 0 ? AE_MASK_READ | AE_MASK_WRITE : 0);
    }
    EXPECT_EQ(el->max_fd, kSetSize - 1);
}

TEST_F(AeLoop, MasksMergeAndRemovalLowersMaxFd) {
    int a[2], b[2];
    Pair(a);
    Pair(b);
    const int lo = a[0], hi = b[1];  // a[1] and b[0] stay unregistered in between
    Probe pl{&log, "lo"}, ph{&log, "hi"};
    ASSERT_EQ(aeCreateFileEvent(el, lo, AE_MASK_READ, RecordRead, &pl), 0);
    ASSERT_EQ(aeCreateFileEvent(el, hi, AE_MASK_READ, RecordRead, &ph), 0);
    ASSERT_EQ(aeCreateFileEvent(el, hi, AE_MASK_WRITE, RecordWrite, &ph), 0);
    EXPECT_EQ(aeGetFileEvents(el, hi), AE_MASK_READ | AE_MASK_WRITE);
    EXPECT_EQ(el->max_fd, hi);

    EXPECT_EQ(Nowait(), 1);  // a socket is writable at once, not readable
    EXPECT_EQ(log, Log({"hi:w"}));

    log.clear();
    aeDeleteWriteEvent(el, hi);
    EXPECT_EQ(aeGetFileEvents(el, hi), AE_MASK_READ);
    EXPECT_EQ(el->max_fd, hi);
    EXPECT_EQ(Nowait(), 0);  // epoll no longer watches for writability
    EXPECT_TRUE(log.empty());

    aeDeleteReadEvent(el, hi);
    EXPECT_EQ(el->max_fd, lo);
    aeDeleteReadEvent(el, lo);
    EXPECT_EQ(el->max_fd, -1);
    // The descriptor left the epoll set too: adding it again is not refused.
    EXPECT_EQ(aeCreateFileEvent(el, hi, AE_MASK_WRITE, RecordWrite, &ph), 0);
    EXPECT_EQ(el->max_fd, hi);
}

TEST_F(AeLoop, AddReadEventKeepsTheFirstHandler) {
    const struct {
        bool use_add;
        Log expected;
    } cases[] = {{true, {"first:r"}}, {false, {"second:r"}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.use_add ? "aeAddReadEvent" : "aeCreateFileEvent");
        int sv[2];
        Pair(sv);
        Probe first{&log, "first"}, second{&log, "second"};
        ASSERT_EQ(aeAddReadEvent(el, sv[0], RecordRead, &first), 0);
        if (c.use_add)
            EXPECT_EQ(aeAddReadEvent(el, sv[0], RecordRead, &second), 0);
        else
            EXPECT_EQ(aeCreateFileEvent(el, sv[0], AE_MASK_READ, RecordRead, &second), 0);
        ASSERT_EQ(write(sv[1], "x", 1), 1);
        log.clear();
        EXPECT_EQ(Nowait(), 1);
        EXPECT_EQ(log, c.expected);
        aeDeleteReadEvent(el, sv[0]);
    }
}

TEST_F(AeLoop, HandlerRemovingALaterDescriptorPreventsItsCall) {
    int x[2], y[2];
    Pair(x);
    Pair(y);
    Probe px{&log, "x", y[0]}, py{&log, "y", x[0]};
    ASSERT_EQ(aeCreateFileEvent(el, x[0], AE_MASK_READ, RemoveOther, &px), 0);
    ASSERT_EQ(aeCreateFileEvent(el, y[0], AE_MASK_READ, RemoveOther, &py), 0);
    ASSERT_EQ(write(x[1], "x", 1), 1);
    ASSERT_EQ(write(y[1], "y", 1), 1);
    // Both are ready in the same pass; whichever runs first removes the other.
    EXPECT_EQ(Nowait(), 2);
    EXPECT_EQ(log.size(), 1u);
}

TEST_F(AeLoop, HangUpWithoutDataReachesTheReader) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fds.push_back(p[0]);
    Probe pr{&log, "pipe"};
    ASSERT_EQ(aeCreateFileEvent(el, p[0], AE_MASK_READ, RecordRead, &pr), 0);
    close(p[1]);  // the reader sees only EPOLLHUP
    EXPECT_EQ(Nowait(), 1);
    EXPECT_EQ(log, Log({"pipe:r"}));
}

// Handlers of a connection record; the record's owner is the test's context.
struct ClientCtx {
    Log *log;
    bool free_in_read;
};

void ClientRead(aeEventLoop *el, int, void *data, int) {
    auto *c = static_cast<net_client_t *>(data);
    auto *ctx = static_cast<ClientCtx *>(c->owner);
    ctx->log->push_back("r");
    if (ctx->free_in_read) freeClient(el, c);
}

void ClientWrite(aeEventLoop *, int, void *data, int) {
    auto *c = static_cast<net_client_t *>(data);
    static_cast<ClientCtx *>(c->owner)->log->push_back("w");
}

TEST_F(AeLoop, ClientFreedByItsReadHandlerGetsNoWriteCall) {
    const struct {
        bool free_in_read;
        Log expected;
    } cases[] = {{true, {"r"}}, {false, {"r", "w"}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.free_in_read);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        fds.push_back(sv[1]);
        ClientCtx ctx{&log, c.free_in_read};
        net_client_t *client = createClient(el, sv[0], "peer", ClientRead, ClientWrite, &ctx);
        ASSERT_NE(client, nullptr);
        EXPECT_STREQ(client->name, "peer");
        EXPECT_EQ(aeGetFileEvents(el, sv[0]), 0);  // nothing armed yet
        ASSERT_EQ(handleClientReadEvent(el, client), 0);
        ASSERT_EQ(handleClientReadEvent(el, client), 0);
        ASSERT_EQ(handleClientWriteEvent(el, client), 0);
        ASSERT_EQ(write(sv[1], "x", 1), 1);

        log.clear();
        EXPECT_EQ(Nowait(), 1);
        EXPECT_EQ(log, c.expected);
        if (!c.free_in_read) freeClient(el, client);
        EXPECT_EQ(aeGetFileEvents(el, sv[0]), 0);
        EXPECT_EQ(el->max_fd, -1);
        EXPECT_EQ(fcntl(sv[0], F_GETFD), -1);  // the record closed its descriptor
    }
}

TEST(AeDeathTest, ConnectionRecordGuardsAgainstProgrammingErrors) {
    EXPECT_DEATH(createClient(nullptr, -1, nullptr, nullptr, nullptr, nullptr), "fd >= 0");
    EXPECT_DEATH(freeClient(nullptr, nullptr), "c != NULL");
}

// client_data of the timer procedures.
struct TimerProbe {
    int runs = 0;
    int result = AE_TIMER_STOP;
    int finalized = 0;
    void *finalized_with = nullptr;
    bool delete_self = false;
    bool stop_loop = false;
    TimerProbe *create_on_run = nullptr;  // a 0 ms timer to create when run
};

void FinalizeTimer(aeEventLoop *, void *data) {
    auto *t = static_cast<TimerProbe *>(data);
    t->finalized++;
    t->finalized_with = data;
}

int RunTimer(aeEventLoop *el, long long id, void *data) {
    auto *t = static_cast<TimerProbe *>(data);
    t->runs++;
    if (t->create_on_run) aeCreateTimeEvent(el, 0, RunTimer, t->create_on_run, FinalizeTimer);
    if (t->delete_self) aeDeleteTimeEvent(el, id);
    if (t->stop_loop) aeStop(el);
    return t->result;
}

// Runs passes until done() holds; fails after a generous deadline.
template <typename Done>
void PassUntil(aeEventLoop *el, int flags, Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        aeProcessEvents(el, flags);
    }
}

TEST_F(AeLoop, LoopSleepsUntilTheNearestTimer) {
    int sv[2];
    Pair(sv);
    Probe idle{&log, "idle"};
    ASSERT_EQ(aeCreateFileEvent(el, sv[0], AE_MASK_READ, RecordRead, &idle), 0);
    TimerProbe far1, near, far2;
    aeCreateTimeEvent(el, 3600 * 1000, RunTimer, &far1, nullptr);
    aeCreateTimeEvent(el, 20, RunTimer, &near, nullptr);
    aeCreateTimeEvent(el, 3600 * 1000, RunTimer, &far2, nullptr);
    // Sleeping for the wrong timer would block here for an hour.
    PassUntil(el, AE_PROCESS_ALL, [&] { return near.runs > 0; });
    EXPECT_EQ(near.runs, 1);
    EXPECT_EQ(far1.runs + far2.runs, 0);
    EXPECT_TRUE(log.empty());
}

TEST_F(AeLoop, TimerCreatedDuringAPassWaitsForTheNext) {
    for (bool by_file_handler : {true, false}) {
        SCOPED_TRACE(by_file_handler ? "created by a file handler" : "created by a timer");
        TimerProbe created, creator;
        creator.create_on_run = &created;
        int sv[2];
        Pair(sv);
        if (by_file_handler) {
            auto create = [](aeEventLoop *el, int fd, void *data, int) {
                aeCreateTimeEvent(el, 0, RunTimer, data, FinalizeTimer);
                aeDeleteReadEvent(el, fd);
            };
            ASSERT_EQ(aeCreateFileEvent(el, sv[0], AE_MASK_READ, create, &created), 0);
            ASSERT_EQ(write(sv[1], "x", 1), 1);
        } else {
            aeCreateTimeEvent(el, 0, RunTimer, &creator, nullptr);
        }
        EXPECT_EQ(aeProcessEvents(el, AE_PROCESS_ALL | AE_PROCESS_NOWAIT), 1);
        EXPECT_EQ(created.runs, 0);
        EXPECT_EQ(aeProcessEvents(el, AE_PROCESS_ALL | AE_PROCESS_NOWAIT), 1);
        EXPECT_EQ(created.runs, 1);
        EXPECT_EQ(created.finalized, 1);
    }
}

TEST_F(AeLoop, TimerRemovedByItsResultOrByItselfIsFinalizedOnce) {
    for (bool delete_self : {false, true}) {
        SCOPED_TRACE(delete_self ? "deletes itself" : "returns AE_TIMER_STOP");
        TimerProbe t;
        t.delete_self = delete_self;
        t.result = delete_self ? 1000 : AE_TIMER_STOP;
        long long id = aeCreateTimeEvent(el, 0, RunTimer, &t, FinalizeTimer);
        ASSERT_GE(id, 0);
        EXPECT_EQ(aeProcessEvents(el, AE_PROCESS_TIMERS | AE_PROCESS_NOWAIT), 1);
        EXPECT_EQ(t.runs, 1);
        EXPECT_EQ(t.finalized, 1);
        EXPECT_EQ(t.finalized_with, &t);
        EXPECT_EQ(el->timers, nullptr);
        EXPECT_EQ(aeDeleteTimeEvent(el, id), -1);
    }
}

TEST_F(AeLoop, TimerReturningZeroRunsAgainOnlyInALaterPass) {
    TimerProbe t;
    t.result = 0;
    long long id = aeCreateTimeEvent(el, 0, RunTimer, &t, FinalizeTimer);
    EXPECT_EQ(aeProcessEvents(el, AE_PROCESS_TIMERS | AE_PROCESS_NOWAIT), 1);
    EXPECT_EQ(t.runs, 1);
    PassUntil(el, AE_PROCESS_TIMERS, [&] { return t.runs == 2; });
    EXPECT_EQ(aeDeleteTimeEvent(el, id), 0);
    EXPECT_EQ(t.finalized, 1);
}

TEST_F(AeLoop, PassWithoutFilesOrTimersToHandleReturnsAtOnce) {
    TimerProbe due, far;
    aeCreateTimeEvent(el, 0, RunTimer, &due, nullptr);
    aeCreateTimeEvent(el, 3600 * 1000, RunTimer, &far, nullptr);
    // None of these may poll: with no registration the wait would never end.
    for (int flags : {AE_PROCESS_FILES, 0, AE_PROCESS_NOWAIT}) {
        SCOPED_TRACE(flags);
        EXPECT_EQ(aeProcessEvents(el, flags), 0);
    }
    EXPECT_EQ(due.runs, 0);
}

TEST_F(AeLoop, MainReturnsAfterThePassThatStopsIt) {
    TimerProbe t;
    t.result = 1;
    t.stop_loop = true;
    aeCreateTimeEvent(el, 0, RunTimer, &t, nullptr);
    aeMain(el);
    EXPECT_EQ(t.runs, 1);
}

// Work left over that no descriptor reports, served one piece per pass
// from the before-sleep hook; the loop must not sleep while some is left.
int g_leftover = 0;
void ServeLeftover(aeEventLoop *el) {
    if (g_leftover == 0) {
        aeStop(el);
        return;
    }
    --g_leftover;
    aeSetDontWait(el, 1);
}

TEST_F(AeLoop, DontWaitPassesPollWithoutSleepingAndTimersStillRun) {
    int sv[2];
    Pair(sv);
    Probe idle{&log, "idle"};
    ASSERT_EQ(aeCreateFileEvent(el, sv[0], AE_MASK_READ, RecordRead, &idle), 0);
    TimerProbe far, due;
    aeCreateTimeEvent(el, 5000, RunTimer, &far, nullptr);
    aeSetDontWait(el, 1);
    // A pass that slept would wait for the far timer and run it.
    EXPECT_EQ(aeProcessEvents(el, AE_PROCESS_ALL), 0);
    aeCreateTimeEvent(el, 0, RunTimer, &due, nullptr);
    EXPECT_EQ(aeProcessEvents(el, AE_PROCESS_ALL), 1);
    EXPECT_EQ(due.runs, 1);
    EXPECT_EQ(far.runs, 0);

    // A loop that slept would end only by this timer.
    TimerProbe guard;
    guard.stop_loop = true;
    aeCreateTimeEvent(el, 5000, RunTimer, &guard, nullptr);
    g_leftover = 5;
    aeSetBeforeSleepProc(el, ServeLeftover);
    aeMain(el);
    EXPECT_EQ(g_leftover, 0);
    EXPECT_EQ(far.runs + guard.runs, 0);

    // Cleared, a pass sleeps again until something is due.
    aeSetBeforeSleepProc(el, nullptr);
    aeSetDontWait(el, 0);
    TimerProbe near;
    aeCreateTimeEvent(el, 20, RunTimer, &near, nullptr);
    int passes = 0;
    PassUntil(el, AE_PROCESS_ALL, [&] {
        if (near.runs > 0) return true;
        ++passes;
        return false;
    });
    EXPECT_LE(passes, 3) << "passes that do not sleep until the timer is due";
    EXPECT_TRUE(log.empty());
}

TEST(AeLoopLifetime, DeletingTheLoopDoesNotFinalizeItsTimers) {
    aeEventLoop *el = aeCreateEventLoop(kSetSize);
    ASSERT_NE(el, nullptr);
    TimerProbe t;
    aeCreateTimeEvent(el, 1000, RunTimer, &t, FinalizeTimer);
    aeDeleteEventLoop(el);
    EXPECT_EQ(t.finalized, 0);
}

}  // namespace
