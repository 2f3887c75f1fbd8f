// Who holds the other end of a connection. A plain record of its own so
// that the layers which judge a request by its sender need nothing else of
// the connection.
#pragma once

#include <sys/types.h>

// As the kernel reported it when the connection was accepted (SO_PEERCRED,
// SO_PEERGROUPS) and as /proc/<pid>/exe named its program then. -1 / null /
// 0 when unknown.
struct net_peer_t {
    int pid;
    int uid;
    int gid;
    char *exe;      // owned by the connection; null when unreadable
    gid_t *groups;  // supplementary groups, owned by the connection
    int ngroups;
    // The connection's socket (owned by the connection), through which the
    // kernel names the process that connected (peer/pidfd.h), and when the
    // connection was accepted (CLOCK_BOOTTIME, ns): that process connected
    // no later. -1 when no connection is behind the peer.
    int sock = -1;
    long long accepted_ns = -1;
};
