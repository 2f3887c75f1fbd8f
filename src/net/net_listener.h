// What both listeners share: the listener record with its table of
// connections, and taking a connection out of that table.
#pragma once

#include "net/net_core.h"

// A zero-filled listener with a table of kNetMaxClients slots and the given
// procedures; null (and ERROR "out of memory to create listener" when the
// record itself cannot be had) on allocation failure, and null with an
// ERROR line when four listeners exist already.
net_listener_t *net_listener_new(aeEventLoop *el, int fd, const char *name,
                                 net_handle_client_proc *handle, net_free_client_proc *free_client);

// What net_listener_release returns when the highest descriptor in use
// stays as it was.
constexpr int kNetMaxFdKept = -2;

// Frees `c` now and clears its slot: the new highest descriptor in use (-1
// for none) when `c` held the highest, for the caller to log, else
// kNetMaxFdKept. The count of its bad input lines left out of the log, if
// any, is logged first; replies still held for it are dropped. This is what
// a listener's free_client does; closing goes through net_close_client.
int net_listener_release(aeEventLoop *el, net_client_t *c);

// A connection record for a freshly accepted descriptor, or null when the
// descriptor does not fit the table (ERROR line), when its peer is not
// root and either holds net_uid_connection_limit() connections already or
// would take one of the last kNetRootReserve slots (ERROR line at most once
// a second), or when memory runs out (`*no_memory` set, for the caller to
// log); in all these cases the descriptor is closed.
net_client_t *net_listener_take(aeEventLoop *el, net_listener_t *l, int fd, const char *peer_name,
                                bool *no_memory);

// Puts an accepted connection into the table and arms reading; on failure
// the connection is closed through the listener. False when it is gone.
bool net_listener_adopt(aeEventLoop *el, net_listener_t *l, net_client_t *c);

// Connections of `uid` in the tables of all listeners, closing ones included.
int net_listener_count_uid(int uid);

// The connection of any listener holding the most output storage, other
// than `except` and those already being closed; null when none holds any.
net_client_t *net_listener_largest_output(const net_client_t *except);
