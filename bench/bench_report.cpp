#include "bench_report.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

namespace vk_bench {

double BroadcastRow::NetUs() const {
    return std::max(0.0, daemon.median_us - write.median_us);
}
double BroadcastRow::FloorNetUs() const {
    return std::max(0.0, floor.median_us - floor_alone.median_us);
}
double BroadcastRow::Ratio() const {
    return FloorNetUs() > 0 ? NetUs() / FloorNetUs() : 0;
}

namespace {

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string l;
    while (std::getline(in, l)) {
        if (l.rfind("model name", 0) == 0) {
            size_t c = l.find(':');
            return c == std::string::npos ? l : l.substr(c + 2);
        }
    }
    return "unknown";
}

double Max(const Stats &s) {
    return s.cdf_us.empty() ? 0 : s.cdf_us.back();
}

// What one request costs a connection that stays open: the resident size
// after 1000 front UIs each sent one, less the size just before, per
// connection.
double PerConnectionKiB(const ModeResult &m) {
    return static_cast<double>(m.rss_1000_active - m.rss_1000_after) / 1000.0;
}

}  // namespace

std::string Machine() {
    struct utsname u;
    uname(&u);
    char buf[512];
    snprintf(buf, sizeof(buf), "nproc %ld, %s, kernel %s %s", sysconf(_SC_NPROCESSORS_ONLN),
             CpuModel().c_str(), u.sysname, u.release);
    return buf;
}

void PrintMode(const ModeResult &m, const Options &o) {
    printf("\n== %s%s ==  (sqlite: %s)\n", m.mode.c_str(),
           m.mode == "pinned" ? (" to CPU " + std::to_string(o.cpu)).c_str() : "",
           m.sqlite_settings.c_str());
    printf("%-18s %2s | %9s %8s %8s | %9s %8s %8s | %5s  %s\n", "figure", "cl", "daemon/s",
           "med us", "p99 us", "floor/s", "med us", "p99 us", "ratio", "floor");
    for (const Row &r : m.rows) {
        printf("%-18s %2d | %9.0f %8.1f %8.1f | %9.0f %8.1f %8.1f | %5.2f  %s\n", r.figure.c_str(),
               r.clients, r.daemon.per_sec, r.daemon.median_us, r.daemon.p99_us, r.floor.per_sec,
               r.floor.median_us, r.floor.p99_us, r.Ratio(), r.floor_name.c_str());
    }
    printf("%s\n", m.redis.c_str());
    printf("%-12s | %10s %10s %10s %10s | %10s %10s %10s | %6s\n", "broadcast (us)", "total med",
           "total p99", "upd. alone", "broadcast", "total med", "echo alone", "bare loop", "ratio");
    for (const BroadcastRow &b : m.broadcast) {
        printf("%5d FUIs     | %10.1f %10.1f %10.1f %10.1f | %10.1f %10.1f %10.1f | %6.2f\n",
               b.fuis, b.daemon.median_us, b.daemon.p99_us, b.write.median_us, b.NetUs(),
               b.floor.median_us, b.floor_alone.median_us, b.FloorNetUs(), b.Ratio());
    }
    printf(
        "query 1004 during a pipelined 2002 flood (us): median %.1f, p99 %.1f, max %.1f; "
        "alone: median %.1f, p99 %.1f, max %.1f; flood answered %.0f/s meanwhile\n",
        m.query_flooded.median_us, m.query_flooded.p99_us, Max(m.query_flooded),
        m.query_calm.median_us, m.query_calm.p99_us, Max(m.query_calm), m.flood_per_sec);
    printf(
        "RSS KiB: idle %ld, 1000 connections %ld, after broadcasts to them %ld, after each "
        "sent a query %ld (%.1f KiB per connection), after the run %ld\n",
        m.rss_idle, m.rss_1000_idle, m.rss_1000_after, m.rss_1000_active, PerConnectionKiB(m),
        m.rss_after);
}

void WriteFiles(const std::vector<ModeResult> &modes, const Options &o,
                const std::string &machine) {
    std::filesystem::create_directories(o.out);
    std::ofstream mach(o.out + "/machine.txt");
    mach << machine << "\n";
    std::ofstream sum(o.out + "/summary.csv");
    sum << "mode,figure,clients,floor,daemon_per_sec,daemon_median_us,daemon_p99_us,"
           "floor_per_sec,floor_median_us,floor_p99_us,ratio\n";
    std::ofstream lat(o.out + "/latency.csv");
    lat << "mode,series,percentile,us\n";
    std::ofstream bc(o.out + "/broadcast.csv");
    bc << "mode,fuis,daemon_median_us,daemon_p99_us,update_alone_median_us,daemon_broadcast_us,"
          "floor_median_us,floor_p99_us,floor_echo_alone_us,floor_broadcast_us,ratio\n";
    std::ofstream mem(o.out + "/memory.csv");
    mem << "mode,idle_kib,conn1000_kib,after_broadcast1000_kib,after_query1000_kib,after_run_kib,"
           "per_connection_kib\n";
    std::ofstream fl(o.out + "/flood.csv");
    fl << "mode,calm_median_us,calm_p99_us,calm_max_us,flooded_median_us,flooded_p99_us,"
          "flooded_max_us,flood_per_sec\n";
    for (const ModeResult &m : modes) {
        std::set<std::string> series_done;
        auto cdf = [&](const std::string &series, const Stats &s) {
            if (!series_done.insert(series).second) return;
            for (size_t p = 0; p < s.cdf_us.size(); ++p)
                lat << m.mode << "," << series << "," << p << "," << s.cdf_us[p] << "\n";
        };
        for (const Row &r : m.rows) {
            sum << m.mode << "," << r.figure << "," << r.clients << "," << r.floor_name << ","
                << r.daemon.per_sec << "," << r.daemon.median_us << "," << r.daemon.p99_us << ","
                << r.floor.per_sec << "," << r.floor.median_us << "," << r.floor.p99_us << ","
                << r.Ratio() << "\n";
            cdf(r.daemon_series, r.daemon);
            cdf(r.floor_series, r.floor);
        }
        for (const BroadcastRow &b : m.broadcast) {
            bc << m.mode << "," << b.fuis << "," << b.daemon.median_us << "," << b.daemon.p99_us
               << "," << b.write.median_us << "," << b.NetUs() << "," << b.floor.median_us << ","
               << b.floor.p99_us << "," << b.floor_alone.median_us << "," << b.FloorNetUs() << ","
               << b.Ratio() << "\n";
        }
        mem << m.mode << "," << m.rss_idle << "," << m.rss_1000_idle << "," << m.rss_1000_after
            << "," << m.rss_1000_active << "," << m.rss_after << "," << PerConnectionKiB(m) << "\n";
        fl << m.mode << "," << m.query_calm.median_us << "," << m.query_calm.p99_us << ","
           << Max(m.query_calm) << "," << m.query_flooded.median_us << "," << m.query_flooded.p99_us
           << "," << Max(m.query_flooded) << "," << m.flood_per_sec << "\n";
    }
}

}  // namespace vk_bench
