#include "net/ae/net.h"

#include <unistd.h>

#include <cstdio>

#include "net/ae/ae_assert.h"
#include "net/ae/anet.h"
#include "net/ae/zmalloc.h"

net_client_t *createClient(aeEventLoop *el, int fd, const char *name, aeFileProc *read_proc,
                           aeFileProc *write_proc, void *owner) {
    (void)el;
    AE_ASSERT(fd >= 0);
    auto *c = static_cast<net_client_t *>(zcalloc(sizeof(net_client_t)));
    if (c == nullptr) return nullptr;
    // Results ignored: TCP_NODELAY always fails on a Unix socket.
    anetNonBlock(nullptr, fd);
    anetTcpNoDelay(nullptr, fd);
    c->fd = fd;
    c->read_proc = read_proc;
    c->write_proc = write_proc;
    if (name != nullptr) snprintf(c->name, sizeof(c->name), "%s", name);
    c->last_active = aeGetMonoticNow();
    c->owner = owner;
    c->peer.pid = -1;
    c->peer.uid = -1;
    c->peer.gid = -1;
    return c;
}

int handleClientReadEvent(aeEventLoop *el, net_client_t *c) {
    return aeAddReadEvent(el, c->fd, c->read_proc, c);
}

int handleClientWriteEvent(aeEventLoop *el, net_client_t *c) {
    return aeAddWriteEvent(el, c->fd, c->write_proc, c);
}

void freeClient(aeEventLoop *el, net_client_t *c) {
    AE_ASSERT(c != NULL);
    aeDeleteFileEvent(el, c->fd, AE_MASK_READ | AE_MASK_WRITE);
    if (c->inbuf != nullptr) asBufferDestroy(c->inbuf);
    if (c->outbuf != nullptr) asBufferDestroy(c->outbuf);
    zfree(c->peer.exe);
    zfree(c->peer.groups);
    close(c->fd);
    zfree(c);
}
