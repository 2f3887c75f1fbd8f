// Clients of the benchmark: connections that exchange lines, round trips
// from several clients at once, and short connections (connect, one line,
// its reply, close). Nothing here knows the daemon's protocol.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"

namespace vk_bench {

// Throws after printing `what`.
[[noreturn]] void Die(const std::string &what);

// Latency samples gathered over several blocks, with the wall time the
// blocks took together. Each comparison alternates daemon and floor in
// blocks, so that both meet the same background load of a shared machine.
struct Samples {
    std::vector<int64_t> ns;
    double seconds = 0;
    void Add(const std::vector<int64_t> &more, double secs) {
        ns.insert(ns.end(), more.begin(), more.end());
        seconds += secs;
    }
    Stats Summary() const { return Summarise(ns, seconds); }
};
constexpr int kBlocks = 5;

// A connection to an abstract name "@..." or a socket path.
struct Conn {
    int fd = -1;
    std::unique_ptr<LineReader> reader;
    explicit Conn(const std::string &name);
    ~Conn();
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    // Sends `line` and returns the next line received.
    std::string RoundTrip(const std::string &line);
};

// `clients` connections each doing `count` round trips (after `warmup`
// unmeasured ones), all started together; the latencies go to `out`.
// Client i sends lines[(i * (warmup + count) + k) % lines.size()] as its
// k-th request, so a vector of clients * (warmup + count) lines sends each
// line once, and a vector of one line repeats it. A reply is `reply_lines`
// lines.
void RoundTrips(const std::string &name, const std::vector<std::string> &lines, int clients,
                int count, Samples &out, int warmup = 200, int reply_lines = 1);

// One client that connects, sends `line`, reads one line back and closes,
// `count` times after `warmup` unmeasured ones; each latency covers the
// whole connection, close included.
void ShortConnections(const std::string &name, const std::string &line, int count, Samples &out,
                      int warmup = 200);

}  // namespace vk_bench
