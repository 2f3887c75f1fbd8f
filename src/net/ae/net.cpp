#include "net/ae/net.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/ae/ae_assert.h"
#include "net/ae/anet.h"
#include "net/ae/zmalloc.h"

static size_t s_output_bytes = 0;
static net_client_t *s_pending_head = nullptr;
static net_client_t *s_pending_tail = nullptr;

net_client_t *createClient(aeEventLoop *el, int fd, const char *name, aeFileProc *read_proc,
                           aeFileProc *write_proc, void *owner) {
    (void)el;
    AE_ASSERT(fd >= 0);
    auto *c = static_cast<net_client_t *>(zcalloc(sizeof(net_client_t)));
    if (c == nullptr) return nullptr;
    c->fd = fd;
    c->read_proc = read_proc;
    c->write_proc = write_proc;
    if (name != nullptr) {
        size_t n = strnlen(name, sizeof(c->name) - 1);
        memcpy(c->name, name, n);  // zcalloc left the rest zero
    }
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
    netPendingRemove(c);
    if (c->inbuf != nullptr) asBufferDestroy(c->inbuf);
    netSetOutbuf(c, nullptr);
    zfree(c->peer.exe);
    zfree(c->peer.groups);
    close(c->fd);
    zfree(c);
}

void netSetOutbuf(net_client_t *c, asBuffer *b) {
    if (c->outbuf != nullptr) {
        s_output_bytes -= asBufferCapacity(c->outbuf);
        asBufferDestroy(c->outbuf);
    }
    c->outbuf = b;
    if (b != nullptr) s_output_bytes += asBufferCapacity(b);
}

int netGrowOutbuf(net_client_t *c, size_t newSize) {
    size_t before = asBufferCapacity(c->outbuf);
    if (asBufferGrow(c->outbuf, newSize) != 0) return -1;
    s_output_bytes += asBufferCapacity(c->outbuf) - before;
    return 0;
}

size_t netOutputBytes() {
    return s_output_bytes;
}

void netPendingAdd(net_client_t *c) {
    if (c->pending) return;
    c->pending = 1;
    c->pending_next = nullptr;
    c->pending_prev = s_pending_tail;
    if (s_pending_tail != nullptr)
        s_pending_tail->pending_next = c;
    else
        s_pending_head = c;
    s_pending_tail = c;
}

void netPendingRemove(net_client_t *c) {
    if (!c->pending) return;
    if (c->pending_prev != nullptr)
        c->pending_prev->pending_next = c->pending_next;
    else
        s_pending_head = c->pending_next;
    if (c->pending_next != nullptr)
        c->pending_next->pending_prev = c->pending_prev;
    else
        s_pending_tail = c->pending_prev;
    c->pending = 0;
    c->pending_prev = c->pending_next = nullptr;
}

net_client_t *netPendingFirst() {
    return s_pending_head;
}
