// Invariants as for the security-software listener; the table is the set of
// front UIs a broadcast reaches, in ascending descriptor order, less those
// closing. Notifications are held with the pass's other output and
// broadcast at its end (net_pass.cpp).
#include "net/net_fui.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include "log/mylog.h"
#include "net/ae/ae_assert.h"
#include "net/net_listener.h"
#include "net/net_pass.h"

#define LOG Singleton<MyLog>::Instance()->Write

static void doFreeClient(aeEventLoop *el, net_client_t *c) {
    const bool logged = c->log_budget.logged;
    int m = net_listener_release(el, c);
    if (m != kNetMaxFdKept && logged) LOG(INFO, "refresh new max fui-client-fd to: %d", m);
}

static void handleClient(aeEventLoop *el, int fd, const char *peer_name, void *listener) {
    AE_ASSERT(el != NULL && fd >= 0);
    net_listener_t *l = static_cast<net_listener_t *>(listener);
    bool no_memory = false;
    net_client_t *c = net_listener_take(el, l, fd, peer_name, &no_memory);
    if (no_memory)
        LOG(ERROR, "failed to create client for: %s from lisenter: %s,because: no-memory",
            peer_name, l->name);
    if (c == nullptr) return;
    net_listener_adopt(el, l, c);
}

net_listener_t *createFuiListener(aeEventLoop *el, int fd, const char *name) {
    return net_listener_new(el, fd, name, handleClient, doFreeClient);
}

void mox_post_fui(const std::string &msg) {
    net_listener_t *l = fui_listener;
    if (l == nullptr || l->clients == nullptr) {
        LOG(ERROR, "badly mox_post_fui failed,no fui_listener or clients");
        return;
    }
    net_hold_notice(msg.data(), msg.size());
}

void net_fui_broadcast(const char *msg, size_t len) {
    net_listener_t *l = fui_listener;
    if (l == nullptr || l->clients == nullptr) return;
    // A failed delivery only marks its connection: the table stays as it is
    // until the end of the pass.
    for (int fd = 0; fd <= l->max_client_fd; ++fd) {
        net_client_t *c = l->clients[fd];
        if (c == nullptr || c->closing) continue;
        LOG(DEBUG, "post message: %s to fui client: %s,fd: %d", msg, c->name, fd);
        int rc = net_send_bytes(l->el, c, msg, len, "handle_fui_post");
        if (rc == kNetFailed && netLogConnLine(&c->log_budget))
            LOG(ERROR, "handle_fui_post: post data %s to fui-client failed,because: %s", msg,
                strerror(errno));
        if (rc != 0) net_close_client(l->el, c);
    }
}
