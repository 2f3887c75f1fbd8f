/* The client library's C interface, for C and C++ programs alike: connect
 * to one of the daemon's two sockets, send requests and wait for their
 * replies, read the notifications a front UI receives.
 *
 * Every function that can fail returns KORVANE_OK (0) or a negative
 * KORVANE_E_* code and leaves a message in korvane_client_error(). A handle
 * is not thread-safe; distinct handles may be used by distinct threads.
 * Installed as <korvane/korvane.h>; korvane(3) is its manual page.
 *
 * Linking: `pkg-config --cflags --libs korvane-client`, or CMake's
 * find_package(korvane-client) and the target korvane::client. The static
 * archive libkorvane-client.a is C++ inside: it needs the C++ runtime and
 * libm, which `pkg-config --static --libs korvane-client` adds (-lstdc++
 * -lm, then cJSON's -lcjson -lm) and korvane::client_static carries. A fully static program
 * is not possible: Debian's libcjson-dev has no static archive, so the
 * program links libcjson.so.1 whichever way it takes this library. */
#ifndef KORVANE_H
#define KORVANE_H

#include <stddef.h>
#include <stdint.h>

/* Installed next to this header. */
#include "korvane_codes.h"
#include "korvane_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes of the functions below. */
enum korvane_error {
    KORVANE_OK = 0,
    KORVANE_E_INVALID = -1,       /* a null or malformed argument; "data" not JSON */
    KORVANE_E_NOMEM = -2,         /* out of memory */
    KORVANE_E_CONNECT = -3,       /* nobody listens, or the name is unusable */
    KORVANE_E_PEER = -4,          /* the listener does not run as root */
    KORVANE_E_NOT_CONNECTED = -5, /* no connection was ever made, or it was closed */
    KORVANE_E_IO = -6,            /* a send or read failed */
    KORVANE_E_CLOSED = -7,        /* the daemon closed the connection */
    KORVANE_E_TIMEOUT = -8,       /* nothing arrived in time */
    KORVANE_E_PROTOCOL = -9       /* the daemon sent a line that does not decode */
};

typedef enum korvane_endpoint {
    KORVANE_ENDPOINT_SECSOFT = 0, /* the security products' socket */
    KORVANE_ENDPOINT_FUI = 1,     /* the front UIs' socket, which gets the notifications */
    /* Not endpoints: they make every int a value of the type, so a C
       caller's wrong number is refused with KORVANE_E_INVALID rather than
       being undefined in the library's C++. */
    KORVANE_ENDPOINT_INT_MIN_ = -0x7fffffff - 1,
    KORVANE_ENDPOINT_INT_MAX_ = 0x7fffffff
} korvane_endpoint_t;

typedef struct korvane_client korvane_client_t;

/* A reply or a notification. The caller owns the struct; the strings in it
 * belong to the library until korvane_message_free(). */
typedef struct korvane_message {
    uint64_t id;
    uint32_t type;
    int has_result; /* 1 for a reply, 0 for a notification */
    int32_t result; /* a KORVANE_RESULT_* value when has_result */
    char *uuid;     /* "" when the message had none */
    char *data;     /* "data" as compact JSON text; NULL when absent */
} korvane_message_t;

/* NULL when out of memory. A new handle requires a listener running as
 * root and reconnects after the daemon closed its connection. */
KORVANE_EXPORT korvane_client_t *korvane_client_new(void);
/* Closes the connection, if any, and frees the handle; NULL is ignored. */
KORVANE_EXPORT void korvane_client_free(korvane_client_t *client);

/* The message of the last failure on this handle ("" when none); valid
 * until the next call on the handle. */
KORVANE_EXPORT const char *korvane_client_error(const korvane_client_t *client);
/* A fixed text for a KORVANE_E_* code. */
KORVANE_EXPORT const char *korvane_strerror(int code);

/* Whether to accept only a listener running as root (1, the default) or
 * any (0): a daemon under test, or run by an ordinary user, needs 0. */
KORVANE_EXPORT void korvane_client_set_require_root_peer(korvane_client_t *client, int require);
/* Whether korvane_request reconnects once after the daemon closed the
 * connection (1, the default) or fails with KORVANE_E_CLOSED (0). */
KORVANE_EXPORT void korvane_client_set_reconnect(korvane_client_t *client, int reconnect);

