// One accepted connection: its descriptor, its peer name and its two
// buffers. The record owns the descriptor and both buffers; freeClient
// releases all of them. It never touches a listener's table of connections.
#pragma once

#include "net/ae/ae.h"
#include "net/ae/asbuffer.h"

struct net_client_t {
    int fd;
    char name[128];    // peer's socket path from accept; empty for unnamed or abstract peers
    long last_active;  // monotonic seconds of the last successful write to the peer
    asBuffer *inbuf;   // null until the first read
    asBuffer *outbuf;  // null until the first response
    aeFileProc *read_proc;
    aeFileProc *write_proc;
    void *owner;  // the listener that accepted the connection
    // The peer's credentials when it connected (SO_PEERCRED), -1 unknown.
    int peer_pid;
    int peer_uid;
};

// Makes fd non-blocking and wraps it; registers nothing. Null when out of
// memory (fd then stays with the caller). fd must not be negative.
net_client_t *createClient(aeEventLoop *el, int fd, const char *name, aeFileProc *read_proc,
                           aeFileProc *write_proc, void *owner);
// Arm reading / writing: 0 (also when already armed) or -1.
int handleClientReadEvent(aeEventLoop *el, net_client_t *c);
int handleClientWriteEvent(aeEventLoop *el, net_client_t *c);
// Removes both registrations, destroys the buffers, closes fd, frees c.
void freeClient(aeEventLoop *el, net_client_t *c);
