// Socket functions: thin wrappers over the system calls that turn failures
// into "syscall: reason" texts in the caller's buffer. Every function that
// fails after opening a socket closes it again.
#include "net/ae/anet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "base/unix_address.h"

namespace {

constexpr int kBacklog = 511;

int anetSetOption(char *err, int fd, int level, int option, int value, const char *what) {
    if (setsockopt(fd, level, option, &value, sizeof(value)) == -1) {
        anetSetError(err, "setsockopt %s: %s", what, strerror(errno));
        return -1;
    }
    return 0;
}

enum { kBlocking = 0, kNonBlocking = 1 };

int anetUnixGenericConnect(char *err, const char *path, int mode) {
    sockaddr_un sa;
    socklen_t len = anetUnixAddress(err, path, &sa);
    if (len == 0) return -1;
    int s = anetCreateSocket(err, AF_UNIX);
    if (s == -1) return -1;
    if (mode == kNonBlocking && anetNonBlock(err, s) == -1) {
        close(s);
        return -1;
    }
    if (connect(s, reinterpret_cast<sockaddr *>(&sa), len) == -1 &&
        !(errno == EINPROGRESS && mode == kNonBlocking)) {
        anetSetError(err, "connect: %s", strerror(errno));
        close(s);
        return -1;
    }
    return s;
}

// Dotted address or host name into addr.
int anetResolveAddress(char *err, const char *host, in_addr *addr) {
    if (inet_aton(host, addr) != 0) return 0;
    hostent *he = gethostbyname(host);
    if (he == nullptr || he->h_addrtype != AF_INET) {
        anetSetError(err, "can't resolve: %s", host);
        return -1;
    }
    memcpy(addr, he->h_addr_list[0], sizeof(*addr));
    return 0;
}

int anetTcpGenericConnect(char *err, const char *host, int port, int mode) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (anetResolveAddress(err, host, &sa.sin_addr) == -1) return -1;
    int s = anetCreateSocket(err, AF_INET);
    if (s == -1) return -1;
    if (mode == kNonBlocking && anetNonBlock(err, s) == -1) {
        close(s);
        return -1;
    }
    if (connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == -1 &&
        !(errno == EINPROGRESS && mode == kNonBlocking)) {
        anetSetError(err, "connect: %s", strerror(errno));
        close(s);
        return -1;
    }
    return s;
}

int anetInetName(int fd, char *ip, int *port, bool peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    int r = peer ? getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len)
                 : getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    if (r == -1 || sa.sin_family != AF_INET) {
        if (ip != nullptr) snprintf(ip, ANET_IP_LEN, "?");
        if (port != nullptr) *port = 0;
        return -1;
    }
    if (ip != nullptr) inet_ntop(AF_INET, &sa.sin_addr, ip, ANET_IP_LEN);
    if (port != nullptr) *port = ntohs(sa.sin_port);
    return 0;
}

}  // namespace

socklen_t anetUnixAddress(char *err, const char *path, sockaddr_un *sa) {
    socklen_t len = 0;
    unix_address_fill(path, path ? strlen(path) : 0, sa, &len, err, err ? ANET_ERR_LEN : 0);
    return len;
}

void anetSetError(char *err, const char *fmt, ...) {
    if (err == nullptr) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, ANET_ERR_LEN, fmt, ap);
    va_end(ap);
}

int anetCreateSocket(char *err, int domain) {
    int s = socket(domain, SOCK_STREAM, 0);
    if (s == -1) {
        anetSetError(err, "creating socket: %s", strerror(errno));
        return -1;
    }
    if (anetSetOption(err, s, SOL_SOCKET, SO_REUSEADDR, 1, "SO_REUSEADDR") == -1) {
        close(s);
        return -1;
    }
    return s;
}

int anetListen(char *err, int s, const struct sockaddr *sa, socklen_t len, int backlog) {
    if (bind(s, sa, len) == -1) {
        anetSetError(err, "bind: %s", strerror(errno));
        close(s);
        return -1;
    }
    if (listen(s, backlog) == -1) {
        anetSetError(err, "listen: %s", strerror(errno));
        close(s);
        return -1;
    }
    return 0;
}

int anetGenericAccept(char *err, int s, struct sockaddr *sa, socklen_t *len) {
    for (;;) {
        // Non-blocking and close-on-exec from the start: no fcntl afterwards.
        int fd = accept4(s, sa, len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd != -1) return fd;
        if (errno == EINTR) continue;
        anetSetError(err, "accept: %s", strerror(errno));
        return -1;
    }
}

