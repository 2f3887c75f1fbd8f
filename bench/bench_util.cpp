#include "bench_util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stddef.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "net/ae/anet.h"

namespace vk_bench {

int64_t NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Stats Summarise(std::vector<int64_t> samples, double seconds) {
    Stats s;
    s.count = samples.size();
    s.seconds = seconds;
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        size_t i = static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
        return static_cast<double>(samples[std::min(i, samples.size() - 1)]) / 1000.0;
    };
    s.per_sec = seconds > 0 ? static_cast<double>(samples.size()) / seconds : 0;
    s.median_us = at(0.5);
    s.p99_us = at(0.99);
    for (int p = 0; p <= 100; ++p) s.cdf_us.push_back(at(p / 100.0));
    return s;
}

bool SetAffinity(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu >= 0) {
        CPU_SET(cpu, &set);
    } else {
        long n = sysconf(_SC_NPROCESSORS_ONLN);
        for (long i = 0; i < n && i < CPU_SETSIZE; ++i) CPU_SET(i, &set);
    }
    return sched_setaffinity(0, sizeof(set), &set) == 0;
}

// Both close-on-exec: the daemon and the floor servers are started from here.
int ConnectAbstract(const std::string &name) {
    int fd = anetUnixConnect(nullptr, name.c_str());
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

int ListenAbstract(const std::string &name) {
    int fd = anetUnixServer(nullptr, name.c_str(), 0);
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

int64_t TimedExchange(const std::string &name, const std::string &line, int limit_ms,
                      int64_t *connect_ns, std::string *reply) {
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path + 1, name.data() + 1, name.size() - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
    int64_t t0 = NowNs();
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct timeval tv = {limit_ms / 1000, (limit_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    int64_t got = -1;
    bool connected = connect(fd, reinterpret_cast<struct sockaddr *>(&sa), len) == 0;
    if (connect_ns != nullptr) *connect_ns = NowNs() - t0;
    std::string answer;
    if (connected && WriteAll(fd, line.data(), line.size())) {
        LineReader reader(fd);
        if (reader.Next(answer)) got = NowNs() - t0;
    }
    close(fd);
    if (reply != nullptr) *reply = answer;
    return got;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

bool WriteAll(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t w = write(fd, data, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        len -= static_cast<size_t>(w);
    }
    return true;
}

bool LineReader::Next(std::string &line) {
    while (true) {
        size_t lf = m_buf.find('\n', m_pos);
        if (lf != std::string::npos) {
            line.assign(m_buf, m_pos, lf - m_pos);
            m_pos = lf + 1;
            if (m_pos == m_buf.size()) {
                m_buf.clear();
                m_pos = 0;
            }
            return true;
        }
        char tmp[65536];
        ssize_t n = read(m_fd, tmp, sizeof(tmp));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        m_buf.append(tmp, static_cast<size_t>(n));
    }
}

long RssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kib = -1;
            in >> kib;
            return kib;
        }
        in.ignore(4096, '\n');
    }
    return -1;
}

int OpenFds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n;
}

long RaiseFdLimit(long want) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
    if (rl.rlim_cur < static_cast<rlim_t>(want)) {
        rl.rlim_cur = std::min(static_cast<rlim_t>(want), rl.rlim_max);
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    return static_cast<long>(rl.rlim_cur);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace vk_bench
