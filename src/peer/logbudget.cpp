#include "peer/logbudget.h"

#include <time.h>

#include <algorithm>
#include <cstdarg>

namespace {

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A bucket of `burst` tokens refilled evenly over kNetLogRefillMs, kept as
// the time it is full again: true, and one token taken, when one is left.
bool take(long long *due, unsigned burst, long long now) {
    const long long step = kNetLogRefillMs / burst;
    const long long t = std::max(*due, now);
    if (t - now > step * static_cast<long long>(burst - 1)) return false;
    *due = t + step;
    return true;
}

bool pending(const net_log_uid_t &e) {
    return e.used && (e.lines_dropped != 0 || e.conn_lines_dropped != 0 || e.conns_dropped != 0);
}

void summarise(net_log_uid_t &e) {
    if (!pending(e)) return;
    Singleton<MyLog>::Instance()->WriteEvidence(
        WARNING,
        "suppressed %lu lines from uid %d: %lu about bad input or refused requests,%lu about %lu "
        "connections not logged",
        e.lines_dropped + e.conn_lines_dropped, e.uid, e.lines_dropped, e.conn_lines_dropped,
        e.conns_dropped);
    e.lines_dropped = e.conn_lines_dropped = e.conns_dropped = 0;
}

net_log_uid_t *find(net_log_table_t *t, int uid) {
    for (net_log_uid_t &e : t->uids)
        if (e.used && e.uid == uid) return &e;
    return nullptr;
}

// The entry of `uid`, made when missing. A full table gives up the entry
// idle the longest, preferring one without connections; its summary is
// written first.
net_log_uid_t *entry(net_log_table_t *t, int uid, long long now) {
    net_log_uid_t *e = find(t, uid);
    if (e != nullptr) return e;
    net_log_uid_t *victim = nullptr;
    for (net_log_uid_t &c : t->uids) {
        if (!c.used) {
            victim = &c;
            break;
        }
        if (victim == nullptr || (c.conns == 0) > (victim->conns == 0) ||
            ((c.conns == 0) == (victim->conns == 0) && c.last < victim->last))
            victim = &c;
    }
    summarise(*victim);
    *victim = net_log_uid_t{};
    victim->used = true;
    victim->uid = uid;
    victim->last = now;
    return victim;
}

// Before a drop is counted: the first one not yet reported starts the
// period its summary covers.
void dropping(net_log_uid_t &e, long long now) {
    if (!pending(e)) e.since = now;
}

net_log_table_t s_table;
net_log_timer_t s_hook{};  // create null: no timer
long long s_timer = -1;

// After a drop: the summary must come even if nothing else happens.
void arm() {
    if (s_hook.create == nullptr || s_timer != -1) return;
    s_timer = s_hook.create(s_hook.ctx, kNetLogQuietMs);
}

bool take_line(net_log_budget_t *budget) {
    if (budget == nullptr) return true;
    if (netLogTableLine(&s_table, budget->uid, now_ms())) return true;
    arm();
    return false;
}

// The peer of a connection whose own lines were not written, before the
// first line about its input: that line alone would not tell who sent it.
void show_peer(net_log_budget_t *budget) {
    if (budget == nullptr || budget->peer_shown || budget->peer == nullptr) return;
    budget->peer_shown = true;
    const net_peer_t *p = budget->peer;
    Singleton<MyLog>::Instance()->Write(
        INFO, "peer of client fd: %d from listener: %s,pid: %d,uid: %d,gid: %d,exe: %s", budget->fd,
        budget->listener != nullptr ? budget->listener : "?", p->pid, p->uid, p->gid,
        p->exe != nullptr ? p->exe : "?");
}

}  // namespace

void netLogTableClear(net_log_table_t *t) {
    *t = net_log_table_t{};
}

bool netLogTableLine(net_log_table_t *t, int uid, long long now) {
    net_log_uid_t *e = entry(t, uid, now);
    e->last = now;
    if (take(&e->line_due, uid == 0 ? kNetLogRootLines : kNetLogBudgetLines, now)) return true;
    dropping(*e, now);
    e->lines_dropped++;
    return false;
}

