// The lines each uid may have handled per pass of the loop, whatever the
// number of its connections: a uid with 64 busy connections gets no more
// than one with a single connection. Peers whose uid is unknown (-1) share
// one budget. Only the loop's thread uses it.
#pragma once

// Starts a new pass: every uid has kNetLinesPerPass lines again.
void net_share_begin_pass();
// Lines `uid` may still have handled in this pass.
int net_share_left(int uid);
// Counts `lines` handled for `uid` in this pass.
void net_share_spend(int uid, int lines);
