// Helpers of the benchmark: clocks, latency statistics, CPU affinity,
// abstract-socket connections, line-wise blocking I/O and /proc readings.
// Nothing here knows the daemon's protocol.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vk_bench {

// Monotonic clock in nanoseconds.
int64_t NowNs();

// Latency samples in nanoseconds and what the table and plots need of them.
struct Stats {
    size_t count = 0;
    double seconds = 0;  // wall time of the whole run
    double per_sec = 0;  // round trips per second over the wall time
    double median_us = 0;
    double p99_us = 0;
    std::vector<double> cdf_us;  // latency at percentiles 0, 1, ..., 100
};
Stats Summarise(std::vector<int64_t> samples_ns, double seconds);

// Pins the calling thread (and what it forks and spawns later) to `cpu`;
// cpu < 0 allows every online CPU.
bool SetAffinity(int cpu);

// Stream socket connected to an abstract name "@..."; -1 on failure.
int ConnectAbstract(const std::string &name);
// Listening stream socket on an abstract name, backlog 511; -1 on failure.
int ListenAbstract(const std::string &name);

// A connection of its own to the abstract name `name`, one line sent and
// one read, each step bounded by `limit_ms` (SO_SNDTIMEO bounds a blocking
// connect to a full backlog too): the ns from before the connect to the
// reply, or -1 past the limit or on an error. The connect's own share goes
// to *connect_ns and the reply (without its line feed) to *reply, when given.
int64_t TimedExchange(const std::string &name, const std::string &line, int limit_ms,
                      int64_t *connect_ns = nullptr, std::string *reply = nullptr);

// The p-th percentile (0 to 100) of `v`, the nearest rank; 0 when empty.
double Percentile(std::vector<double> v, double p);

// Writes all of `data` (blocking descriptor).
bool WriteAll(int fd, const char *data, size_t len);

// Reads whole lines from a blocking descriptor, keeping what follows the
// line feed for the next call.
class LineReader {
public:
    explicit LineReader(int fd) : m_fd(fd) {}
    // The next line without its '\n'; false at end of stream or error.
    bool Next(std::string &line);

private:
    int m_fd;
    std::string m_buf;
    size_t m_pos = 0;
};

// Resident set size of a process in KiB from /proc/<pid>/status; -1 when
// unreadable.
long RssKiB(pid_t pid);
// Number of open descriptors of a process; -1 when unreadable.
int OpenFds(pid_t pid);

// Raises the soft descriptor limit to at least `want` (bounded by the hard
// limit); returns the limit in force afterwards.
long RaiseFdLimit(long want);

// Text of a file, "" when unreadable.
std::string ReadFile(const std::string &path);

// Sleeps in small steps until `cond` holds or `timeout_ms` passes.
template <class F>
bool WaitFor(F cond, int timeout_ms);

}  // namespace vk_bench

#include <time.h>

namespace vk_bench {
template <class F>
bool WaitFor(F cond, int timeout_ms) {
    int64_t deadline = NowNs() + static_cast<int64_t>(timeout_ms) * 1000000;
    while (true) {
        if (cond()) return true;
        if (NowNs() >= deadline) return false;
        struct timespec ts = {0, 2000000};
        nanosleep(&ts, nullptr);
    }
}
}  // namespace vk_bench