int anetUnixServer(char *err, const char *path, mode_t perm) {
    return anetUnixServerBacklog(err, path, perm, kBacklog);
}

int anetUnixServerBacklog(char *err, const char *path, mode_t perm, int backlog) {
    sockaddr_un sa;
    socklen_t len = anetUnixAddress(err, path, &sa);
    if (len == 0) return -1;
    int s = anetCreateSocket(err, AF_UNIX);
    if (s == -1) return -1;
    if (anetListen(err, s, reinterpret_cast<sockaddr *>(&sa), len, backlog) == -1) return -1;
    if (perm != 0 && path[0] != '@' && chmod(path, perm) == -1) {
        anetSetError(err, "chmod: %s", strerror(errno));
        close(s);
        return -1;
    }
    return s;
}

int anetUnixAccept(char *err, int s, char *path) {
    sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    socklen_t len = sizeof(sa);
    int fd = anetGenericAccept(err, s, reinterpret_cast<sockaddr *>(&sa), &len);
    if (fd == -1) return -1;
    if (path != nullptr) {
        // sun_path need not be terminated; an abstract name starts with a zero byte.
        size_t n = strnlen(sa.sun_path, sizeof(sa.sun_path));
        memcpy(path, sa.sun_path, n);
        path[n] = '\0';
    }
    return fd;
}

int anetUnixConnect(char *err, const char *path) {
    return anetUnixGenericConnect(err, path, kBlocking);
}

int anetUnixNonBlockConnect(char *err, const char *path) {
    return anetUnixGenericConnect(err, path, kNonBlocking);
}

int anetNonBlock(char *err, int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        anetSetError(err, "fcntl(F_GETFL): %s", strerror(errno));
        return -1;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        anetSetError(err, "fcntl(F_SETFL,O_NONBLOCK): %s", strerror(errno));
        return -1;
    }
    return 0;
}

int anetTcpNoDelay(char *err, int fd) {
    return anetSetOption(err, fd, IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY");
}

int anetTcpKeepAlive(char *err, int fd) {
    return anetSetOption(err, fd, SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE");
}

int anetSetSendBuffer(char *err, int fd, int size) {
    return anetSetOption(err, fd, SOL_SOCKET, SO_SNDBUF, size, "SO_SNDBUF");
}

int anetTcpConnect(char *err, const char *host, int port) {
    return anetTcpGenericConnect(err, host, port, kBlocking);
}

int anetTcpNonBlockConnect(char *err, const char *host, int port) {
    return anetTcpGenericConnect(err, host, port, kNonBlocking);
}

int anetTcpServer(char *err, int port, const char *address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address != nullptr && inet_aton(address, &sa.sin_addr) == 0) {
        anetSetError(err, "invalid bind address");
        return -1;
    }
    int s = anetCreateSocket(err, AF_INET);
    if (s == -1) return -1;
    if (anetListen(err, s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa), kBacklog) == -1)
        return -1;
    return s;
}

int anetTcpAccept(char *err, int s, char *ip, int *port) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    int fd = anetGenericAccept(err, s, reinterpret_cast<sockaddr *>(&sa), &len);
    if (fd == -1) return -1;
    if (ip != nullptr) inet_ntop(AF_INET, &sa.sin_addr, ip, ANET_IP_LEN);
    if (port != nullptr) *port = ntohs(sa.sin_port);
    return fd;
}

int anetResolve(char *err, const char *host, char *ip) {
    in_addr addr{};
    if (anetResolveAddress(err, host, &addr) == -1) return -1;
    inet_ntop(AF_INET, &addr, ip, ANET_IP_LEN);
    return 0;
}

int anetCreateUdpSocket(char *err) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == -1) {
        anetSetError(err, "anetCreateUdpSocket error: %s", strerror(errno));
        return -1;
    }
    return s;
}

int anetPeerToString(int fd, char *ip, int *port) {
    return anetInetName(fd, ip, port, true);
}

int anetSockName(int fd, char *ip, int *port) {
    return anetInetName(fd, ip, port, false);
}

ssize_t anetRead(int fd, char *buf, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, buf + done, count - done);
        if (n == 0) break;
        if (n == -1) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t anetWrite(int fd, const char *buf, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, buf + done, count - done);
        if (n == 0) break;
        if (n == -1) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}
