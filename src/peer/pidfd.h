// The process at the other end of a connection, pinned: a pidfd of the
// process that connected, which no later process can stand for, whatever
// pid it gets. The kernel keeps that process's identity with the socket
// (SO_PEERPIDFD, Linux 6.5); without it the pid SO_PEERCRED gave is opened
// and taken only if that process started no later than the connection was
// accepted.
#pragma once

#include "peer/peer.h"

// Now on CLOCK_BOOTTIME, in ns: what net_peer_t's accepted_ns is stamped
// with, and the clock /proc/<pid>/stat counts a process's start on.
long long net_peer_clock_ns();

// A pidfd (close-on-exec; the caller owns it) of the process that
// connected, alive when taken; -1 otherwise, with `*why`: ESRCH when that
// process has exited, else why none could be had (EBADF for a peer without
// a connection, an errno of pidfd_open or of reading /proc).
int net_peer_pidfd(const net_peer_t &peer, int *why);

// The fallback alone, for kernels without SO_PEERPIDFD: pidfd_open of the
// peer's pid, taken only while the process it names started no later than
// `peer.accepted_ns` (as `procdir`/<pid>/stat tells, to the clock tick) and
// still lives after that was read. Same results as net_peer_pidfd.
int net_peer_pidfd_by_pid(const net_peer_t &peer, const char *procdir, int *why);

// When `procdir`/<pid>/stat says the process started, in ns on
// CLOCK_BOOTTIME rounded down to the clock tick; -1 (errno set) when it
// cannot be read.
long long net_peer_start_ns(const char *procdir, int pid);
