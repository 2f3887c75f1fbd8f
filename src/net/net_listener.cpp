#include "net/net_listener.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <string>

#include "base/seat.h"
#include "log/mylog.h"
#include "net/ae/asbuffer.h"
#include "net/ae/zmalloc.h"
#include "net/net_pass.h"
#include "peer/pidfd.h"

#define LOG Singleton<MyLog>::Instance()->Write

// Every listener alive, so that a uid's connections are counted across
// both sockets. The daemon has two.
static net_listener_t *s_listeners[4];

// Refusals of a non-root peer are logged at most once a second; the next
// line says how many went unlogged.
static long s_refuse_sec = -1;
static long s_refused_quiet = 0;

// Clears the slot of `fd`: the new highest descriptor in use when it
// changed, else kNetMaxFdKept.
static int clear_slot(net_listener_t *l, int fd) {
    if (l->clients == nullptr || fd < 0 || fd >= l->max_clients) return kNetMaxFdKept;
    l->clients[fd] = nullptr;
    if (fd != l->max_client_fd) return kNetMaxFdKept;
    int m = fd - 1;
    while (m >= 0 && l->clients[m] == nullptr) --m;
    l->max_client_fd = m;
    return m;
}

// False (the descriptor closed, an ERROR line) when `fd` has no slot.
static bool fits(net_listener_t *l, int fd) {
    if (fd < l->max_clients) return true;
    LOG(ERROR, "refuse client fd: %d from listener: %s,the client table holds %d", fd, l->name,
        l->max_clients);
    close(fd);
    return false;
}

// The peer's supplementary groups (SO_PEERGROUPS); none when the kernel
// cannot tell or memory runs short. Most peers have few, so one call with
// room on the stack usually suffices; the kernel answers ERANGE with the
// size it needs otherwise.
static void read_peer_groups(net_client_t *c) {
    gid_t few[16];
    socklen_t len = sizeof(few);
    gid_t *groups;
    if (getsockopt(c->fd, SOL_SOCKET, SO_PEERGROUPS, few, &len) == 0) {
        if (len == 0 || (groups = static_cast<gid_t *>(zmalloc(len))) == nullptr) return;
        memcpy(groups, few, len);
    } else {
        if (errno != ERANGE || (groups = static_cast<gid_t *>(zmalloc(len))) == nullptr) return;
        if (getsockopt(c->fd, SOL_SOCKET, SO_PEERGROUPS, groups, &len) != 0 || len == 0) {
            zfree(groups);
            return;
        }
    }
    c->peer.groups = groups;
    c->peer.ngroups = static_cast<int>(len / sizeof(gid_t));
}

// Completes the peer's identity in `c` (its credentials were read on
// accept) and logs who connected: pid, uid, gid and executable, so that an
// administrator can tell which program registered what.
// Beyond its uid's budget of logged connections, the line is only counted
// (peer/logbudget.h); the executable is read all the same.
static void log_peer(net_listener_t *l, net_client_t *c) {
    if (c->peer_errno != 0) {
        if (netLogConnLine(&c->log_budget))
            LOG(INFO, "peer of client fd: %d from listener: %s,unknown,because: %s", c->fd, l->name,
                strerror(c->peer_errno));
        return;
    }
    read_peer_groups(c);
    char exe[4096];
    // "/proc/<pid>/exe", built without printf: this runs for every connection.
    char link[32] = "/proc/";
    char *end = std::to_chars(link + 6, link + sizeof(link) - 5, c->peer.pid).ptr;
    memcpy(end, "/exe", 5);
    ssize_t n = readlink(link, exe, sizeof(exe) - 1);
    exe[n > 0 ? n : 0] = '\0';
    if (n > 0) c->peer.exe = zstrdup(exe);
    if (!netLogConnLine(&c->log_budget)) return;
    LOG(INFO, "peer of client fd: %d from listener: %s,pid: %d,uid: %d,gid: %d,exe: %s", c->fd,
        l->name, c->peer.pid, c->peer.uid, c->peer.gid, n > 0 ? exe : "?");
}

// The listener goes: every connection still in its table is closed and
// freed (its count of unlogged lines written first), then the table.
static void free_callback(net_listener_t *l) {
    for (net_listener_t *&slot : s_listeners)
        if (slot == l) slot = nullptr;
    if (l->clients != nullptr) {
        for (int fd = 0; fd <= l->max_client_fd; ++fd) {
            net_client_t *c = l->clients[fd];
            if (c == nullptr) continue;
            l->clients[fd] = nullptr;
            net_pass_forget(c);
            netLogBudgetClose(&c->log_budget);
            freeClient(l->el, c);
        }
    }
    l->max_client_fd = -1;
    zfree(l->clients);
    l->clients = nullptr;
}

// A closing connection counts until the end of the pass frees it: its
// descriptor is still open until then.
int net_listener_count_uid(int uid) {
    int n = 0;
    for (net_listener_t *l : s_listeners) {
        if (l == nullptr || l->clients == nullptr) continue;
        for (int fd = 0; fd <= l->max_client_fd; ++fd)
            if (l->clients[fd] != nullptr && l->clients[fd]->peer.uid == uid) ++n;
    }
    return n;
}

net_client_t *net_listener_largest_output(const net_client_t *except) {
    net_client_t *best = nullptr;
    size_t most = 0;
    for (net_listener_t *l : s_listeners) {
        if (l == nullptr || l->clients == nullptr) continue;
        for (int fd = 0; fd <= l->max_client_fd; ++fd) {
            net_client_t *c = l->clients[fd];
            if (c == nullptr || c == except || c->outbuf == nullptr || c->closing) continue;
            size_t held = asBufferCapacity(c->outbuf);
            if (held > most) {
                most = held;
                best = c;
            }
        }
    }
    return best;
}

