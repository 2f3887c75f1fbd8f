// The epoll backend of the event loop; used by ae.cpp only.
#pragma once

#include "net/ae/ae.h"

// Allocates el->backend and its set_size event records: 0 or -1.
int aeApiCreate(aeEventLoop *el);
void aeApiFree(aeEventLoop *el);
// Sets the interest of fd to new_mask, coming from old_mask (0 = not in the set).
int aeApiUpdate(aeEventLoop *el, int fd, int old_mask, int new_mask);
// Waits up to timeout_ms (-1 without limit) and fills el->ready: the number of
// ready entries, 0 on timeout, error or interruption.
int aeApiPoll(aeEventLoop *el, int timeout_ms);
const char *aeApiName();
