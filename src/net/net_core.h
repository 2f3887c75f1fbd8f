// The connection core: the daemon's one event loop, its two listeners, the
// framing of request lines and the output queue of every connection.
#pragma once

#include <string>

#include "net/ae/ae.h"
#include "net/ae/net.h"

struct net_listener_t;

typedef void net_free_client_proc(aeEventLoop *el, net_client_t *c);
typedef void net_handle_client_proc(aeEventLoop *el, int fd, const char *peer_name, void *listener);
typedef void net_destroy_proc(net_listener_t *l);
typedef net_listener_t *net_listener_factory(aeEventLoop *el, int fd, const char *path);

// One listening socket and the table of its connections, indexed by
// descriptor; a descriptor at or above max_clients never gets a slot.
struct net_listener_t {
    int fd;
    char name[256];
    int max_clients;
    int max_client_fd;  // highest descriptor with a slot in use, or -1
    net_client_t **clients;
    net_free_client_proc *free_client;
    net_handle_client_proc *handle_client;
    aeEventLoop *el;
    net_destroy_proc *destroy;
    int paused;            // accepting paused while out of descriptors
    long accept_err_sec;   // monotonic second of the last logged accept failure
    long accept_err_drop;  // failures not logged since then
};

constexpr size_t kNetBufferSize = 131072;
// A connection whose queued output would pass this is closed.
constexpr size_t kNetMaxQueuedOutput = 16u * 1024u * 1024u;
constexpr int kNetMaxClients = 1024;
// Connections one non-root uid may hold across both sockets unless
// net_set_uid_connection_limit says otherwise.
constexpr int kNetDefaultUidConnections = 64;

extern aeEventLoop *elp_main;
extern net_listener_t *secsoft_listener;
extern net_listener_t *fui_listener;

// Creates the loop and both listeners on the two socket names: 0 or -2.
int MoxNetCoreInit(const char *secsoft, const char *fui);
// Runs the loop until MoxNetCoreStop: 0, or -3 before a successful init.
int MoxNetCoreRunLoop();
// Asks the loop to stop after its current pass; safe in a signal handler.
void MoxNetCoreStop();
void MoxNetCoreUninit();

// How many connections one non-root uid may hold across both sockets; the
// ones past it are refused at accept. A limit below 1 restores the default.
// Connections of uid 0 are bounded only by the client table.
void net_set_uid_connection_limit(int limit);
int net_uid_connection_limit();

net_listener_t *createListener(const char *path, aeEventLoop *el, net_listener_factory *factory);
void destroyListener(net_listener_t *l);

void acceptHandler(aeEventLoop *el, int fd, void *listener, int mask);
void recv_from_client(aeEventLoop *el, int fd, void *client, int mask);
int proc_input_buf(aeEventLoop *el, net_client_t *c, int nread);
void reply_to_client(aeEventLoop *el, int fd, void *client, int mask);

// One immediate write: bytes written, 0 when the socket takes nothing now,
// -1 on error.
long do_write_direct(net_client_t *c, long *last_active, const std::string &text);
// Makes room for `text` behind the queued output: 0, -2 out of memory, or
// -5 when the queue would pass kNetMaxQueuedOutput.
int may_realloc_outbuf(net_client_t *c, const std::string &text, const char *tag);

// Sends `text` to `c`: directly when nothing is queued, otherwise behind the
// queue, so lines never interleave. 0, or a negative code after which the
// caller closes the connection.
int net_send(aeEventLoop *el, net_client_t *c, const std::string &text, const char *tag);

// What every complete line is handed to; mox_handle_request unless a test
// installs another (null restores it).
struct mox_packet_t;
typedef int net_line_handler(const char *line, unsigned long len, mox_packet_t &packet);
void net_set_line_handler(net_line_handler *handler);

// Closing a connection while its own input is being handled is deferred to
// the end of that handling: true when `c` is that connection (it is then
// marked and must not be used further by the caller).
bool net_defer_close(net_client_t *c);
// True when `c` has been marked for closing and must not receive output.
bool net_close_pending(const net_client_t *c);
