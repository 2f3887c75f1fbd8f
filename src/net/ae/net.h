// One accepted connection: its descriptor, its peer name and its two
// buffers. The record owns the descriptor and both buffers; freeClient
// releases all of them. It never touches a listener's table of connections.
#pragma once

#include <sys/types.h>

#include "net/ae/ae.h"
#include "net/ae/asbuffer.h"
#include "net/ae/logbudget.h"

// Who holds the other end of a connection, as the kernel reported it when
// the connection was accepted (SO_PEERCRED, SO_PEERGROUPS) and as
// /proc/<pid>/exe named its program then. -1 / null / 0 when unknown.
struct net_peer_t {
    int pid;
    int uid;
    int gid;
    char *exe;      // owned by the connection; null when unreadable
    gid_t *groups;  // supplementary groups, owned by the connection
    int ngroups;
};

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
    net_log_budget_t log_budget;  // lines its bad input may still put in the log
};

// Makes fd non-blocking and wraps it; registers nothing. Null when out of
// memory (fd then stays with the caller). fd must not be negative.
net_client_t *createClient(aeEventLoop *el, int fd, const char *name, aeFileProc *read_proc,
                           aeFileProc *write_proc, void *owner);
// Arm reading / writing: 0 (also when already armed) or -1.
int handleClientReadEvent(aeEventLoop *el, net_client_t *c);
int handleClientWriteEvent(aeEventLoop *el, net_client_t *c);
// Removes both registrations, destroys the buffers and the peer's
// identity, closes fd, frees c.
void freeClient(aeEventLoop *el, net_client_t *c);
