// Invariants: a connection sits in the slot of its descriptor from its
// acceptance until it is freed (a closing one too, until the end of the
// pass); max_client_fd is the highest filled slot or -1. There is at most
// one sweep timer, and it exists while connections may.
#include "net/net_secsoft.h"

#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include "log/mylog.h"
#include "net/ae/ae_assert.h"
#include "net/net_listener.h"

long long clean_idle_timer = -1;

static long long sweep_period_ms = kSecSoftSweepMs;
static long idle_limit_seconds = kSecSoftIdleSeconds;

void net_secsoft_set_sweep(long long period_ms, long idle_seconds) {
    sweep_period_ms = period_ms;
    idle_limit_seconds = idle_seconds;
}

#define LOG Singleton<MyLog>::Instance()->Write

static void doFreeClient(aeEventLoop *el, net_client_t *c) {
    const bool logged = c->log_budget.logged;
    int m = net_listener_release(el, c);
    if (m != kNetMaxFdKept && logged) LOG(INFO, "refresh new max client-fd to: %d", m);
}

static void handleClient(aeEventLoop *el, int fd, const char *peer_name, void *listener) {
    AE_ASSERT(el != NULL && fd >= 0);
    net_listener_t *l = static_cast<net_listener_t *>(listener);
    bool no_memory = false;
    net_client_t *c = net_listener_take(el, l, fd, peer_name, &no_memory);
    if (no_memory)
        LOG(ERROR, "failed to create client for: %s from listener: %s,because: no-memory",
            peer_name, l->name);
    if (c == nullptr) return;
    if (clean_idle_timer == -1) {
        long long id = aeCreateTimeEvent(el, sweep_period_ms, clean_idle_client, l, nullptr);
        if (id == -1) {
            freeClient(el, c);
            return;
        }
        clean_idle_timer = id;
    }
    net_listener_adopt(el, l, c);
}

net_listener_t *createSecSoftListener(aeEventLoop *el, int fd, const char *name) {
    return net_listener_new(el, fd, name, handleClient, doFreeClient);
}

// An idle connection is closed like any other: its slot is cleared when the
// end of the pass frees it.
int clean_idle_client(aeEventLoop *el, long long, void *listener) {
    net_listener_t *l = static_cast<net_listener_t *>(listener);
    long now = aeGetMonoticNow();
    int live = 0;
    for (int fd = 0; fd <= l->max_client_fd; ++fd) {
        net_client_t *c = l->clients[fd];
        if (c == nullptr || c->closing) continue;
        if (c->last_active > now - idle_limit_seconds) {
            ++live;
            continue;
        }
        if (netLogConnLine(&c->log_budget)) LOG(INFO, "clean idle client %s,fd: %d", c->name, fd);
        net_close_client(el, c);
    }
    if (live > 0) return static_cast<int>(sweep_period_ms);
    clean_idle_timer = -1;
    return AE_TIMER_STOP;
}
