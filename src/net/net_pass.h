// The output held during a pass of the loop: the connection core and the
// front-UI broadcast put replies and notifications here instead of sending
// them; net_end_pass (net_core.h) sends them once the pass's writes are
// committed.
#pragma once

#include <stddef.h>

#include "net/ae/net.h"

// Holds a reply for `c`, with the form sent instead after a failed commit
// (flen 0: none). 0, or kNetNoMemory (ERROR line) with nothing held.
int net_hold_reply(net_client_t *c, const char *reply, size_t len, const char *failed, size_t flen);
// Holds a notification for every front UI. 0, or kNetNoMemory (ERROR line)
// with nothing held.
int net_hold_notice(const char *msg, size_t len);
// Drops the held replies of `c`, which is freed now rather than at the end
// of the pass (a listener going, a connection that never got in).
void net_pass_forget(const net_client_t *c);
// Gives back the memory kept for holding; nothing may be held.
void net_pass_release();
