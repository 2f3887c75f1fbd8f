#include "net/net_listener.h"

#include <stdio.h>

#include "log/mylog.h"
#include "net/ae/zmalloc.h"

#define LOG Singleton<MyLog>::Instance()->Write

static void free_callback(net_listener_t *l) {
    zfree(l->clients);
    l->clients = nullptr;
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
    l->max_client_fd = -1;
    l->el = el;
    snprintf(l->name, sizeof(l->name), "%s", name);
    l->fd = fd;
    l->handle_client = handle;
    l->free_client = free_client;
    l->destroy = free_callback;
    return l;
}

void net_listener_release(aeEventLoop *el, net_client_t *c, const char *refresh_format) {
    if (net_defer_close(c)) return;
    int fd = c->fd;
    net_listener_t *l = static_cast<net_listener_t *>(c->owner);
    freeClient(el, c);
    if (fd < 0) return;
    int m = net_listener_clear_slot(l, fd);
    if (m != -2) Singleton<MyLog>::Instance()->Write(INFO, refresh_format, m);
}

bool net_listener_adopt(aeEventLoop *el, net_listener_t *l, net_client_t *c) {
    int fd = c->fd;
    l->clients[fd] = c;
    if (fd > l->max_client_fd) l->max_client_fd = fd;
    LOG(INFO, "try to handle client: %s from listener: %s,fd: %d", c->name, l->name, fd);
    net_log_peer(l, c);
    if (handleClientReadEvent(el, c) == -1) {
        LOG(ERROR, "failed to handle client write event from listener: %s", l->name);
        l->free_client(el, c);
        return false;
    }
    return true;
}
