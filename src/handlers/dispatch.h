// The request entry: a decoded request is dispatched by type to the handler
// tables, through the access gate. mox_serve_line is what the connection
// core is given as its line handler.
#pragma once

#include <string>

#include "peer/line_out.h"
#include "proto/proto.h"

struct net_peer_t;
struct net_log_budget_t;

// Shape of every request handler; the context is always null.
typedef int (*mox_handle_t)(mox_packet_t &packet, void *context);

// Handlers by type - 1000 and type - 2000; a null entry is not served.
extern const mox_handle_t fui_handles[kMoxFuiHandleCount];
extern const mox_handle_t secsoft_handles[kMoxSecSoftHandleCount];

// Decodes one line (without its '\n') and dispatches it. 0: `response` holds
// the reply; -2 no memory or the reply failed to encode; -3 empty line; -5
// longer than 8192 bytes; -6 not base64, not JSON, a member missing or
// mistyped, or a type that is not served. Anything but 0 means: send nothing.
int mox_handle_request(const char *line, unsigned long len, mox_packet_t &packet);

// Runs the handler for the packet's type: its result, or -6 when the type is
// not served.
int handle_request(mox_packet_t &packet);

// mox_handle_request for one line of a connection (a net_line_handler):
// the packet carries the sender's identity and log budget; on 0
// `out->reply` holds the reply line.
int mox_serve_line(const char *line, unsigned long len, const net_peer_t *peer,
                   net_log_budget_t *log_budget, net_line_out_t *out);
