// Accepting connections on a listening socket, including when the process
// is out of descriptors.
#pragma once

#include "net/ae/ae.h"

// Reserves the spare descriptor used to shed connections under EMFILE.
void net_accept_init();
void net_accept_uninit();

// Read handler of a listening socket: accepts until the backlog is empty,
// at most kNetAcceptsPerPass connections per readiness report.
void acceptHandler(aeEventLoop *el, int fd, void *listener, int mask);
