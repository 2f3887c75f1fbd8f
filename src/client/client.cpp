// The connection: a connect that waits for a bounded time, a non-blocking
// stream socket, sends that wait for the socket with poll, and an input buffer that keeps the
// unfinished tail of a line between reads. Invariant: m_fd holds -1 exactly while not connected.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <utility>

#include "base/paths.h"
#include "base/unix_address.h"
#include "client/deadline.h"
#include "client/korvane_client.h"

namespace korvane {

std::string EndpointName(Endpoint endpoint) {
    return vk_paths::Socket(endpoint == Endpoint::kSecSoft ? vk_paths::kSecSoftSocket
                                                           : vk_paths::kFuiSocket);
}

Client::~Client() {
    Close();
}

// One list of the members for both moves, so that no setting is left behind.
Client::Client(Client &&other) noexcept {
    *this = std::move(other);
}

Client &Client::operator=(Client &&other) noexcept {
    if (this != &other) {
        Close();
        m_fd = std::move(other.m_fd);
        m_in = std::move(other.m_in);
        m_error = std::move(other.m_error);
        m_timedOut = other.m_timedOut;
        m_failure = other.m_failure;
        m_sendTimeoutMs = other.m_sendTimeoutMs;
        m_connectTimeoutMs = other.m_connectTimeoutMs;
        m_requireRootPeer = other.m_requireRootPeer;
        other.m_in.clear();
    }
    return *this;
}

bool Client::Fail(const std::string &message, Failure failure) {
    m_error = message;
    m_failure = failure;
    return false;
}

bool Client::FailErrno(const char *call) {
    const int err = errno;
    // A Unix socket whose peer has gone refuses every send with EPIPE; a
    // read sees ECONNRESET when the peer left unread bytes behind.
    const bool closed = err == EPIPE || err == ECONNRESET;
    return Fail(std::string(call) + ": " + strerror(err),
                closed ? Failure::kClosed : Failure::kOther);
}

bool Client::Connect(Endpoint endpoint) {
    return Connect(EndpointName(endpoint));
}

bool Client::Connect(const std::string &name) {
    Close();
    struct sockaddr_un addr;
    socklen_t addrlen = 0;
    char why[256];
    if (unix_address_fill(name.data(), name.size(), &addr, &addrlen, why, sizeof(why)) !=
        kUnixAddressOk)
        return Fail(std::string("connect: ") + why);

    UniqueFd owned(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = owned.get();
    if (fd == -1) return FailErrno("socket");
    // A Unix socket's connect waits while the listener's backlog is full,
    // for as long as the send timeout allows, then fails with EAGAIN; a
    // non-blocking one would fail at once instead of waiting.
    const long long deadline = timing::After(m_connectTimeoutMs);
    int rc;
    do {
        const int left = timing::Remaining(deadline);
        struct timeval tv = {left / 1000, (left % 1000) * 1000};
        if (left == 0) tv.tv_usec = 1;  // 0 would mean no limit
        if (left < 0) tv = {0, 0};
        if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0)
            return FailErrno("setsockopt SO_SNDTIMEO");
        rc = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), addrlen);
    } while (rc == -1 && errno == EINTR);
    if (rc == -1 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return Fail("connect: " + name + " did not take the connection within " +
                        std::to_string(m_connectTimeoutMs) + " ms (its backlog is full)",
                    Failure::kTimeout);
    if (rc == -1) return FailErrno("connect");
    // Abstract names carry no permissions and anyone may bind one while the
    // daemon is down: trust only a listener that runs as root.
    if (m_requireRootPeer) {
        struct ucred cred;
        socklen_t len = sizeof(cred);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
            return FailErrno("getsockopt SO_PEERCRED");
        if (cred.uid != 0) {
            return Fail("refusing " + name + ": its listener runs as uid " +
                            std::to_string(cred.uid) + " (pid " + std::to_string(cred.pid) +
                            "), not root",
                        Failure::kNotRoot);
        }
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return FailErrno("fcntl");
    m_fd = std::move(owned);
    m_in.clear();
    m_error.clear();
    m_failure = Failure::kNone;
    return true;
}

void UniqueFd::reset(int fd) {
    if (m_fd != -1) close(m_fd);
    m_fd = fd;
}

void Client::Close() {
    m_fd.reset();
    m_in.clear();
}

bool Client::SendRaw(const std::string &bytes) {
    if (m_fd.get() == -1) return Fail("send: not connected");
    const long long deadline = timing::After(m_sendTimeoutMs);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(m_fd.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == -1 && errno == EINTR) continue;
        if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd pfd = {m_fd.get(), POLLOUT, 0};
            int ready = poll(&pfd, 1, timing::Remaining(deadline));
            if (ready == -1 && errno != EINTR) return FailErrno("poll");
            if (ready == 0) return Fail("send: timeout", Failure::kTimeout);
            continue;
        }
        return FailErrno("send");
    }
    return true;
}

bool Client::SendRequest(const std::string &uuid, uint64_t id, uint32_t type,
                         const std::optional<std::string> &data_json) {
    auto line = EncodeRequest(uuid, id, type, data_json, &m_error);
    return line ? SendRaw(*line) : false;
}

bool Client::SendRequest(const std::string &uuid, uint64_t id, uint32_t type, const cJSON *data) {
    auto line = EncodeRequest(uuid, id, type, data, &m_error);
    return line ? SendRaw(*line) : false;
}

std::optional<std::string> Client::ReadLine(int timeout_ms) {
    m_timedOut = false;
    if (m_fd.get() == -1) {
        Fail("read: not connected");
        return std::nullopt;
    }
    const long long deadline = timing::After(timeout_ms);
    size_t scanned = 0;
    for (;;) {
        size_t nl = m_in.find('\n', scanned);
        if (nl != std::string::npos) {
            std::string line = m_in.substr(0, nl);
            m_in.erase(0, nl + 1);
            return line;
        }
        scanned = m_in.size();
        if (m_in.size() > kMaxLineLength) {
            Fail("read: line longer than the limit", Failure::kTooLong);
            return std::nullopt;
        }

        char buf[16384];
        ssize_t n = read(m_fd.get(), buf, sizeof(buf));
        if (n > 0) {
            m_in.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) {
            Fail(m_in.empty() ? "read: connection closed" : "read: connection closed mid-line",
                 Failure::kClosed);
            return std::nullopt;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            FailErrno("read");
            return std::nullopt;
        }
        struct pollfd pfd = {m_fd.get(), POLLIN, 0};
        int ready = poll(&pfd, 1, timing::Remaining(deadline));
        if (ready == -1 && errno != EINTR) {
            FailErrno("poll");
            return std::nullopt;
        }
        if (ready == 0) {
            m_timedOut = true;
            Fail("read: timeout", Failure::kTimeout);
            return std::nullopt;
        }
    }
}

std::optional<Message> Client::ReadMessage(int timeout_ms) {
    auto line = ReadLine(timeout_ms);
    if (!line) return std::nullopt;
    return DecodeLine(*line, &m_error);
}

}  // namespace korvane
