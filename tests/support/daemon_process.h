// Runs the real daemon binary as a child process under a temporary root and
// makes sure it is gone (by its id) when the object goes away.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/korvane_client.h"

namespace vk_test {

// Polls `cond` every few milliseconds until it holds or `timeout_ms` passes.
bool WaitFor(const std::function<bool()> &cond, int timeout_ms = 10000);

class DaemonProcess {
public:
    // `root` becomes VESKKORVANED_ROOT of the child. `args` follow the
    // program name (any argument keeps it in the foreground).
    // `nofile`, when positive, becomes the child's descriptor limit.
    // `wrapper`, when given, is a command line (looked up in PATH) that
    // runs the daemon: it must end by exec'ing the binary and its
    // arguments, which it receives last, so that pid() is the daemon's.
    DaemonProcess(const std::string &root, std::vector<std::string> args = {"--foreground"},
                  const std::string &binary = VK_DAEMON_PATH, long nofile = 0,
                  const std::vector<std::string> &wrapper = {});
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess &) = delete;
    DaemonProcess &operator=(const DaemonProcess &) = delete;

    pid_t pid() const { return m_pid; }
    const std::string &root() const { return m_root; }
    std::string LogPath() const { return m_root + "/var/log/veskkorvaned.log"; }
    std::string Log() const;
    // Waits until the log holds `text`.
    bool WaitLog(const std::string &text, int timeout_ms = 10000) const;
    // Waits until both sockets accept connections.
    bool WaitListening(int timeout_ms = 10000) const;
    // Open descriptors and resident size (KiB) of the daemon, from /proc.
    int OpenDescriptors() const;
    long ResidentKiB() const;
    // The scheduler state letter of the daemon ('S' sleeping, 'R' running).
    char State() const;
    // The CPU time the daemon has used, user and system, in milliseconds
    // (counted by the kernel in clock ticks); -1 when it cannot be read.
    long CpuMs() const;

    bool Signal(int sig) const;
    // Waits for the child to end; true with its wait status.
    bool WaitExit(int *status, int timeout_ms = 10000);
    bool Running();
    // SIGTERM, then SIGKILL if it does not end in time; returns the status.
    int Stop();

private:
    std::string m_root;
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
};

// The system bus address (DBUS_SYSTEM_BUS_ADDRESS) of the daemons started
// from now on; "" (the default) gives each a path under its root where
// nothing listens, so that no test reaches the machine's bus.
void SetDaemonBusAddress(const std::string &address);
const std::string &DaemonBusAddress();

// The CPU time a process has used, user and system, in milliseconds
// (counted by the kernel in clock ticks); -1 when it cannot be read.
long ProcessCpuMs(pid_t pid);

// Connects a stream socket to an abstract name ("@..."); -1 on failure.
int ConnectAbstract(const std::string &name);
// A stream socket listening on an abstract name ("@..."), as the daemon's
// listeners are made; -1 on failure.
int ListenAbstract(const std::string &name, int backlog = 8);

// A client for a daemon under test, which runs as whoever runs the tests:
// the library's check that the listener is root is off.
korvane::Client TryOutClient();

// The socket name of a daemon under `root` for one endpoint, and a try-out
// client connected to it (a failure to connect is a test failure).
std::string TryOutName(const std::string &root, korvane::Endpoint endpoint);
std::unique_ptr<korvane::Client> TryOutConnect(const std::string &root, korvane::Endpoint endpoint);

}  // namespace vk_test
