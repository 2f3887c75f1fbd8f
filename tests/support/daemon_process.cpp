#include "support/daemon_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "base/paths.h"
#include "net/ae/anet.h"
#include "support/temp_root.h"

namespace vk_test {

bool WaitFor(const std::function<bool()> &cond, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

namespace {
std::string s_bus_address;
}  // namespace

void SetDaemonBusAddress(const std::string &address) {
    s_bus_address = address;
}

const std::string &DaemonBusAddress() {
    return s_bus_address;
}

DaemonProcess::DaemonProcess(const std::string &root, std::vector<std::string> args,
                             const std::string &binary, long nofile,
                             const std::vector<std::string> &wrapper)
    : m_root(root) {
    std::vector<std::string> argv_s = wrapper;
    argv_s.push_back(binary);
    for (auto &a : args) argv_s.push_back(a);
    std::vector<char *> argv;
    for (auto &a : argv_s) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const std::string bus =
        s_bus_address.empty() ? "unix:path=" + root + "/run/dbus/no_bus_here" : s_bus_address;

    m_pid = fork();
    if (m_pid == 0) {
        setenv(vk_paths::kRootEnv, root.c_str(), 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.c_str(), 1);
        if (nofile > 0) {
            struct rlimit rl;
            rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(nofile);
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        // Keep the test's output clean: the daemon writes to its log file.
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
}

DaemonProcess::~DaemonProcess() {
    if (m_pid > 0 && !m_reaped) Stop();
}

std::string DaemonProcess::Log() const {
    return ReadFile(LogPath());
}

bool DaemonProcess::WaitLog(const std::string &text, int timeout_ms) const {
    return WaitFor([&] { return Log().find(text) != std::string::npos; }, timeout_ms);
}

int ConnectAbstract(const std::string &name) {
    int fd = anetUnixConnect(nullptr, name.c_str());
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

int ListenAbstract(const std::string &name, int backlog) {
    int fd = anetUnixServerBacklog(nullptr, name.c_str(), 0, backlog);
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

bool DaemonProcess::WaitListening(int timeout_ms) const {
    const std::string sec = TryOutName(m_root, korvane::Endpoint::kSecSoft);
    const std::string fui = TryOutName(m_root, korvane::Endpoint::kFrontUi);
    return WaitFor(
        [&] {
            for (const std::string &name : {sec, fui}) {
                int fd = ConnectAbstract(name);
                if (fd < 0) return false;
                close(fd);
            }
            return true;
        },
        timeout_ms);
}

bool DaemonProcess::Signal(int sig) const {
    return m_pid > 0 && !m_reaped && kill(m_pid, sig) == 0;
}

bool DaemonProcess::WaitExit(int *status, int timeout_ms) {
    if (m_reaped) {
        if (status) *status = m_status;
        return true;
    }
    bool done = WaitFor(
        [&] {
            int st = 0;
            pid_t r = waitpid(m_pid, &st, WNOHANG);
            if (r == m_pid) {
                m_reaped = true;
                m_status = st;
                return true;
            }
            return false;
        },
        timeout_ms);
    if (done && status) *status = m_status;
    return done;
}

bool DaemonProcess::Running() {
    if (m_reaped) return false;
    int st = 0;
    if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
        m_reaped = true;
        m_status = st;
        return false;
    }
    return true;
}

int DaemonProcess::Stop() {
    int status = 0;
    if (m_reaped) return m_status;
    Signal(SIGTERM);
    if (!WaitExit(&status, 10000)) {
        kill(m_pid, SIGKILL);
        WaitExit(&status, 10000);
    }
    return status;
}

int DaemonProcess::OpenDescriptors() const {
    DIR *d = opendir(("/proc/" + std::to_string(m_pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

long DaemonProcess::ResidentKiB() const {
    std::string status = ReadFile("/proc/" + std::to_string(m_pid) + "/status");
    size_t p = status.find("VmRSS:");
    return p == std::string::npos ? -1 : atol(status.c_str() + p + 6);
}

char DaemonProcess::State() const {
    std::string stat = ReadFile("/proc/" + std::to_string(m_pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

long DaemonProcess::CpuMs() const {
    return ProcessCpuMs(m_pid);
}

long ProcessCpuMs(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    // After the name: the state (field 3), ..., utime (14) and stime (15).
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    long utime = -1, stime = -1;
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14) utime = atol(field.c_str());
        if (n == 15) stime = atol(field.c_str());
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    if (utime < 0 || stime < 0 || ticks <= 0) return -1;
    return (utime + stime) * 1000 / ticks;
}

korvane::Client TryOutClient() {
    korvane::Client c;
    c.SetRequireRootPeer(false);
    return c;
}

std::string TryOutName(const std::string &root, korvane::Endpoint endpoint) {
    // The fixed name after its '@', under the root, as VESKKORVANED_ROOT
    // relocates it.
    const char *name =
        endpoint == korvane::Endpoint::kSecSoft ? vk_paths::kSecSoftSocket : vk_paths::kFuiSocket;
    return "@" + root + (name + 1);
}

std::unique_ptr<korvane::Client> TryOutConnect(const std::string &root,
                                               korvane::Endpoint endpoint) {
    auto c = std::make_unique<korvane::Client>(TryOutClient());
    EXPECT_TRUE(c->Connect(TryOutName(root, endpoint))) << c->error();
    return c;
}

}  // namespace vk_test
