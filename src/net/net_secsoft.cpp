// Invariants: a connection sits in the slot of its descriptor from its
// acceptance until it is closed; max_client_fd is the highest filled slot or
// -1. There is at most one sweep timer, and it exists while connections may.
#include "net/net_secsoft.h"

#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include "log/mylog.h"
#include "net/ae/ae_assert.h"
#include "net/ae/zmalloc.h"

long long clean_idle_timer = -1;

#define LOG Singleton<MyLog>::Instance()->Write

static void doFreeClient(aeEventLoop *el, net_client_t *c) {
    if (net_defer_close(c)) return;
    int fd = c->fd;
    net_listener_t *l = static_cast<net_listener_t *>(c->owner);
    freeClient(el, c);
    if (fd < 0) return;
    int m = net_listener_clear_slot(l, fd);
    if (m != -2) LOG(INFO, "refresh new max client-fd to: %d", m);
}

static void free_callback(net_listener_t *l) {
    zfree(l->clients);
    l->clients = nullptr;
}

static void handleClient(aeEventLoop *el, int fd, const char *peer_name, void *listener) {
    AE_ASSERT(el != NULL && fd >= 0);
    net_listener_t *l = static_cast<net_listener_t *>(listener);
    if (!net_listener_fits(l, fd)) return;
    net_client_t *c = createClient(el, fd, peer_name, recv_from_client, reply_to_client, listener);
    if (c == nullptr) {
        close(fd);
        LOG(ERROR, "failed to create client for: %s from listener: %s,because: no-memory",
            peer_name, l->name);
        return;
    }
    if (clean_idle_timer == -1) {
        long long id = aeCreateTimeEvent(el, kSecSoftSweepMs, clean_idle_client, l, nullptr);
        if (id == -1) {
            freeClient(el, c);
            return;
        }
        clean_idle_timer = id;
    }
    l->clients[fd] = c;
    if (fd > l->max_client_fd) l->max_client_fd = fd;
    LOG(INFO, "try to handle client: %s from listener: %s,fd: %d", c->name, l->name, fd);
    net_log_peer(l, c);
    if (handleClientReadEvent(el, c) == -1) {
        LOG(ERROR, "failed to handle client write event from listener: %s", l->name);
        doFreeClient(el, c);
    }
}

net_listener_t *createSecSoftListener(aeEventLoop *el, int fd, const char *name) {
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
    l->max_client_fd = -1;
    l->el = el;
    snprintf(l->name, sizeof(l->name), "%s", name);
    l->fd = fd;
    l->handle_client = handleClient;
    l->free_client = doFreeClient;
    l->destroy = free_callback;
    return l;
}

int clean_idle_client(aeEventLoop *el, long long, void *listener) {
    net_listener_t *l = static_cast<net_listener_t *>(listener);
    long now = aeGetMonoticNow();
    int highest = l->max_client_fd;
    int live = 0;
    int highest_live = -1;
    for (int fd = 0; fd <= highest; ++fd) {
        net_client_t *c = l->clients[fd];
        if (c == nullptr) continue;
        if (c->last_active > now - kSecSoftIdleSeconds) {
            ++live;
            highest_live = fd;
            continue;
        }
        LOG(INFO, "clean idle client %s,fd: %d", c->name, fd);
        freeClient(el, c);
        l->clients[fd] = nullptr;
    }
    if (highest >= 0 && highest_live < highest) l->max_client_fd = highest_live;
    if (live > 0) return static_cast<int>(kSecSoftSweepMs);
    clean_idle_timer = -1;
    return AE_TIMER_STOP;
}
