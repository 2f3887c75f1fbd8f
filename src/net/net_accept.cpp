// Out of descriptors, accept fails with EMFILE or ENFILE and leaves the
// connection pending, so a level-triggered loop would report it again at
// once, forever. One spare descriptor is kept: it is released to accept and
// close the pending connection, then taken again. When even that is not
// possible the listener stops accepting for a moment. Failures are logged at
// most once a second. One readiness report accepts (or sheds) up to
// kNetAcceptsPerPass connections: a listener whose backlog others keep full
// still lets a new peer in within a few passes.
#include "net/net_accept.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log/mylog.h"
#include "net/ae/anet.h"
#include "net/net_core.h"

static int s_spare_fd = -1;
static constexpr long long kAcceptPauseMs = 100;

void net_accept_init() {
    if (s_spare_fd < 0) s_spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void net_accept_uninit() {
    if (s_spare_fd >= 0) close(s_spare_fd);
    s_spare_fd = -1;
}

static int resume_accept(aeEventLoop *el, long long, void *listener) {
    net_listener_t *l = static_cast<net_listener_t *>(listener);
    l->paused = 0;
    net_accept_init();
    aeAddReadEvent(el, l->fd, acceptHandler, l);
    return AE_TIMER_STOP;
}

// Drops one pending connection; true when the listener need not pause.
static bool shed_pending(aeEventLoop *el, net_listener_t *l) {
    if (s_spare_fd >= 0) {
        close(s_spare_fd);
        s_spare_fd = -1;
        int fd = accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) close(fd);
        net_accept_init();
        if (s_spare_fd >= 0) return true;
    }
    if (!l->paused && aeCreateTimeEvent(el, kAcceptPauseMs, resume_accept, l, nullptr) != -1) {
        l->paused = 1;
        aeDeleteReadEvent(el, l->fd);
    }
    return false;
}

// Failures are logged at most once a second; how many were not is said
// once that second is over, at the next failure or the next accept.
static void report_accept_drops(net_listener_t *l, long now) {
    if (l->accept_err_drop == 0 || l->accept_err_sec == now) return;
    Singleton<MyLog>::Instance()->Write(
        ERROR, "Accepting client connection on %s: %ld more failures in that second not logged",
        l->name, l->accept_err_drop);
    l->accept_err_drop = 0;
}

static void log_accept_error(net_listener_t *l, const char *err) {
    long now = aeGetMonoticNow();
    report_accept_drops(l, now);
    if (l->accept_err_sec == now) {
        ++l->accept_err_drop;
        return;
    }
    l->accept_err_sec = now;
    Singleton<MyLog>::Instance()->Write(ERROR, "Accepting client connection: %s", err);
}

void acceptHandler(aeEventLoop *el, int fd, void *listener, int) {
    net_listener_t *l = static_cast<net_listener_t *>(listener);
    for (int i = 0; i < kNetAcceptsPerPass; ++i) {
        char peer[128] = {0};
        char err[256] = {0};
        int cfd = anetUnixAccept(err, fd, peer);
        if (cfd == -1) {
            int e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK) return;
            if (e == ECONNABORTED || e == EINTR) continue;
            log_accept_error(l, err);
            // Shedding goes on while the spare descriptor can be had again;
            // a paused listener waits for its timer.
            if ((e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) && shed_pending(el, l))
                continue;
            return;
        }
        if (l->accept_err_drop != 0) report_accept_drops(l, aeGetMonoticNow());
        l->handle_client(el, cfd, peer, l);
    }
}