/* Writes the socket name of an endpoint, as VESKKORVANED_ROOT relocates
 * it ("@/tmp/.zelluskkorvane" and the like), into buf; fails with
 * KORVANE_E_INVALID when it does not fit in size bytes with its NUL. */
KORVANE_EXPORT int korvane_endpoint_name(korvane_endpoint_t endpoint, char *buf, size_t size);

/* How long a connect (and the reconnect of korvane_request) waits for the
 * daemon to take the connection, in milliseconds (negative: no limit);
 * 5000 by default. A daemon whose listen backlog is full keeps connect
 * waiting; past the limit it fails with KORVANE_E_TIMEOUT. */
KORVANE_EXPORT void korvane_client_set_connect_timeout(korvane_client_t *client, int timeout_ms);

/* Connects to an endpoint, or to a socket name: "@name" for an abstract
 * socket, anything else a filesystem path. A held connection is closed
 * first, and unread notifications are dropped. KORVANE_E_TIMEOUT when the
 * daemon did not take the connection within the connect timeout. */
KORVANE_EXPORT int korvane_client_connect(korvane_client_t *client, korvane_endpoint_t endpoint);
KORVANE_EXPORT int korvane_client_connect_name(korvane_client_t *client, const char *name);
/* Connects again to the name of the last connect. */
KORVANE_EXPORT int korvane_client_reconnect(korvane_client_t *client);
/* Closes the connection; the handle stays usable. */
KORVANE_EXPORT void korvane_client_close(korvane_client_t *client);
/* The connection's descriptor, for poll (readable: a line may have come);
 * -1 when not connected. */
KORVANE_EXPORT int korvane_client_fd(const korvane_client_t *client);

/* Sends a request and waits at most timeout_ms (negative: no limit) for
 * its reply. The library numbers the requests of a handle 1, 2, ...;
 * data_json, when not NULL, is JSON text sent as "data". On KORVANE_OK the
 * reply is in *reply (its "result" in reply->result); free it with
 * korvane_message_free. Notifications that arrive meanwhile are kept for
 * korvane_read_notification; late replies to earlier requests are dropped.
 *
 * When the daemon has closed the connection (it closes a product
 * connection that has been idle for 60 seconds, and all of them when it
 * stops), the first write of the request fails: the library connects
 * again once and sends the request there, since the daemon never saw it.
 * When the connection ends after the request was written and before its
 * reply, the request may or may not have been handled: the call fails
 * with KORVANE_E_CLOSED without sending again, and the next call connects
 * again. */
KORVANE_EXPORT int korvane_request(korvane_client_t *client, const char *uuid, uint32_t type,
                                   const char *data_json, int timeout_ms, korvane_message_t *reply);

/* The next notification, a kept one first, waiting at most timeout_ms
 * (negative: no limit); free it with korvane_message_free. Replies met
 * here are dropped. */
KORVANE_EXPORT int korvane_read_notification(korvane_client_t *client, int timeout_ms,
                                             korvane_message_t *notification);

/* Frees the strings of a message and zeroes it; NULL is ignored. */
KORVANE_EXPORT void korvane_message_free(korvane_message_t *message);

/* Asks for the protection verdict (request 1005), as korvane_request does.
 * Any peer may ask, on either socket, registered or not; uuid NULL sends
 * "korvane-health". On KORVANE_OK with result 0, reply->data is the object
 * {"verdict":"protected"|"at-risk"|"unknown","reasons":[...],"product":...,
 * "name":...,"alive":...,"protection":...,"signatures":...,
 * "last_report":...,"default":...}, each null when not known. */
KORVANE_EXPORT int korvane_get_health(korvane_client_t *client, const char *uuid, int timeout_ms,
                                      korvane_message_t *reply);

/* A fixed English text for a reply's "result" (a KORVANE_RESULT_* value):
 * "success", "another front UI is registered", ...; "unknown result" for
 * other numbers. Not for the KORVANE_E_* codes: see korvane_strerror. */
KORVANE_EXPORT const char *korvane_result_text(int32_t result);
/* The text of a reply's result with what its data names, into buf: for
 * result 104 "another front UI is registered (pid N)", N the current front
 * UI's declared pid. KORVANE_E_INVALID when reply or buf is NULL or the
 * text does not fit in size bytes with its NUL. */
KORVANE_EXPORT int korvane_reply_text(const korvane_message_t *reply, char *buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* KORVANE_H */
