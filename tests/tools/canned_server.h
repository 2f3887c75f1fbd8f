// A stand-in for the daemon's front-UI socket under a root: answers the
// first line of one connection with a canned reply, so that a test can show
// what korvanectl makes of replies the daemon would never send. Every wait
// has a deadline.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "client/korvane_client.h"
#include "proto/codec/base64.h"
#include "support/daemon_process.h"

namespace vk_test {

class CannedServer {
public:
    CannedServer(const std::string &root, const std::string &reply_json)
        : m_reply(korvane::EncodeText(reply_json)) {
        m_listen = ListenAbstract(TryOutName(root, korvane::Endpoint::kFrontUi));
        m_ok = m_listen >= 0;
        if (m_ok) m_thread = std::thread([this] { Serve(); });
    }
    ~CannedServer() {
        if (m_thread.joinable()) m_thread.join();
        if (m_listen >= 0) close(m_listen);
    }
    bool ok() const { return m_ok; }
    // The request received, decoded; call after the client has ended.
    std::string Request() {
        if (m_thread.joinable()) m_thread.join();
        std::string json;
        return base64_decode(m_request.data(), m_request.size(), json) ? json : "";
    }

private:
    static bool Readable(int fd) {
        struct pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, 20000) == 1;
    }
    void Serve() {
        if (!Readable(m_listen)) return;
        int conn = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) return;
        char c;
        while (Readable(conn) && read(conn, &c, 1) == 1 && c != '\n') m_request.push_back(c);
        if (write(conn, m_reply.data(), m_reply.size()) == static_cast<ssize_t>(m_reply.size()))
            while (Readable(conn) && read(conn, &c, 1) == 1) {
            }  // until the client closes
        close(conn);
    }

    std::string m_reply, m_request;
    int m_listen = -1;
    bool m_ok = false;
    std::thread m_thread;
};

}  // namespace vk_test
