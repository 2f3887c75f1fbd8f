// Invariants as for the security-software listener; the table is the set of
// front UIs a broadcast reaches, in ascending descriptor order.
#include "net/net_fui.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include "log/mylog.h"
#include "net/ae/ae_assert.h"
#include "net/ae/zmalloc.h"

#define LOG Singleton<MyLog>::Instance()->Write

static void doFreeClient(aeEventLoop *el, net_client_t *c) {
    if (net_defer_close(c)) return;
    int fd = c->fd;
    net_listener_t *l = static_cast<net_listener_t *>(c->owner);
    freeClient(el, c);
    if (fd < 0) return;
    int m = net_listener_clear_slot(l, fd);
    if (m != -2) LOG(INFO, "refresh new max fui-client-fd to: %d", m);
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
        LOG(ERROR, "failed to create client for: %s from lisenter: %s,because: no-memory",
            peer_name, l->name);
        return;
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

net_listener_t *createFuiListener(aeEventLoop *el, int fd, const char *name) {
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

void mox_post_fui(const std::string &msg) {
    net_listener_t *l = fui_listener;
    if (l == nullptr || l->clients == nullptr) {
        LOG(ERROR, "badly mox_post_fui failed,no fui_listener or clients");
        return;
    }
    // max_client_fd is read again each round: a failed delivery may lower it.
    for (int fd = 0; fd <= l->max_client_fd; ++fd) {
        net_client_t *c = l->clients[fd];
        if (c == nullptr || net_close_pending(c)) continue;
        LOG(DEBUG, "post message: %s to fui client: %s,fd: %d", msg.c_str(), c->name, fd);
        net_listener_t *owner = static_cast<net_listener_t *>(c->owner);
        int rc = net_send(owner->el, c, msg, "handle_fui_post");
        if (rc == -1)
            LOG(ERROR, "handle_fui_post: post data %s to fui-client failed,because: %s",
                msg.c_str(), strerror(errno));
        if (rc != 0) owner->free_client(owner->el, c);
    }
}
