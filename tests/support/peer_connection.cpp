#include "support/peer_connection.h"

#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "peer/pidfd.h"

namespace vk_test {

PeerConnection::PeerConnection() {
    // An abstract name of this process's own: no file, nothing to clean up.
    static int serial = 0;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    int n = snprintf(addr.sun_path + 1, sizeof(addr.sun_path) - 1, "vk-test-peer-%d-%d",
                     static_cast<int>(getpid()), ++serial);
    const socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + n);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return;
    if (bind(listener, reinterpret_cast<struct sockaddr *>(&addr), len) != 0 ||
        listen(listener, 1) != 0) {
        close(listener);
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        if (s < 0 || connect(s, reinterpret_cast<struct sockaddr *>(&addr), len) != 0) _exit(1);
        pause();
        _exit(0);
    }
    int fd = m_pid > 0 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    close(listener);
    if (fd < 0) return;
    struct ucred cred;
    socklen_t cred_len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) != 0) {
        close(fd);
        return;
    }
    m_peer.pid = static_cast<int>(cred.pid);
    m_peer.uid = static_cast<int>(cred.uid);
    m_peer.gid = static_cast<int>(cred.gid);
    m_peer.sock = fd;
    m_peer.accepted_ns = net_peer_clock_ns();
}

PeerConnection::~PeerConnection() {
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_peer.sock >= 0) close(m_peer.sock);
}

void PeerConnection::CloseConnection() {
    if (m_peer.sock >= 0) close(m_peer.sock);
    m_peer.sock = -1;
}

bool PeerConnection::Kill(bool reap) {
    if (m_pid <= 0 || m_reaped || kill(m_pid, SIGKILL) != 0) return false;
    siginfo_t info;
    if (!reap) return waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOWAIT) == 0;
    m_reaped = waitpid(m_pid, nullptr, 0) == m_pid;
    return m_reaped;
}

}  // namespace vk_test
