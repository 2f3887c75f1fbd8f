// What handling one line gives back to the connection core: kept below
// the event loop, with the peer's identity, so that the request entry
// (handlers) fills it without knowing the loop. The connection core holds
// it until the pass's writes are committed (net/net_core.h, net_end_pass).
#pragma once

#include <string>
#include <vector>

// What handling one line gives back to the connection core.
struct net_line_out_t {
    std::string reply;         // the reply line; sent when the handler returns 0
    std::string reply_failed;  // sent in its place when the pass's commit fails; empty: `reply`
                               // is sent anyway
    std::vector<std::string> notices;  // notification lines for every front UI, sent before the
                                       // reply, in order
};
