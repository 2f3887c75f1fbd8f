// How much of the log one user's peers may take. A user that connects,
// sends garbage or refused requests and closes in a loop must not be able to
// push the lines that tell who it is out of the log, nor fill the disk with
// cuts. So the budget belongs to the uid, not to the connection:
//
// - lines about a peer's input (undecodable or malformed lines, unknown
//   types, refused requests): kNetLogBudgetLines per uid, refilled evenly
//   over kNetLogRefillMs (root: kNetLogRootLines);
// - the lines about a connection itself (accepted, who the peer is, closed,
//   a read or write error): logged for kNetLogBudgetConnections connections
//   per uid, refilled the same way (root: every connection).
//
// What the budget drops is counted per uid and reported in one WARNING line,
// "suppressed N lines from uid U: ...", once the uid's connections are all
// gone and it has been quiet for kNetLogQuietMs, at least every
// kNetLogSummaryMs while it goes on, when its entry is evicted, and when the
// loop stops. Refusals and summaries are evidence: they also go to the
// journal (MyLog::WriteEvidence).
//
// Invariants: the table holds at most kNetLogUids uids, each at most once;
// an entry's counters are what it dropped since its last summary; a
// connection is counted in its uid's entry between netLogBudgetOpen and
// netLogBudgetClose (unless the entry was evicted meanwhile); the summary
// timer is armed exactly while some entry has something to report and a
// timer was given.
#pragma once

#include "log/mylog.h"
#include "peer/peer.h"

// What one connection knows of its budget.
struct net_log_budget_t {
    int fd;
    int uid;
    bool opened;             // counted among its uid's connections
    bool logged;             // the lines about the connection itself are written
    bool peer_shown;         // a line naming the peer (pid, uid, exe) was written
    const net_peer_t *peer;  // the connection's, for that line; null before netLogBudgetOpen
    const char *listener;    // name of the listener that accepted it
};

constexpr unsigned kNetLogBudgetLines = 5;
constexpr unsigned kNetLogRootLines = 100;
constexpr unsigned kNetLogBudgetConnections = 20;
constexpr long long kNetLogRefillMs = 60000;
constexpr long long kNetLogQuietMs = 1000;
constexpr long long kNetLogSummaryMs = 60000;
constexpr int kNetLogUids = 64;

// One uid's budget and what it dropped since its last summary.
struct net_log_uid_t {
    bool used;
    int uid;
    int conns;                         // its open connections
    long long line_due;                // the line bucket is full again at this time (ms)
    long long conn_due;                // likewise for logged connections
    unsigned long lines_dropped;       // about its input
    unsigned long conn_lines_dropped;  // about its connections
    unsigned long conns_dropped;       // connections whose lines were dropped
    long long since;                   // time of the first drop not yet reported
    long long last;                    // time of its last line, connection opened or closed
};

struct net_log_table_t {
    net_log_uid_t uids[kNetLogUids];
};

// The table itself, with the time (ms, monotonic) given by the caller.
void netLogTableClear(net_log_table_t *t);
// Whether a line about the input of `uid` may be written; counted when not.
bool netLogTableLine(net_log_table_t *t, int uid, long long now);
// A connection of `uid` opened: whether its connection lines are written.
bool netLogTableOpen(net_log_table_t *t, int uid, long long now);
// A connection of `uid` closed.
void netLogTableClose(net_log_table_t *t, int uid, long long now);
// One line about a connection of `uid` not written.
void netLogTableDropConnLine(net_log_table_t *t, int uid, long long now);
// Writes the summaries that are due (with `all`, every one pending).
void netLogTableFlush(net_log_table_t *t, long long now, bool all);
// Whether some entry has dropped lines not yet reported.
bool netLogTablePending(const net_log_table_t *t);

// The summary timer, lent by the owner of the event loop. This layer sits
// below the loop and knows none: the net layer, which owns the loop, fills
// this in with its timers (net/net_core.cpp), and tests may give none. The
// functions are called on the loop's thread only.
// - create: call netLogBudgetTimer in `ms` milliseconds, then again after
//   each period it returns until it returns -1; the timer's id, or -1 when
//   it could not be made (tried again at the next drop);
// - remove: cancel the timer `id` made by create.
struct net_log_timer_t {
    void *ctx;
    long long (*create)(void *ctx, long long ms);
    void (*remove)(void *ctx, long long id);
};

// The process-wide table. Start gives it the timer for its summaries
// (null: none, summaries then come only from the other occasions) and
// forgets every uid; Stop writes every pending summary, removes the timer
// if armed, and forgets the timer and every uid.
void netLogBudgetStart(const net_log_timer_t *timer);
void netLogBudgetStop();
// The summary timer's procedure: writes the summaries that are due; the
// next period in milliseconds while some remain, else -1 (the timer is then
// no longer armed).
long long netLogBudgetTimer();

// A connection accepted on `listener` from `peer` (its uid -1 when unknown):
// sets `budget` up and counts it among its uid's connections.
void netLogBudgetOpen(net_log_budget_t *budget, int fd, const net_peer_t *peer,
                      const char *listener);
// The connection is closed; nothing for a budget never opened.
void netLogBudgetClose(net_log_budget_t *budget);
// Whether a line about the connection itself is written; counts it when
// not. A null budget always writes.
bool netLogConnLine(net_log_budget_t *budget);

// Writes one line caused by the peer's bad input, unless its uid's budget
// is spent; before the first one of a connection whose own lines were not
// written, a line naming the peer. A null budget (no connection behind the
// line) always writes. True when the line was written.
bool netLogBadInput(net_log_budget_t *budget, _LogLevel level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// The same for a refused request: its line names the peer itself, and is
// evidence (also sent to the journal).
bool netLogRefusal(net_log_budget_t *budget, _LogLevel level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
