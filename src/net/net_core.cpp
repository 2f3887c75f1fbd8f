// Invariants: elp_main is null outside MoxNetCoreInit..MoxNetCoreUninit.
// A connection's lines are handled strictly in arrival order; the replies
// and notifications they make are held in one list and leave in that order
// at the end of the pass, after the pass-end procedure; output is written
// directly only while nothing is queued, so lines never interleave. A
// connection is freed only at the end of a pass, after the held output was
// sent (or by the uninit, or before it was ever served): a closing
// connection is never read, served, written or broadcast to, and whoever
// holds its pointer within the pass may still look at its closing mark.
// Lines are handled within their uid's share of the pass (net_share.h), in
// the read handler and from the pending list alike. The wake pipe lets
// MoxNetCoreStop, called from a signal handler, end a wait that began just
// before the stop flag was set.
#include "net/net_core.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "log/mylog.h"
#include "net/ae/ae_assert.h"
#include "net/ae/anet.h"
#include "net/ae/asbuffer.h"
#include "net/ae/zmalloc.h"
#include "net/net_accept.h"
#include "net/net_fui.h"
#include "net/net_pass.h"
#include "net/net_secsoft.h"
#include "net/net_share.h"
#include "peer/logbudget.h"

aeEventLoop *elp_main = nullptr;
net_listener_t *secsoft_listener = nullptr;
net_listener_t *fui_listener = nullptr;

static int s_wake[2] = {-1, -1};
static net_line_handler *s_line_handler = nullptr;
static int s_uid_connection_limit = kNetDefaultUidConnections;
// One empty input buffer of the initial size kept for the loop, not for a
// connection: a connection gives its buffer back once it is empty and takes
// this one at its next read, so a query neither allocates nor frees it and
// an idle connection still holds none.
static asBuffer *s_spare_inbuf = nullptr;

static asBuffer *take_inbuf() {
    asBuffer *b = s_spare_inbuf;
    if (b == nullptr) return asBufferCreate(kNetBufferInitial);
    s_spare_inbuf = nullptr;
    return b;
}

static void give_back_inbuf(asBuffer *b) {
    if (s_spare_inbuf == nullptr && asBufferCapacity(b) == kNetBufferInitial) {
        b->pos = b->last = b->start;
        s_spare_inbuf = b;
        return;
    }
    asBufferDestroy(b);
}

void net_set_uid_connection_limit(int limit) {
    s_uid_connection_limit = limit >= 1 ? limit : kNetDefaultUidConnections;
}

int net_uid_connection_limit() {
    return s_uid_connection_limit;
}

void net_set_line_handler(net_line_handler *handler) {
    s_line_handler = handler;
}

#define LOG Singleton<MyLog>::Instance()->Write

// Set by MoxNetCoreStop even before the loop runs: aeMain clears the loop's
// own flag on entry, so a stop requested during start-up is kept here and
// re-applied when the wake pipe is drained in the first pass.
static volatile sig_atomic_t s_stop_requested = 0;

static void drain_wake_pipe(aeEventLoop *el, int fd, void *, int) {
    char buf[64];
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
    if (s_stop_requested) aeStop(el);
}

