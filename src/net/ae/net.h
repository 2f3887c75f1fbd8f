// One accepted connection: its descriptor, its peer name and its two
// buffers. The record owns the descriptor and both buffers; freeClient
// releases all of them. It never touches a listener's table of connections.
//
// Two process-wide facts about all records are kept here, next to
// freeClient, so that no way of closing a connection can leave them stale:
// the bytes held by all output buffers, and the list of connections with
// input read but not yet handled (the pending list, with its second part:
// the connections served by the current walk of it), and the queue of the
// connections closed in this pass, waiting to be freed at its end.
#pragma once

#include <sys/types.h>

#include "net/ae/ae.h"
#include "net/ae/asbuffer.h"
#include "peer/logbudget.h"
#include "peer/peer.h"

struct net_client_t {
    int fd;
    char name[128];    // peer's socket path from accept; empty for unnamed or abstract peers
    long last_active;  // monotonic seconds of the last successful write to the peer
    asBuffer *inbuf;   // null until the first read
    asBuffer *outbuf;  // null until the first response
    aeFileProc *read_proc;
    aeFileProc *write_proc;
    void *owner;  // the listener that accepted the connection
    net_peer_t peer;
    int peer_errno;               // why SO_PEERCRED failed on accept; 0 when it did not
    net_log_budget_t log_budget;  // lines its bad input may still put in the log
    net_client_t *pending_prev;   // links of the pending list
    net_client_t *pending_next;
    int pending;                       // 0, or on the pending list (1) or its served part (2)
    unsigned long long pending_round;  // the last walk of that list that served it
    int closing;               // 0, or closed and on the close queue (1) or taken off it (2)
    net_client_t *close_prev;  // links of the close queue
    net_client_t *close_next;
};

// Wraps fd, which must already be non-blocking (anetUnixAccept makes it so);
// registers nothing. Null when out of
// memory (fd then stays with the caller). fd must not be negative.
net_client_t *createClient(aeEventLoop *el, int fd, const char *name, aeFileProc *read_proc,
                           aeFileProc *write_proc, void *owner);
// Arm reading / writing: 0 (also when already armed) or -1.
int handleClientReadEvent(aeEventLoop *el, net_client_t *c);
int handleClientWriteEvent(aeEventLoop *el, net_client_t *c);
// Removes both registrations, takes c off the pending list and the close
// queue, destroys the buffers and the peer's identity, closes fd, frees c.
void freeClient(aeEventLoop *el, net_client_t *c);

// Gives c the output buffer b (null: none), destroying the one it had.
// Output buffers are replaced only through this and netGrowOutbuf.
void netSetOutbuf(net_client_t *c, asBuffer *b);
// Raises the capacity of c's output buffer: 0, or -1 when out of memory.
int netGrowOutbuf(net_client_t *c, size_t newSize);
// Bytes of storage held by the output buffers of all connections.
size_t netOutputBytes();

// The pending list, in the order connections were added: netPendingAdd puts
// c at the tail unless it is on the list (either part) already;
// netPendingRemove takes c off either part and does nothing for a
// connection on neither. netPendingServed puts c at the tail of the served
// part, which netPendingRequeue moves behind the rest: connections served
// last wait behind those that arrived or were passed over meanwhile.
// netPendingFirst: the head of the list, else of its served part.
void netPendingAdd(net_client_t *c);
void netPendingServed(net_client_t *c);
void netPendingRequeue();
void netPendingRemove(net_client_t *c);
net_client_t *netPendingFirst();

// The close queue, in the order connections were closed: netCloseQueueAdd
// marks c closing and puts it at the tail, once (a closing connection stays
// closing); netCloseQueueTake takes the head off (its mark stays), or gives
// null when the queue is empty.
void netCloseQueueAdd(net_client_t *c);
net_client_t *netCloseQueueTake();
