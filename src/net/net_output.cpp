// Output of the connection core: the direct write, the queue of each
// connection and the bound on what all queues together may hold.
//
// Invariants: output is written directly only while nothing is queued, so
// lines never interleave; a drained queue gives its buffer back; the
// storage of all output buffers stays within kNetMaxTotalOutput, which is
// kept by cutting off the connection holding the most. A closing connection
// holds no output buffer and is never written to.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "log/mylog.h"
#include "net/ae/asbuffer.h"
#include "net/net_core.h"
#include "net/net_listener.h"

#define LOG Singleton<MyLog>::Instance()->Write

static long write_direct(net_client_t *c, long *last_active, const char *text, size_t len) {
    if (len == 0) return 0;
    ssize_t w;
    do {
        w = write(c->fd, text, len);
    } while (w < 0 && errno == EINTR);
    if (w > 0) {
        *last_active = aeGetMonoticNow();
        return w;
    }
    if (w == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return kNetFailed;
}

long do_write_direct(net_client_t *c, long *last_active, const std::string &text) {
    return write_direct(c, last_active, text.data(), text.size());
}

static size_t output_of(const net_client_t *c) {
    return c->outbuf != nullptr ? asBufferCapacity(c->outbuf) : 0;
}

// Cuts off `v` for holding the most output: closing it drops its output at
// once, the record goes at the end of the pass.
static void cut_off(net_client_t *v, const char *tag) {
    net_listener_t *l = static_cast<net_listener_t *>(v->owner);
    LOG(ERROR,
        "%s: output of all clients would pass %zu bytes,cut off the largest: client %s,fd: %d "
        "from listener: %s,pid: %d,uid: %d,holding %zu bytes",
        tag, kNetMaxTotalOutput, v->name, v->fd, l->name, v->peer.pid, v->peer.uid, output_of(v));
    net_close_client(l->el, v);
}

// Makes the output of all connections fit kNetMaxTotalOutput once `c`
// holds `want` bytes, cutting off the connections that hold the most.
// False when `c` itself would hold the most: the caller closes it.
static bool fit_total_output(net_client_t *c, size_t want, const char *tag) {
    while (netOutputBytes() - output_of(c) + want > kNetMaxTotalOutput) {
        net_client_t *v = net_listener_largest_output(c);
        if (v == nullptr || output_of(v) <= want) {
            LOG(ERROR,
                "%s: output of all clients would pass %zu bytes,close client %s,fd: %d,pid: "
                "%d,uid: %d,which would hold the most: %zu bytes",
                tag, kNetMaxTotalOutput, c->name, c->fd, c->peer.pid, c->peer.uid, want);
            return false;
        }
        cut_off(v, tag);
    }
    return true;
}

// Makes room for `len` more bytes behind the queued output.
static int reserve_outbuf(net_client_t *c, size_t len, const char *tag) {
    asBuffer *b = c->outbuf;
    if (b != nullptr && static_cast<size_t>(b->end - b->last) >= len) return 0;
    size_t queued = b != nullptr ? static_cast<size_t>(b->last - b->pos) : 0;
    if (queued + len > kNetMaxQueuedOutput) {
        LOG(ERROR, "%s: output queue of client %s,fd: %d would pass %zu bytes,close it", tag,
            c->name, c->fd, kNetMaxQueuedOutput);
        return kNetOverLimit;
    }
    size_t cap = output_of(c);
    if (b != nullptr) {
        // Sent bytes are dropped from the front first.
        memmove(b->start, b->pos, queued);
        b->pos = b->start;
        b->last = b->start + queued;
        if (cap - queued >= len) return 0;
    }
    // Geometric growth, so that a slow reader costs amortised linear copying.
    size_t want =
        std::min(std::max({cap * 2, kNetBufferInitial, queued + len}), kNetMaxQueuedOutput);
    if (!fit_total_output(c, want, tag)) return kNetOverLimit;
    if (b != nullptr) return netGrowOutbuf(c, want) == 0 ? 0 : kNetNoMemory;
    asBuffer *nb = asBufferCreate(want);
    if (nb == nullptr) {
        LOG(ERROR, "%s: create output-buffer failed,no memory", tag);
        return kNetNoMemory;
    }
    netSetOutbuf(c, nb);
    return 0;
}

int may_realloc_outbuf(net_client_t *c, const std::string &text, const char *tag) {
    return reserve_outbuf(c, text.size(), tag);
}

int net_send_bytes(aeEventLoop *el, net_client_t *c, const char *text, size_t len,
                   const char *tag) {
    if (c->closing) return 0;  // its output was dropped with its events
    size_t off = 0;
    bool queued = c->outbuf != nullptr && c->outbuf->pos != c->outbuf->last;
    if (!queued) {
        long w = write_direct(c, &c->last_active, text, len);
        if (w < 0) return kNetFailed;
        off = static_cast<size_t>(w);
        if (off == len) return 0;
    }
    // Only the unsent tail is queued, copied once into the buffer.
    size_t rest = len - off;
    int rc = reserve_outbuf(c, rest, tag);
    if (rc != 0) return rc;
    if (handleClientWriteEvent(el, c) == -1) return kNetNotReady;
    memcpy(c->outbuf->last, text + off, rest);
    c->outbuf->last += rest;
    return 0;
}

int net_send(aeEventLoop *el, net_client_t *c, const std::string &text, const char *tag) {
    return net_send_bytes(el, c, text.data(), text.size(), tag);
}

void reply_to_client(aeEventLoop *el, int fd, void *client, int) {
    net_client_t *c = static_cast<net_client_t *>(client);
    asBuffer *b = c->outbuf;
    long total = 0;
    bool failed = false;
    while (b != nullptr && b->pos < b->last) {
        ssize_t w = write(fd, b->pos, static_cast<size_t>(b->last - b->pos));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
            failed = errno != EAGAIN && errno != EWOULDBLOCK;
            break;
        }
        if (w == 0) break;
        b->pos += w;
        total += w;
    }
    if (failed) {
        if (netLogConnLine(&c->log_budget))
            LOG(ERROR, "Error writing to client: %s", strerror(errno));
        net_close_client(el, c);
        return;
    }
    if (total > 0) c->last_active = aeGetMonoticNow();
    if (b == nullptr || b->pos == b->last) {
        // Drained: the buffer goes back until output queues again.
        netSetOutbuf(c, nullptr);
        aeDeleteWriteEvent(el, fd);
    }
}