static void close_wake_pipe() {
    for (int &fd : s_wake) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

// The input buffer stays until the record is freed: the close may come
// while that buffer's lines are being handled.
void net_close_client(aeEventLoop *el, net_client_t *c) {
    if (c->closing) return;
    aeDeleteFileEvent(el, c->fd, AE_MASK_READ | AE_MASK_WRITE);
    netPendingRemove(c);
    netSetOutbuf(c, nullptr);
    netCloseQueueAdd(c);
}

// Frees all that MoxNetCoreInit made: both listeners with every connection
// still open (their descriptors closed), the loop with its timers, the wake
// pipe, the spare descriptor and input buffer. The last pass is ended
// first, so that its writes are committed and what it held reaches the
// connections still open. A stop already served is forgotten, so that the
// next init starts as the first did.
static void release_core() {
    aeEventLoop *el = elp_main;
    net_end_pass(el);
    net_pass_release();
    // Cleared first: a stop signal arriving now must not reach a freed loop.
    elp_main = nullptr;
    // The connections go while the loop still holds their events.
    destroyListener(secsoft_listener);
    destroyListener(fui_listener);
    secsoft_listener = fui_listener = nullptr;
    clean_idle_timer = -1;  // the sweep's timer goes with the loop
    netLogBudgetStop();     // its pending counts written, its timer gone with the loop
    aeDeleteEventLoop(el);
    close_wake_pipe();
    net_accept_uninit();
    if (s_spare_inbuf != nullptr) asBufferDestroy(s_spare_inbuf);
    s_spare_inbuf = nullptr;
    s_stop_requested = 0;
}

// The log budget's summary timer on the loop (peer/logbudget.h): the
// budget lies below the event loop and is lent a timer by its owner.
static int log_summary_timer(aeEventLoop *, long long, void *) {
    long long next = netLogBudgetTimer();
    return next < 0 ? AE_TIMER_STOP : static_cast<int>(next);
}

static long long log_timer_create(void *el, long long ms) {
    return aeCreateTimeEvent(static_cast<aeEventLoop *>(el), ms, log_summary_timer, nullptr,
                             nullptr);
}

static void log_timer_remove(void *el, long long id) {
    aeDeleteTimeEvent(static_cast<aeEventLoop *>(el), id);
}

int MoxNetCoreInit(const char *secsoft, const char *fui) {
    elp_main = aeCreateEventLoop(4096);
    if (elp_main == nullptr) {
        LOG(ERROR, "create event loop failed,because no memory");
        return kNetNoMemory;
    }
    if (pipe2(s_wake, O_NONBLOCK | O_CLOEXEC) != 0 ||
        aeCreateFileEvent(elp_main, s_wake[0], AE_MASK_READ, drain_wake_pipe, nullptr) != 0) {
        LOG(ERROR, "create wake pipe failed,because: %s", strerror(errno));
        close_wake_pipe();
        aeDeleteEventLoop(elp_main);
        elp_main = nullptr;
        return kNetNoMemory;
    }
    aeSetBeforeSleepProc(elp_main, net_serve_pending);
    const net_log_timer_t log_timer = {elp_main, log_timer_create, log_timer_remove};
    netLogBudgetStart(&log_timer);
    net_accept_init();
    secsoft_listener = createListener(secsoft, elp_main, createSecSoftListener);
    if (secsoft_listener == nullptr) {
        release_core();
        return kNetNoMemory;
    }
    fui_listener = createListener(fui, elp_main, createFuiListener);
    if (fui_listener == nullptr) {
        LOG(ERROR, "create fui-listener failed: %s", fui);
        release_core();
        return kNetNoMemory;
    }
    LOG(INFO, "net-core init ok");
    return 0;
}

int MoxNetCoreRunLoop() {
    if (elp_main == nullptr) {
        LOG(ERROR, "net-core run loop failed,invalid event-loop");
        return kNetNotReady;
    }
    LOG(INFO, "net-core run loop");
    if (s_stop_requested) {
        // A stop that came before the loop existed: nothing to wait for.
        return 0;
    }
    aeMain(elp_main);
    return 0;
}

void MoxNetCoreStop() {
    s_stop_requested = 1;
    aeEventLoop *el = elp_main;
    if (el == nullptr) return;
    aeStop(el);
    int saved = errno;
    if (s_wake[1] >= 0) {
        ssize_t ignored = write(s_wake[1], "x", 1);
        (void)ignored;
    }
    errno = saved;
}

void MoxNetCoreUninit() {
    if (elp_main == nullptr) return;
    release_core();
    LOG(INFO, "net-core uninit");
}

net_listener_t *createListener(const char *path, aeEventLoop *el, net_listener_factory *factory) {
    char err[1024] = {0};
    int fd = anetUnixServerBacklog(err, path, 0, kNetListenBacklog);
    if (fd == -1) {
        LOG(ERROR, "create unix-server: %s,error: %s", path, err);
        return nullptr;
    }
    // Readiness comes from the loop; a non-blocking accept can never stall it.
    anetNonBlock(nullptr, fd);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    net_listener_t *l = factory(el, fd, path);
    if (l == nullptr) {
        close(fd);
        return nullptr;
    }
    if (aeAddReadEvent(el, fd, acceptHandler, l) < 0) {
        int saved = errno;
        destroyListener(l);
        LOG(ERROR, "add ReadEvent for accept fd: %d,failed,because: %s", fd, strerror(saved));
        return nullptr;
    }
    return l;
}

void destroyListener(net_listener_t *l) {
    if (l == nullptr) return;
    if (l->destroy) l->destroy(l);
    if (l->fd >= 0) close(l->fd);
    zfree(l);
}

// Makes room for the next read: a buffer on first use, the unconsumed bytes
// moved to its start, and doubled while an incomplete line fills it, up to
// kNetBufferSize. False when out of memory.
static bool make_room(net_client_t *c) {
    asBuffer *in = c->inbuf;
    if (in == nullptr) return (c->inbuf = take_inbuf()) != nullptr;
    if (in->pos > in->start) {
        size_t n = static_cast<size_t>(in->last - in->pos);
        memmove(in->start, in->pos, n);
        in->pos = in->start;
        in->last = in->start + n;
    }
    size_t cap = asBufferCapacity(in);
    if (in->last < in->end || cap >= kNetBufferSize) return true;
    return asBufferGrow(in, std::min(cap * 2, kNetBufferSize)) == 0;
}

// Handles what `allowed` lets of c's input (see proc_input_buf), spending
// it from its uid's share. True when c is still open with lines left, for
// the caller to put on the pending list.
static bool serve_input(aeEventLoop *el, net_client_t *c, size_t scan, net_share_t allowed) {
    net_share_t handled = {0, 0};
    int rc = proc_input_buf(el, c, static_cast<int>(scan), allowed, &handled);
    net_share_spend(c->peer.uid, handled);
    if (c->closing || (rc != 0 && rc != kNetPartialLine && rc != kNetMoreLines)) {
        net_close_client(el, c);
        return false;
    }
    return rc == kNetMoreLines;
}

void recv_from_client(aeEventLoop *el, int fd, void *client, int) {
    net_client_t *c = static_cast<net_client_t *>(client);
    net_listener_t *l = static_cast<net_listener_t *>(c->owner);
    // Lines already read are handled first (from the pending list); reading
    // on would only move this peer's backlog from its socket into memory.
    if (c->pending) return;
    if (!make_room(c)) {
        net_close_client(el, c);
        return;
    }
    if (c->inbuf->last == c->inbuf->end) {
        // An incomplete line has filled the largest buffer: no line of the
        // protocol is that long.
        netLogBadInput(&c->log_budget, ERROR,
                       "Client %s sent a line longer than %zu bytes,listener: %s,fd: %d,closed",
                       c->name, kNetBufferSize, l->name, fd);
        net_close_client(el, c);
        return;
    }
    ssize_t n = read(fd, c->inbuf->last, static_cast<size_t>(c->inbuf->end - c->inbuf->last));
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        if (netLogConnLine(&c->log_budget)) LOG(ERROR, "read error: %s", strerror(errno));
        net_close_client(el, c);
        return;
    }
    if (n == 0) {
        if (netLogConnLine(&c->log_budget))
            LOG(INFO, "Client %s closed connection from listener: %s,fd: %d", c->name, l->name, fd);
        net_close_client(el, c);
        return;
    }
    c->inbuf->last += n;
    // With its uid's share spent, what was read waits on the pending list;
    // served, it waits behind the others of its uid there.
    const net_share_t left = net_share_left(c->peer.uid);
    if (!serve_input(el, c, static_cast<size_t>(n), left)) return;
    if (left.lines > 0)
        netPendingServed(c);
    else
        netPendingAdd(c);
}

