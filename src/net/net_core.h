// The connection core: the daemon's one event loop, its two listeners, the
// framing of request lines, the output held until the end of a pass and the
// output queue of every connection.
#pragma once

#include <string>

#include "net/ae/ae.h"
#include "net/ae/net.h"
#include "net/net_share.h"
#include "peer/line_out.h"

struct net_listener_t;

// What the connection core's operations return besides 0.
enum {
    kNetFailed = -1,       // a system call failed
    kNetNoMemory = -2,     // out of memory
    kNetNotReady = -3,     // no loop yet, or the write event could not be set
    kNetOverLimit = -5,    // the output would pass its bound
    kNetNoHandler = -6,    // no line handler is installed
    kNetPartialLine = -7,  // an incomplete line waits at the buffer's start
    kNetMoreLines = 1,     // stopped at the lines or bytes allowed with input left
};

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
    long accept_err_drop;  // failures not logged in that second, reported once it is over
};

// A connection's input buffer starts at kNetBufferInitial bytes, doubles
// while an incomplete line fills it, up to kNetBufferSize (a line that fills
// that closes the connection), and is released once nothing is left in it.
// Output buffers start at kNetBufferInitial too.
constexpr size_t kNetBufferInitial = 4096;
constexpr size_t kNetBufferSize = 131072;
// Lines of one uid handled per pass of the loop, shared by all its
// connections (net_share.h); the rest wait on the pending list for the next
// passes, so neither one client nor one user's many connections can hold
// the others while their backlog is handled.
constexpr int kNetLinesPerPass = 16;
// Bytes of those lines (line feeds included) per uid and pass: a line costs
// about its length to decode, so long lines are fewer per pass. Two lines
// of the longest length a request may have, or the 16 lines at 1 KiB each,
// well above a status update or a registration; a line is begun while any
// byte is left, so a pass takes at most one line more.
constexpr size_t kNetBytesPerPass = 16384;
// Connections one listener accepts per pass of the loop: a full backlog is
// emptied in a few passes, yet a flood of connections cannot hold the loop.
constexpr int kNetAcceptsPerPass = 64;
// The listen backlog of both sockets. Others can keep it full with
// connect-and-close; a new connection then waits behind that many, each
// accepted and closed first, so it is kept short. A connect finding it full
// waits in the kernel (or fails with EAGAIN when non-blocking).
constexpr int kNetListenBacklog = 128;
// A connection whose queued output would pass this is closed.
constexpr size_t kNetMaxQueuedOutput = 16u * 1024u * 1024u;
// Output storage of all connections together: past it the connection
// holding the most is cut off, until the rest fits.
constexpr size_t kNetMaxTotalOutput = 64u * 1024u * 1024u;
constexpr int kNetMaxClients = 1024;
// The highest slots of the client table only uid 0 may take, so that many
// non-root users together cannot fill it either.
constexpr int kNetRootReserve = 64;
// The slots just below those only root and the uid owning the active
// session (base/seat.h; anyone when logind does not run) may take, so that
// other users together cannot keep the desktop's own front UI out.
constexpr int kNetSessionReserve = 64;
// Connections one non-root uid may hold across both sockets unless
// net_set_uid_connection_limit says otherwise.
constexpr int kNetDefaultUidConnections = 64;

extern aeEventLoop *elp_main;
extern net_listener_t *secsoft_listener;
extern net_listener_t *fui_listener;

// Creates the loop and both listeners on the two socket names: 0, or
// kNetNoMemory with nothing of it left behind.
int MoxNetCoreInit(const char *secsoft, const char *fui);
// Runs the loop until MoxNetCoreStop: 0, or kNetNotReady before a successful
// init.
int MoxNetCoreRunLoop();
// Asks the loop to stop after its current pass; safe in a signal handler.
void MoxNetCoreStop();
// Frees what MoxNetCoreInit made: both listeners and every connection still
// open (descriptors closed, unlogged counts written), the loop with its
// timers and the wake pipe. Another init may follow and starts clean.
void MoxNetCoreUninit();

