// Servers made in the client tests, on abstract sockets: one that accepts
// and talks line by line, one that listens as a user other than root, and
// one whose backlog is full.
#pragma once

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/as_user.h"
#include "support/daemon_process.h"

namespace vk_test {

// A listening abstract socket and the one connection accepted on it.
class TestServer {
public:
    explicit TestServer(const std::string &name) : m_listen(ListenAbstract(name)) {}
    ~TestServer() {
        if (m_conn != -1) close(m_conn);
        if (m_listen != -1) close(m_listen);
    }
    bool ok() const { return m_listen != -1; }

    // The client has connected already: the connection waits in the backlog.
    // A connection accepted before is closed.
    bool Accept() {
        if (m_conn != -1) close(m_conn);
        m_conn = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        return m_conn != -1;
    }
    bool Write(const std::string &bytes) {
        return write(m_conn, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Reads up to and without the next '\n' (blocking).
    std::string ReadLine() {
        std::string line;
        char c;
        while (read(m_conn, &c, 1) == 1 && c != '\n') line.push_back(c);
        return line;
    }
    void CloseConnection() {
        close(m_conn);
        m_conn = -1;
    }

private:
    int m_listen = -1;
    int m_conn = -1;
};

// A listener whose owner is not root: the test process itself when it runs
// as an ordinary user, else a child that drops to nobody. It never accepts;
// connections wait in its backlog.
class NonRootListener {
public:
    explicit NonRootListener(const std::string &name) : m_name(name) {
        if (geteuid() != 0) {
            m_fd = Listen();
            return;
        }
        m_child = std::make_unique<vk_test::OtherUserProcess>(
            [this] { return std::string(Listen() != -1 ? "listening" : ""); });
        if (m_child->WaitResult() != std::optional<std::string>("listening")) m_child.reset();
    }
    ~NonRootListener() {
        if (m_fd != -1) close(m_fd);
    }
    bool ok() const { return m_fd != -1 || m_child != nullptr; }
    const std::string &name() const { return m_name; }

private:
    int Listen() const {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un sa = {};
        sa.sun_family = AF_UNIX;
        memcpy(sa.sun_path + 1, m_name.data() + 1, m_name.size() - 1);
        socklen_t len =
            static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + m_name.size());
        if (fd == -1 || bind(fd, reinterpret_cast<struct sockaddr *>(&sa), len) != 0 ||
            listen(fd, 128) != 0) {
            if (fd != -1) close(fd);
            return -1;
        }
        return fd;
    }

    std::string m_name;
    int m_fd = -1;
    std::unique_ptr<vk_test::OtherUserProcess> m_child;  // listens as nobody
};

// A listener with backlog 0 that never accepts, its backlog filled first:
// a further connect waits until its time is up. AcceptOne makes room for
// one more.
class FullListener {
public:
    explicit FullListener(const std::string &name) {
        struct sockaddr_un sa = {};
        sa.sun_family = AF_UNIX;
        memcpy(sa.sun_path + 1, name.data() + 1, name.size() - 1);
        socklen_t len =
            static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
        m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_listen == -1 || bind(m_listen, reinterpret_cast<struct sockaddr *>(&sa), len) != 0 ||
            listen(m_listen, 0) != 0)
            return;
        for (int i = 0; i < 64; ++i) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd == -1) return;
            if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), len) == 0) {
                m_fill.push_back(fd);
                continue;
            }
            int err = errno;
            close(fd);
            m_ok = err == EAGAIN && !m_fill.empty();
            return;
        }
    }
    ~FullListener() {
        for (int fd : m_fill) close(fd);
        if (m_listen != -1) close(m_listen);
    }
    bool ok() const { return m_ok; }
    bool AcceptOne() {
        int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd == -1) return false;
        close(fd);
        return true;
    }

private:
    int m_listen = -1;
    std::vector<int> m_fill;
    bool m_ok = false;
};

}  // namespace vk_test