void net_serve_pending(aeEventLoop *el) {
    // Each walk meets a connection once: one passed over (its uid's share
    // spent) goes back to the tail marked with this walk, one served and
    // still pending goes to the served part, behind everything else at the
    // next walk; the walk ends when it comes round to a marked one.
    // Connections closed meanwhile leave the list. The pass ends after the
    // walk, so that the lines it served are answered before the loop sleeps.
    static unsigned long long round = 0;
    ++round;
    net_share_begin_pass();
    netPendingRequeue();
    net_client_t *c;
    while ((c = netPendingFirst()) != nullptr && c->pending == 1 && c->pending_round != round) {
        netPendingRemove(c);
        c->pending_round = round;
        const net_share_t left = net_share_left(c->peer.uid);
        if (left.lines == 0) {
            netPendingAdd(c);
            continue;
        }
        if (serve_input(el, c, static_cast<size_t>(c->inbuf->last - c->inbuf->pos), left))
            netPendingServed(c);
    }
    net_end_pass(el);
    aeSetDontWait(el, netPendingFirst() != nullptr);
}

int proc_input_buf(aeEventLoop *el, net_client_t *c, int nread, net_share_t allowed,
                   net_share_t *handled_out) {
    AE_ASSERT(el != NULL && c != NULL && handled_out != NULL);
    asBuffer *in = c->inbuf;
    char *line = in->pos;
    char *scan = in->last - nread;
    net_share_t &handled = *handled_out;
    handled = {0, 0};
    net_line_out_t out;
    while (scan < in->last) {
        if (handled.lines >= allowed.lines || handled.bytes >= allowed.bytes) {
            in->pos = line;
            return kNetMoreLines;
        }
        char *lf = static_cast<char *>(memchr(scan, '\n', static_cast<size_t>(in->last - scan)));
        if (lf == nullptr) break;
        *lf = '\0';
        out.reply.clear();
        out.reply_failed.clear();
        out.notices.clear();
        int rc = s_line_handler != nullptr
                     ? s_line_handler(line, static_cast<unsigned long>(lf - line), &c->peer,
                                      &c->log_budget, &out)
                     : kNetNoHandler;
        // Notices go to the others whatever became of this connection; one
        // that cannot be held is lost with an ERROR line.
        for (const std::string &n : out.notices) net_hold_notice(n.data(), n.size());
        if (c->closing) return kNetFailed;
        if (rc == 0 && net_hold_reply(c, out.reply.data(), out.reply.size(),
                                      out.reply_failed.data(), out.reply_failed.size()) != 0)
            return kNetNoMemory;
        ++handled.lines;
        handled.bytes += static_cast<size_t>(lf + 1 - line);
        line = lf + 1;
        scan = line;
    }
    if (line == in->last) {
        // Nothing left: an idle connection holds no input buffer.
        give_back_inbuf(in);
        c->inbuf = nullptr;
        return 0;
    }
    size_t rest = static_cast<size_t>(in->last - line);
    memmove(in->start, line, rest);
    in->pos = in->start;
    in->last = in->start + rest;
    return kNetPartialLine;
}