// How many connections one non-root uid may hold across both sockets; the
// ones past it are refused at accept. A limit below 1 restores the default.
// Connections of uid 0 are bounded only by the client table.
void net_set_uid_connection_limit(int limit);
int net_uid_connection_limit();

net_listener_t *createListener(const char *path, aeEventLoop *el, net_listener_factory *factory);
// Closes the listener's connections and its socket, and frees it.
void destroyListener(net_listener_t *l);

void acceptHandler(aeEventLoop *el, int fd, void *listener, int mask);
void recv_from_client(aeEventLoop *el, int fd, void *client, int mask);
// Handles complete lines of c's input while fewer than `allowed.lines`
// lines and `allowed.bytes` bytes were handled (a line is begun while any
// byte is allowed), the search for a line feed starting nread bytes before
// its end; what was handled goes to *handled. 0: nothing left (the buffer
// is released); kNetPartialLine; kNetMoreLines; kNetFailed or kNetNoMemory:
// failed, the caller closes the connection.
int proc_input_buf(aeEventLoop *el, net_client_t *c, int nread, net_share_t allowed,
                   net_share_t *handled);
// The loop's before-sleep hook: starts a pass (every uid's share of lines
// and bytes renewed), walks the pending list once, serving each connection
// whose uid has some of its share left, least recently served first, ends
// the pass (net_end_pass) and keeps the loop from sleeping while any
// connection is left on the pending list.
void net_serve_pending(aeEventLoop *el);
void reply_to_client(aeEventLoop *el, int fd, void *client, int mask);

// One immediate write: bytes written, 0 when the socket takes nothing now,
// kNetFailed on error.
long do_write_direct(net_client_t *c, long *last_active, const std::string &text);
// Makes room for `text` behind the queued output: 0, kNetNoMemory, or
// kNetOverLimit when the queue would pass kNetMaxQueuedOutput or when this connection
// holds the most output while all of it would pass kNetMaxTotalOutput
// (otherwise the connections holding more are cut off to make room).
int may_realloc_outbuf(net_client_t *c, const std::string &text, const char *tag);

// Sends `text` to `c`: directly when nothing is queued, otherwise behind the
// queue, so lines never interleave. 0, or kNetFailed, kNetNoMemory,
// kNetNotReady or kNetOverLimit, after which the caller closes the
// connection. It sends at once: output of a pass's lines is held instead
// (net_end_pass).
int net_send(aeEventLoop *el, net_client_t *c, const std::string &text, const char *tag);
int net_send_bytes(aeEventLoop *el, net_client_t *c, const char *text, size_t len, const char *tag);

// What every complete line is handed to: the line without its '\n' (a NUL
// stands there), the sender's identity and its budget of log lines about
// bad input; `out` comes empty. 0: `out->reply` goes to the sender; anything
// else: no reply. The notices are held whatever the result. The main
// sequence installs the request entry; while none is installed (or after
// null) lines get no reply.
typedef int net_line_handler(const char *line, unsigned long len, const net_peer_t *peer,
                             net_log_budget_t *log_budget, net_line_out_t *out);
void net_set_line_handler(net_line_handler *handler);

// Called at the end of every pass, before the pass's output leaves: true
// when the writes made during the pass are durable or there were none,
// false when their commit failed.
typedef bool net_pass_end_proc(void);
// Null (the default): every pass counts as committed.
void net_set_pass_end(net_pass_end_proc *proc);

// Ends a pass: calls the pass-end procedure, then sends the output held
// since the last end in the order it was made (each reply to its
// connection, each notification to every front UI), skipping connections
// closed meanwhile; after a failed commit a reply with a failed form is sent
// in that form and the notifications are dropped. Then the connections
// closed during the pass are freed. The before-sleep hook calls it; tests
// may too.
void net_end_pass(aeEventLoop *el);

// Closes `c`: it is marked closing, its events are removed and its output
// dropped at once, so nothing more is read from or sent to it; the record
// stays, in its listener's table, until the end of the pass frees it through
// the listener's free_client. Closing a closing connection does nothing.
void net_close_client(aeEventLoop *el, net_client_t *c);
