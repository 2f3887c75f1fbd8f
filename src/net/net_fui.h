// The front-UI listener and the broadcast of notifications to every
// connected front UI. Front-UI connections are never closed for idleness.
#pragma once

#include <string>

#include "net/net_core.h"

net_listener_t *createFuiListener(aeEventLoop *el, int fd, const char *name);
// Writes `msg` to every connected front UI (queued where the socket does
// not take it at once); a failure with one never stops the others.
void mox_post_fui(const std::string &msg);
