// The front-UI listener and the broadcast of notifications to every
// connected front UI. Front-UI connections are never closed for idleness.
#pragma once

#include <stddef.h>

#include <string>

#include "net/net_core.h"

net_listener_t *createFuiListener(aeEventLoop *el, int fd, const char *name);
// Holds `msg` for every front UI until the end of the pass (net_end_pass),
// behind the output already held; dropped with an ERROR line when there is
// no front-UI listener or no memory to hold it.
void mox_post_fui(const std::string &msg);
// Writes `len` bytes of `msg` to every connected front UI that is not
// closing, now (queued where the socket does not take it at once); a
// connection it fails with is closed, the others still get it.
void net_fui_broadcast(const char *msg, size_t len);
