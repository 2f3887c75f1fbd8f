// Socket functions. A function that fails returns -1, writes one message of
// at most ANET_ERR_LEN bytes ("syscall: reason") into the caller's err
// buffer when err is non-null, and closes any descriptor it opened itself.
// Nothing here logs; the caller decides.
//
// Unix socket names: "@name" is the abstract name "name" (at most 107 bytes),
// anything else a file path (at most 107 bytes), by the one rule of
// base/unix_address.h. Longer names are refused rather than cut.
//
// The daemon itself listens on and accepts Unix stream sockets only; the
// connecting, TCP, UDP, name and blocking read/write helpers are part of
// this module's interface, kept (and tested) for tools and tests, not
// called by the daemon.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>

constexpr size_t ANET_ERR_LEN = 256;
// Room for a peer name from anetUnixAccept: 108 bytes and a terminator.
constexpr size_t ANET_UNIX_NAME_LEN = 109;
// Room for a dotted IPv4 address and its terminator.
constexpr size_t ANET_IP_LEN = 16;

void anetSetError(char *err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Stream socket of the domain with SO_REUSEADDR set.
int anetCreateSocket(char *err, int domain);
// bind, then listen with the given backlog; closes s on failure.
int anetListen(char *err, int s, const struct sockaddr *sa, socklen_t len, int backlog);
// accept4, retried while interrupted; the new descriptor is non-blocking
// and close-on-exec.
int anetGenericAccept(char *err, int s, struct sockaddr *sa, socklen_t *len);

// Listening Unix stream socket on path (left blocking), backlog 511. A
// non-zero perm is applied with chmod to a file path; abstract names have
// no mode.
int anetUnixServer(char *err, const char *path, mode_t perm);
// The same with the given backlog.
int anetUnixServerBacklog(char *err, const char *path, mode_t perm, int backlog);
// Accepts one connection; path (ANET_UNIX_NAME_LEN bytes) receives the peer's
// file path, empty for an unnamed or abstract peer.
int anetUnixAccept(char *err, int s, char *path);
int anetUnixConnect(char *err, const char *path);
// Fills sa for a socket name with unix_address_fill (base/unix_address.h):
// the address length, or 0 with err set when the name is empty, "@" alone
// or cannot be represented exactly (over 107 bytes after '@' or for a path).
socklen_t anetUnixAddress(char *err, const char *path, struct sockaddr_un *sa);
int anetUnixNonBlockConnect(char *err, const char *path);

int anetNonBlock(char *err, int fd);
int anetTcpNoDelay(char *err, int fd);
int anetTcpKeepAlive(char *err, int fd);
int anetSetSendBuffer(char *err, int fd, int size);

// IPv4. host is a dotted address or a name; ip buffers hold ANET_IP_LEN bytes.
int anetTcpConnect(char *err, const char *host, int port);
int anetTcpNonBlockConnect(char *err, const char *host, int port);
// On all addresses when address is null.
int anetTcpServer(char *err, int port, const char *address);
int anetTcpAccept(char *err, int s, char *ip, int *port);
int anetResolve(char *err, const char *host, char *ip);
int anetCreateUdpSocket(char *err);
// Dotted address and port of the peer / of the socket; "?" and 0 with -1 on failure.
int anetPeerToString(int fd, char *ip, int *port);
int anetSockName(int fd, char *ip, int *port);

// Move count bytes, stopping early at end of stream: the bytes moved, or -1.
ssize_t anetRead(int fd, char *buf, size_t count);
ssize_t anetWrite(int fd, const char *buf, size_t count);
