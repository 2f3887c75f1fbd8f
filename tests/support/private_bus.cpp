#include "support/private_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "net/ae/anet.h"
#include "support/build_tree.h"
#include "support/daemon_process.h"
#include "support/shell.h"
#include "support/temp_root.h"

namespace vk_test {

namespace {

// The policy file as shipped, in the source tree the build was made from
// (not found through __FILE__, which a compiler cache may make relative).
std::string ShippedPolicy() {
    return BuildCacheValue("CMAKE_HOME_DIRECTORY") + "/packaging/org.korvane.Registry1.conf";
}

bool SocketAccepts(const std::string &path) {
    int fd = anetUnixConnect(nullptr, path.c_str());
    if (fd < 0) return false;
    close(fd);
    return true;
}

}  // namespace

PrivateBus::PrivateBus(BusKind kind) {
    char dir[] = "/tmp/vk-bus-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        m_error = "mkdtemp failed";
        return;
    }
    m_dir = dir;
    // Other users' clients (the tests' nobody) reach the socket through it.
    chmod(m_dir.c_str(), 0755);
    m_config = m_dir + "/bus.conf";
    if (kind == BusKind::kSession) {
        m_socket = m_dir + "/session_bus_socket";
        WriteFile(
            m_config,
            R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
                m_socket +
                R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
        Start();
        return;
    }
    m_socket = m_dir + "/system_bus_socket";
    std::string own_uid;
    if (geteuid() != 0)
        own_uid = "  <policy user=\"" + std::to_string(geteuid()) +
                  "\">\n    <allow own=\"org.korvane.Registry1\"/>\n  </policy>\n";
    // The default policy of Debian's /usr/share/dbus-1/system.conf.
    WriteFile(m_config,
              R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" +
                  m_socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
  </policy>
)" + own_uid + "  <include>" +
                  ShippedPolicy() + "</include>\n</busconfig>\n");
    Start();
}

bool PrivateBus::Start() {
    if (m_pid > 0) return true;
    unlink(m_socket.c_str());
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);  // its complaints about fd limits under test
        }
        std::string config = "--config-file=" + m_config;
        execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        m_error = "fork failed";
        return false;
    }
    m_pid = pid;
    const std::string socket = m_socket;
    if (!WaitFor([&socket] { return SocketAccepts(socket); }, 10000)) {
        m_error = "dbus-daemon does not listen on " + m_socket;
        Kill();
        return false;
    }
    return true;
}

void PrivateBus::Kill() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    int status;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
}

PrivateBus::~PrivateBus() {
    Kill();
    if (!m_dir.empty()) Sh("rm -rf " + Quote(m_dir));
}

ScopedDaemonBus::ScopedDaemonBus(const std::string &address) : m_old(DaemonBusAddress()) {
    SetDaemonBusAddress(address);
}

ScopedDaemonBus::~ScopedDaemonBus() {
    SetDaemonBusAddress(m_old);
}

}  // namespace vk_test
