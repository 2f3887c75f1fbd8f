// The per-uid table of log budgets on its own, with the time given by the
// test: how many lines a uid gets, how they come back, when the count of
// what was dropped is written, and which uid makes room for a new one. Then
// the process-wide budget with the summary timer the loop's owner lends it.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "log/mylog.h"
#include "peer/logbudget.h"
#include "support/temp_root.h"

namespace {

constexpr long long kT0 = 1000000;  // a monotonic time well past zero

// The process's log on a file of a temporary root, the table empty. The
// counts are evidence, also sent to the journal's socket: under the
// temporary root, where nothing listens.
class LogBudgetTable : public ::testing::Test {
protected:
    void SetUp() override {
        env_ = std::make_unique<vk_test::ScopedRootEnv>(root_.path());
        ASSERT_EQ(MoxLogInit(), 0);
        netLogTableClear(&t_);
    }
    void TearDown() override { MoxLogUninit(); }

    std::string Log() const { return vk_test::ReadFile(root_.Under("/var/log/veskkorvaned.log")); }
    size_t Summaries() const { return vk_test::Occurrences(Log(), "|WARNING|suppressed "); }

    // Lines of `uid` at `now` until one is refused: how many were allowed.
    unsigned Burst(int uid, long long now) {
        unsigned n = 0;
        while (netLogTableLine(&t_, uid, now) && n < 10000) ++n;
        return n;
    }