bool netLogTableOpen(net_log_table_t *t, int uid, long long now) {
    net_log_uid_t *e = entry(t, uid, now);
    e->last = now;
    e->conns++;
    if (uid == 0 || take(&e->conn_due, kNetLogBudgetConnections, now)) return true;
    dropping(*e, now);
    e->conns_dropped++;
    return false;
}

void netLogTableClose(net_log_table_t *t, int uid, long long now) {
    net_log_uid_t *e = find(t, uid);
    if (e == nullptr) return;  // evicted meanwhile
    e->last = now;
    if (e->conns > 0) e->conns--;
}

void netLogTableDropConnLine(net_log_table_t *t, int uid, long long now) {
    net_log_uid_t *e = entry(t, uid, now);
    dropping(*e, now);
    e->conn_lines_dropped++;
}

void netLogTableFlush(net_log_table_t *t, long long now, bool all) {
    for (net_log_uid_t &e : t->uids) {
        if (!pending(e)) continue;
        if (all || (e.conns == 0 && now - e.last >= kNetLogQuietMs) ||
            now - e.since >= kNetLogSummaryMs)
            summarise(e);
    }
}

bool netLogTablePending(const net_log_table_t *t) {
    for (const net_log_uid_t &e : t->uids)
        if (pending(e)) return true;
    return false;
}

void netLogBudgetStart(const net_log_timer_t *timer) {
    netLogTableClear(&s_table);
    s_hook = timer != nullptr ? *timer : net_log_timer_t{};
    s_timer = -1;
}

void netLogBudgetStop() {
    netLogTableFlush(&s_table, now_ms(), true);
    if (s_hook.remove != nullptr && s_timer != -1) s_hook.remove(s_hook.ctx, s_timer);
    s_hook = net_log_timer_t{};
    s_timer = -1;
    netLogTableClear(&s_table);
}

long long netLogBudgetTimer() {
    netLogTableFlush(&s_table, now_ms(), false);
    if (netLogTablePending(&s_table)) return kNetLogQuietMs;
    s_timer = -1;
    return -1;
}

void netLogBudgetOpen(net_log_budget_t *budget, int fd, const net_peer_t *peer,
                      const char *listener) {
    budget->fd = fd;
    budget->uid = peer->uid;
    budget->peer = peer;
    budget->listener = listener;
    budget->opened = true;
    budget->logged = netLogTableOpen(&s_table, peer->uid, now_ms());
    budget->peer_shown = budget->logged;
    if (!budget->logged) arm();
}

void netLogBudgetClose(net_log_budget_t *budget) {
    if (budget == nullptr || !budget->opened) return;
    budget->opened = false;
    netLogTableClose(&s_table, budget->uid, now_ms());
}

bool netLogConnLine(net_log_budget_t *budget) {
    if (budget == nullptr || budget->logged) return true;
    netLogTableDropConnLine(&s_table, budget->uid, now_ms());
    arm();
    return false;
}

bool netLogBadInput(net_log_budget_t *budget, _LogLevel level, const char *format, ...) {
    MyLog *log = Singleton<MyLog>::Instance();
    // A line the active level would not write costs no budget.
    if (level > log->GetLogLevel()) return false;
    if (!take_line(budget)) return false;
    show_peer(budget);
    va_list ap;
    va_start(ap, format);
    bool ok = log->VWrite(level, format, ap);
    va_end(ap);
    return ok;
}

bool netLogRefusal(net_log_budget_t *budget, _LogLevel level, const char *format, ...) {
    MyLog *log = Singleton<MyLog>::Instance();
    if (level > log->GetLogLevel()) return false;
    if (!take_line(budget)) return false;
    va_list ap;
    va_start(ap, format);
    bool ok = log->VWriteEvidence(level, format, ap);
    va_end(ap);
    return ok;
}