// Whether the peer of descriptor `fd`, of `uid` (-1 when the kernel cannot
// tell: such peers share one count, as a non-root uid), may have one more
// connection. Root
// may take every slot of the table; others neither the last
// kNetRootReserve slots (descriptors are handed out lowest first, so `fd`
// tells how full the table is) nor more than the limit per uid, and only
// the active session's owner the kNetSessionReserve slots below those.
static bool admit(net_listener_t *l, int fd, int uid) {
    if (uid == 0) return true;
    int held = 0;
    bool reserve = fd >= l->max_clients - kNetRootReserve;
    bool session = !reserve && fd >= l->max_clients - kNetRootReserve - kNetSessionReserve;
    seat_owner_t seat;
    if (session) {
        seat = seat_active_owner();
        session = !seat_owned_by(seat, uid);
    }
    if (!reserve && !session && (held = net_listener_count_uid(uid)) < net_uid_connection_limit())
        return true;
    long now = aeGetMonoticNow();
    if (now == s_refuse_sec) {
        ++s_refused_quiet;
        return false;
    }
    long quiet = s_refused_quiet;
    s_refuse_sec = now;
    s_refused_quiet = 0;
    if (session)
        LOG(ERROR,
            "refuse client fd: %d from listener: %s,uid: %d,%d slots of the client table are "
            "kept for root and the owner of the active session (uid: %ld),not logged since the "
            "last such line: %ld",
            fd, l->name, uid, kNetSessionReserve,
            seat.state == kSeatActive ? static_cast<long>(seat.uid) : -1L, quiet);
    else if (reserve)
        LOG(ERROR,
            "refuse client fd: %d from listener: %s,uid: %d,the last %d slots of the client "
            "table are kept for root,not logged since the last such line: %ld",
            fd, l->name, uid, kNetRootReserve, quiet);
    else
        LOG(ERROR,
            "refuse client fd: %d from listener: %s,uid: %d holds %d connections,the limit per "
            "uid,not logged since the last such line: %ld",
            fd, l->name, uid, held, quiet);
    return false;
}

net_listener_t *net_listener_new(aeEventLoop *el, int fd, const char *name,
                                 net_handle_client_proc *handle,
                                 net_free_client_proc *free_client) {
    net_listener_t *l = static_cast<net_listener_t *>(zcalloc(sizeof(net_listener_t)));
    if (l == nullptr) {
        LOG(ERROR, "out of memory to create listener");
        return nullptr;
    }
    l->max_clients = kNetMaxClients;
    l->clients = static_cast<net_client_t **>(zcalloc(sizeof(net_client_t *) * kNetMaxClients));
    if (l->clients == nullptr) {
        zfree(l);
        return nullptr;
    }
    net_listener_t **slot = std::find(std::begin(s_listeners), std::end(s_listeners), nullptr);
    if (slot == std::end(s_listeners)) {
        LOG(ERROR, "too many listeners to create: %s", name);
        zfree(l->clients);
        zfree(l);
        return nullptr;
    }
    *slot = l;
    l->max_client_fd = -1;
    l->el = el;
    snprintf(l->name, sizeof(l->name), "%s", name);
    l->fd = fd;
    l->handle_client = handle;
    l->free_client = free_client;
    l->destroy = free_callback;
    return l;
}

int net_listener_release(aeEventLoop *el, net_client_t *c) {
    net_pass_forget(c);
    netLogBudgetClose(&c->log_budget);
    int fd = c->fd;
    net_listener_t *l = static_cast<net_listener_t *>(c->owner);
    freeClient(el, c);
    if (fd < 0) return kNetMaxFdKept;
    return clear_slot(l, fd);
}

bool net_listener_adopt(aeEventLoop *el, net_listener_t *l, net_client_t *c) {
    int fd = c->fd;
    l->clients[fd] = c;
    if (fd > l->max_client_fd) l->max_client_fd = fd;
    netLogBudgetOpen(&c->log_budget, fd, &c->peer, l->name);
    if (netLogConnLine(&c->log_budget))
        LOG(INFO, "try to handle client: %s from listener: %s,fd: %d", c->name, l->name, fd);
    log_peer(l, c);
    if (handleClientReadEvent(el, c) == -1) {
        LOG(ERROR, "failed to handle client write event from listener: %s", l->name);
        l->free_client(el, c);
        return false;
    }
    return true;
}

net_client_t *net_listener_take(aeEventLoop *el, net_listener_t *l, int fd, const char *peer_name,
                                bool *no_memory) {
    *no_memory = false;
    // Read once, for the admission and for the peer's record.
    struct ucred cred;
    socklen_t len = sizeof(cred);
    int cred_errno = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? 0 : errno;
    // Users other than root are turned away first, with a line a second at
    // most, so that they cannot flood the log with the table's refusals.
    if (!admit(l, fd, cred_errno == 0 ? static_cast<int>(cred.uid) : -1)) {
        close(fd);
        return nullptr;
    }
    if (!fits(l, fd)) return nullptr;
    net_client_t *c = createClient(el, fd, peer_name, recv_from_client, reply_to_client, l);
    if (c == nullptr) {
        close(fd);
        *no_memory = true;
        return nullptr;
    }
    c->peer_errno = cred_errno;
    // The process that connected did so no later than now: a front UI's
    // registration pins it by this (peer/pidfd.h).
    c->peer.sock = fd;
    c->peer.accepted_ns = net_peer_clock_ns();
    if (cred_errno == 0) {
        c->peer.pid = static_cast<int>(cred.pid);
        c->peer.uid = static_cast<int>(cred.uid);
        c->peer.gid = static_cast<int>(cred.gid);
    }
    return c;
}
