// The lines each uid may have handled per pass of the loop, whatever the
// number of its connections: a uid with 64 busy connections gets no more
// than one with a single connection. The share counts lines and their
// bytes: a uid sending long lines gets proportionally fewer of them. Peers
// whose uid is unknown (-1) share one budget. Only the loop's thread uses
// it.
#pragma once

#include <stddef.h>

// Lines and their bytes (line feeds included): what a uid may still have
// handled in a pass, or what it had handled.
struct net_share_t {
    int lines;
    size_t bytes;
};

// Starts a new pass: every uid has kNetLinesPerPass lines and
// kNetBytesPerPass bytes again.
void net_share_begin_pass();
// What `uid` may still have handled in this pass: none at all once either
// its lines or its bytes are spent. A line is begun while any byte is
// left, so a pass may take one line past the bytes.
net_share_t net_share_left(int uid);
// Counts what was handled for `uid` in this pass.
void net_share_spend(int uid, net_share_t spent);
