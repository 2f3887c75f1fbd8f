#include "bench_conn.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace vk_bench {

void Die(const std::string &what) {
    fprintf(stderr, "korvane_bench: %s\n", what.c_str());
    throw std::runtime_error(what);
}

Conn::Conn(const std::string &name) : fd(ConnectAbstract(name)) {
    if (fd < 0) Die("cannot connect to " + name);
    reader = std::make_unique<LineReader>(fd);
}

Conn::~Conn() {
    if (fd >= 0) close(fd);
}

std::string Conn::RoundTrip(const std::string &line) {
    if (!WriteAll(fd, line.data(), line.size())) Die("write failed");
    std::string reply;
    if (!reader->Next(reply)) Die("no reply");
    return reply;
}

void RoundTrips(const std::string &name, const std::vector<std::string> &lines, int clients,
                int count, Samples &out, int warmup, int reply_lines) {
    std::vector<std::unique_ptr<Conn>> conns;
    for (int i = 0; i < clients; ++i) conns.push_back(std::make_unique<Conn>(name));
    std::vector<std::vector<int64_t>> samples(static_cast<size_t>(clients));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            Conn &c = *conns[static_cast<size_t>(i)];
            std::vector<int64_t> &mine = samples[static_cast<size_t>(i)];
            mine.reserve(static_cast<size_t>(count));
            size_t next = static_cast<size_t>(i) * static_cast<size_t>(warmup + count);
            std::string reply;
            auto once = [&]() {
                const std::string &line = lines[next++ % lines.size()];
                if (!WriteAll(c.fd, line.data(), line.size())) return false;
                for (int l = 0; l < reply_lines; ++l)
                    if (!c.reader->Next(reply)) return false;
                return true;
            };
            for (int k = 0; k < warmup; ++k)
                if (!once()) failed = true;
            ready++;
            while (!go) std::this_thread::yield();
            for (int k = 0; k < count && !failed; ++k) {
                int64_t a = NowNs();
                if (!once()) failed = true;
                mine.push_back(NowNs() - a);
            }
        });
    }
    while (ready < clients) std::this_thread::yield();
    int64_t t0 = NowNs();
    go = true;
    for (auto &t : threads) t.join();
    double seconds = static_cast<double>(NowNs() - t0) / 1e9;
    if (failed) Die("round trips to " + name + " failed");
    std::vector<int64_t> all;
    for (auto &s : samples) all.insert(all.end(), s.begin(), s.end());
    out.Add(all, seconds);
}

namespace {

// Connect, send, read up to the first line feed, close.
bool OneShort(const std::string &name, const std::string &line) {
    int fd = ConnectAbstract(name);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, line.data(), line.size());
    char buf[65536];
    while (ok) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        if (n > 0 && memchr(buf, '\n', static_cast<size_t>(n)) != nullptr) break;
    }
    close(fd);
    return ok;
}

}  // namespace

void ShortConnections(const std::string &name, const std::string &line, int count, Samples &out,
                      int warmup) {
    for (int k = 0; k < warmup; ++k)
        if (!OneShort(name, line)) Die("short connection to " + name + " failed");
    std::vector<int64_t> samples;
    samples.reserve(static_cast<size_t>(count));
    int64_t t0 = NowNs();
    for (int k = 0; k < count; ++k) {
        int64_t a = NowNs();
        if (!OneShort(name, line)) Die("short connection to " + name + " failed");
        samples.push_back(NowNs() - a);
    }
    out.Add(samples, static_cast<double>(NowNs() - t0) / 1e9);
}

}  // namespace vk_bench