    vk_test::TempRoot root_;
    std::unique_ptr<vk_test::ScopedRootEnv> env_;
    net_log_table_t t_;
};

// A uid's lines, its logged connections and how they come back over the
// minute; root's larger share.
TEST_F(LogBudgetTable, BurstAndRefillPerUid) {
    struct Case {
        const char *name;
        int uid;
        unsigned burst;
    } cases[] = {
        {"a user", 1000, kNetLogBudgetLines},
        {"nobody", 65534, kNetLogBudgetLines},
        {"unknown credentials", -1, kNetLogBudgetLines},
        {"root", 0, kNetLogRootLines},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        netLogTableClear(&t_);
        EXPECT_EQ(Burst(c.uid, kT0), c.burst);
        const long long step = kNetLogRefillMs / c.burst;
        // One line back per step, none before.
        EXPECT_FALSE(netLogTableLine(&t_, c.uid, kT0 + step - 1));
        EXPECT_TRUE(netLogTableLine(&t_, c.uid, kT0 + step));
        EXPECT_FALSE(netLogTableLine(&t_, c.uid, kT0 + step));
        // A whole quiet minute gives the whole burst back, no more.
        EXPECT_EQ(Burst(c.uid, kT0 + 10 * kNetLogRefillMs), c.burst);
    }
    // Another uid is not touched by the first one's spending.
    netLogTableClear(&t_);
    EXPECT_EQ(Burst(1000, kT0), kNetLogBudgetLines);
    EXPECT_EQ(Burst(1001, kT0), kNetLogBudgetLines);
}

TEST_F(LogBudgetTable, ConnectionsLoggedPerUidRootAlways) {
    unsigned logged = 0;
    for (unsigned i = 0; i < 3 * kNetLogBudgetConnections; ++i) {
        logged += netLogTableOpen(&t_, 65534, kT0);
        netLogTableClose(&t_, 65534, kT0);
    }
    EXPECT_EQ(logged, kNetLogBudgetConnections);
    const long long step = kNetLogRefillMs / kNetLogBudgetConnections;
    EXPECT_TRUE(netLogTableOpen(&t_, 65534, kT0 + step));
    for (unsigned i = 0; i < 3 * kNetLogBudgetConnections; ++i)
        EXPECT_TRUE(netLogTableOpen(&t_, 0, kT0));
    // The lines budget is a budget of its own.
    EXPECT_EQ(Burst(65534, kT0), kNetLogBudgetLines);
}

// The count is written once the uid's connections are gone and it has been
// quiet, while it goes on at least every kNetLogSummaryMs, and then starts
// again from zero.
TEST_F(LogBudgetTable, SummaryWhenGoneAndQuietOrPeriodically) {
    ASSERT_TRUE(netLogTableOpen(&t_, 65534, kT0));
    EXPECT_EQ(Burst(65534, kT0), kNetLogBudgetLines);  // and one dropped
    for (int i = 0; i < 9; ++i) netLogTableLine(&t_, 65534, kT0);
    netLogTableDropConnLine(&t_, 65534, kT0);
    EXPECT_TRUE(netLogTablePending(&t_));
    netLogTableFlush(&t_, kT0 + 10 * kNetLogQuietMs, false);
    EXPECT_EQ(Summaries(), 0u) << "a connection is still open";

    netLogTableClose(&t_, 65534, kT0 + 100);
    netLogTableFlush(&t_, kT0 + 100 + kNetLogQuietMs - 1, false);
    EXPECT_EQ(Summaries(), 0u) << "not quiet long enough";
    netLogTableFlush(&t_, kT0 + 100 + kNetLogQuietMs, false);
    EXPECT_NE(Log().find("|WARNING|suppressed 11 lines from uid 65534: 10 about bad input or "
                         "refused requests,1 about 0 connections not logged\n"),
              std::string::npos)
        << Log();
    EXPECT_FALSE(netLogTablePending(&t_));
    netLogTableFlush(&t_, kT0 + kNetLogRefillMs, true);
    EXPECT_EQ(Summaries(), 1u) << "nothing more to report";

    // A flood that keeps a connection open is reported every period.
    ASSERT_TRUE(netLogTableOpen(&t_, 65534, kT0 + 200));
    ASSERT_FALSE(netLogTableLine(&t_, 65534, kT0 + 200));
    const long long since = kT0 + 200;
    netLogTableFlush(&t_, since + kNetLogSummaryMs - 1, false);
    EXPECT_EQ(Summaries(), 1u);
    netLogTableFlush(&t_, since + kNetLogSummaryMs, false);
    EXPECT_EQ(Summaries(), 2u);
    EXPECT_NE(Log().find("suppressed 1 lines from uid 65534: 1 about bad input or refused "
                         "requests,0 about 0 connections not logged\n"),
              std::string::npos)
        << Log();
}

// A full table gives up the uid idle the longest, preferring one without
// connections, and writes its count first; that uid starts afresh.
TEST_F(LogBudgetTable, FullTableEvictsTheOldestIdleUid) {
    // uid 1 holds a connection and is the oldest; uid 2 is the oldest idle.
    ASSERT_TRUE(netLogTableOpen(&t_, 1, kT0));
    for (int uid = 2; uid <= kNetLogUids; ++uid) {
        Burst(uid, kT0 + uid);
        netLogTableLine(&t_, uid, kT0 + uid);
    }
    EXPECT_EQ(Summaries(), 0u);
    EXPECT_EQ(Burst(100000, kT0 + 1000), kNetLogBudgetLines);
    EXPECT_EQ(Summaries(), 1u);
    EXPECT_NE(Log().find("suppressed 2 lines from uid 2: "), std::string::npos) << Log();
    // uid 2 comes back with a full burst; uid 1 was kept (its connection
    // counted: no quiet summary for it), uid 3 made room this time.
    EXPECT_EQ(Burst(2, kT0 + 2000), kNetLogBudgetLines);
    EXPECT_NE(Log().find("suppressed 2 lines from uid 3: "), std::string::npos) << Log();
    EXPECT_EQ(Log().find("from uid 1: "), std::string::npos) << Log();
    // A table full of uids with connections still makes room.
    netLogTableClear(&t_);
    for (int uid = 1; uid <= kNetLogUids; ++uid) netLogTableOpen(&t_, uid, kT0 + uid);
    EXPECT_TRUE(netLogTableOpen(&t_, 100000, kT0 + 1000));
    EXPECT_EQ(Burst(100000, kT0 + 1000), kNetLogBudgetLines);
}

// The summary timer the owner of the loop lends the budget: asked for at
// the first drop and not again while armed, going on while a connection of
// the uid is open, given up once the count is written (the next drop asks
// again), removed by Stop; without one, Stop still writes the count.
struct FakeTimer {
    int created = 0;
    long long ms = 0;
    int removed = 0;
    long long removed_id = -1;
};

long long FakeCreate(void *ctx, long long ms) {
    auto *f = static_cast<FakeTimer *>(ctx);
    f->ms = ms;
    return 100 + f->created++;
}

void FakeRemove(void *ctx, long long id) {
    auto *f = static_cast<FakeTimer *>(ctx);
    f->removed++;
    f->removed_id = id;
}

TEST_F(LogBudgetTable, SummaryTimerLentByTheLoopsOwner) {
    FakeTimer f;
    const net_log_timer_t timer = {&f, FakeCreate, FakeRemove};
    netLogBudgetStart(&timer);
    net_peer_t peer = {4242, 65534, 65534, nullptr, nullptr, 0};
    net_log_budget_t budget{};
    netLogBudgetOpen(&budget, 7, &peer, "test");
    for (unsigned i = 0; i < kNetLogBudgetLines; ++i)
        EXPECT_TRUE(netLogBadInput(&budget, ERROR, "bad line %u", i));
    EXPECT_EQ(f.created, 0);
    EXPECT_FALSE(netLogBadInput(&budget, ERROR, "bad line"));
    EXPECT_FALSE(netLogBadInput(&budget, ERROR, "bad line"));
    EXPECT_EQ(f.created, 1) << "asked for once";
    EXPECT_EQ(f.ms, kNetLogQuietMs);
    EXPECT_EQ(netLogBudgetTimer(), kNetLogQuietMs) << "the connection is open";
    EXPECT_EQ(Summaries(), 0u);

    netLogBudgetClose(&budget);
    std::this_thread::sleep_for(std::chrono::milliseconds(kNetLogQuietMs + 100));
    EXPECT_EQ(netLogBudgetTimer(), -1);
    EXPECT_EQ(Summaries(), 1u);
    EXPECT_NE(Log().find("suppressed 2 lines from uid 65534: "), std::string::npos) << Log();
    netLogBudgetOpen(&budget, 8, &peer, "test");
    EXPECT_FALSE(netLogBadInput(&budget, ERROR, "bad line"));
    EXPECT_EQ(f.created, 2);

    netLogBudgetClose(&budget);
    netLogBudgetStop();
    EXPECT_EQ(Summaries(), 2u);
    EXPECT_EQ(f.removed, 1);
    EXPECT_EQ(f.removed_id, 101);

    netLogBudgetStart(nullptr);
    budget = net_log_budget_t{};
    netLogBudgetOpen(&budget, 9, &peer, "test");
    for (unsigned i = 0; i <= kNetLogBudgetLines; ++i) netLogBadInput(&budget, ERROR, "bad line");
    netLogBudgetClose(&budget);
    netLogBudgetStop();
    EXPECT_EQ(Summaries(), 3u);
    EXPECT_EQ(f.created, 2);
    EXPECT_EQ(f.removed, 1);
}

}  // namespace
