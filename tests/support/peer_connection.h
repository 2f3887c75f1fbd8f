// A connection from a child process, accepted in this process, with the
// peer record a listener fills on accept: for tests of what the daemon
// makes of the process at the other end once it has exited. The child
// connects and waits to be killed; it is killed and reaped by its pid when
// the object goes away, and the accepted descriptor closed.
#pragma once

#include <sys/types.h>

#include "peer/peer.h"

namespace vk_test {

class PeerConnection {
public:
    PeerConnection();
    ~PeerConnection();
    PeerConnection(const PeerConnection &) = delete;
    PeerConnection &operator=(const PeerConnection &) = delete;

    // False when the child could not be started or its connection accepted.
    bool ok() const { return m_peer.sock >= 0 && m_peer.pid > 0; }
    pid_t pid() const { return m_pid; }
    // As the listener fills it: SO_PEERCRED's pid, uid and gid, the
    // accepted socket and when it was accepted.
    const net_peer_t &peer() const { return m_peer; }
    net_peer_t &peer() { return m_peer; }

    // Kills the child and waits until it has exited, leaving it a zombie
    // (`reap` false) or reaping it. The connection stays open.
    bool Kill(bool reap);
    // Closes the accepted end, as a connection that went away.
    void CloseConnection();

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    net_peer_t m_peer = {-1, -1, -1, nullptr, nullptr, 0};
};

}  // namespace vk_test
