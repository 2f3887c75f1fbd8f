#include "log/journal.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <cstring>

#include "base/unix_address.h"

namespace {

// A decimal number followed by `stop`: false on anything else.
bool parse_decimal(const char *text, char stop, unsigned long long *out, const char **rest) {
    if (*text < '0' || *text > '9') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != stop) return false;
    *out = v;
    *rest = end;
    return true;
}

}  // namespace

bool journal_stream_matches(const char *stream, int fd) {
    if (stream == nullptr || fd < 0) return false;
    unsigned long long dev = 0, ino = 0;
    const char *rest = nullptr;
    if (!parse_decimal(stream, ':', &dev, &rest) || !parse_decimal(rest + 1, '\0', &ino, &rest))
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

int journal_priority(int level) {
    switch (level) {
        case 0:
            return 3;  // LOG_ERR
        case 1:
            return 6;  // LOG_INFO
        case 3:
            return 4;  // LOG_WARNING
        default:
            return 7;  // LOG_DEBUG
    }
}

bool journal_write(int fd, int level, const char *line, size_t length) {
    char prefix[8];
    int plen = snprintf(prefix, sizeof(prefix), "<%d>", journal_priority(level));
    struct iovec iov[2] = {{prefix, static_cast<size_t>(plen)}, {const_cast<char *>(line), length}};
    struct msghdr msg = {};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    const size_t total = static_cast<size_t>(plen) + length;
    ssize_t w;
    // The journal's end is a stream socket: a journal gone away must not
    // end the daemon with SIGPIPE. Anything else (a pipe or file in place
    // of the journal) is written plainly.
    do {
        w = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK) w = writev(fd, iov, 2);
    } while (w < 0 && errno == EINTR);
    return w >= 0 && static_cast<size_t>(w) == total;
}

int journal_socket() {
    return socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

bool journal_send(int fd, const char *path, int level, const char *message, size_t length) {
    struct sockaddr_un addr;
    socklen_t addrlen = 0;
    if (fd < 0 || path == nullptr ||
        unix_address_fill(path, strlen(path), &addr, &addrlen, nullptr, 0) != kUnixAddressOk)
        return false;
    char head[64];
    int hlen =
        snprintf(head, sizeof(head),
                 "PRIORITY=%d\nSYSLOG_IDENTIFIER=veskkorvaned\nMESSAGE=", journal_priority(level));
    // The message is escaped: it holds no line feed that would end the field.
    struct iovec iov[3] = {{head, static_cast<size_t>(hlen)},
                           {const_cast<char *>(message), length},
                           {const_cast<char *>("\n"), 1}};
    struct msghdr msg = {};
    msg.msg_name = &addr;
    msg.msg_namelen = addrlen;
    msg.msg_iov = iov;
    msg.msg_iovlen = 3;
    ssize_t w;
    do {
        w = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (w < 0 && errno == EINTR);
    return w >= 0;
}
