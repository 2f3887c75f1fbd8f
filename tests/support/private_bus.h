// A private dbus-daemon for tests that need a system bus: its own socket in
// a fresh directory, its configuration the system bus's default policy plus
// the shipped policy file (packaging/org.korvane.Registry1.conf), so that
// the policy the tests meet is the one installed. Or a session bus, as a
// desktop session has one, without activation: the tests start what serves
// on it. Stopped by its pid, never the machine's bus.
#pragma once

#include <sys/types.h>

#include <string>

namespace vk_test {

enum class BusKind { kSystem, kSession };

class PrivateBus {
public:
    // Starts it and waits until its socket accepts connections. When the
    // tests do not run as root, that uid may own the daemon's name too (the
    // shipped policy lets only root), so that a daemon started by them can
    // serve it.
    explicit PrivateBus(BusKind kind = BusKind::kSystem);
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    bool ok() const { return m_pid > 0; }
    const std::string &error() const { return m_error; }
    // "unix:path=<dir>/system_bus_socket" (or session_bus_socket).
    std::string address() const { return "unix:path=" + m_socket; }
    pid_t pid() const { return m_pid; }
    // Kills it (SIGKILL, as a crash would) and reaps it.
    void Kill();
    // Starts it again on the same socket; false when it does not come up.
    bool Start();

private:
    std::string m_dir;
    std::string m_socket;
    std::string m_config;
    std::string m_error;
    pid_t m_pid = -1;
};

// Sets the bus address the daemons started by DaemonProcess get, for the
// lifetime of the object.
class ScopedDaemonBus {
public:
    explicit ScopedDaemonBus(const std::string &address);
    ~ScopedDaemonBus();
    ScopedDaemonBus(const ScopedDaemonBus &) = delete;
    ScopedDaemonBus &operator=(const ScopedDaemonBus &) = delete;

private:
    std::string m_old;
};

}  // namespace vk_test
