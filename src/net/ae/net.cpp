#include "net/ae/net.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/ae/ae_assert.h"
#include "net/ae/anet.h"
#include "net/ae/zmalloc.h"

static size_t s_output_bytes = 0;

static void netCloseQueueRemove(net_client_t *c);

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
    c->peer.sock = -1;
    c->peer.accepted_ns = -1;
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
    netCloseQueueRemove(c);
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

namespace {

struct PendingList {
    net_client_t *head;
    net_client_t *tail;
};

void list_push(PendingList &l, net_client_t *c) {
    c->pending_next = nullptr;
    c->pending_prev = l.tail;
    if (l.tail != nullptr)
        l.tail->pending_next = c;
    else
        l.head = c;
    l.tail = c;
}

void list_unlink(PendingList &l, net_client_t *c) {
    if (c->pending_prev != nullptr)
        c->pending_prev->pending_next = c->pending_next;
    else
        l.head = c->pending_next;
    if (c->pending_next != nullptr)
        c->pending_next->pending_prev = c->pending_prev;
    else
        l.tail = c->pending_prev;
    c->pending_prev = c->pending_next = nullptr;
}

}  // namespace

static PendingList s_pending = {nullptr, nullptr};
static PendingList s_served = {nullptr, nullptr};

void netPendingAdd(net_client_t *c) {
    if (c->pending) return;
    c->pending = 1;
    list_push(s_pending, c);
}

void netPendingServed(net_client_t *c) {
    netPendingRemove(c);
    c->pending = 2;
    list_push(s_served, c);
}

void netPendingRequeue() {
    net_client_t *c;
    while ((c = s_served.head) != nullptr) {
        list_unlink(s_served, c);
        c->pending = 1;
        list_push(s_pending, c);
    }
}

void netPendingRemove(net_client_t *c) {
    if (!c->pending) return;
    list_unlink(c->pending == 2 ? s_served : s_pending, c);
    c->pending = 0;
}

net_client_t *netPendingFirst() {
    return s_pending.head != nullptr ? s_pending.head : s_served.head;
}

static net_client_t *s_close_head = nullptr;
static net_client_t *s_close_tail = nullptr;

void netCloseQueueAdd(net_client_t *c) {
    if (c->closing) return;
    c->closing = 1;
    c->close_next = nullptr;
    c->close_prev = s_close_tail;
    if (s_close_tail != nullptr)
        s_close_tail->close_next = c;
    else
        s_close_head = c;
    s_close_tail = c;
}

static void netCloseQueueRemove(net_client_t *c) {
    if (c->closing != 1) return;
    if (c->close_prev != nullptr)
        c->close_prev->close_next = c->close_next;
    else
        s_close_head = c->close_next;
    if (c->close_next != nullptr)
        c->close_next->close_prev = c->close_prev;
    else
        s_close_tail = c->close_prev;
    c->close_prev = c->close_next = nullptr;
    c->closing = 2;
}

net_client_t *netCloseQueueTake() {
    net_client_t *c = s_close_head;
    if (c != nullptr) netCloseQueueRemove(c);
    return c;
}
