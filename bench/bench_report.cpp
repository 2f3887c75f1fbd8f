#include "bench_report.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "bench_sync.h"

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

double SyncRun::PerMinute() const {
    return seconds > 0 ? static_cast<double>(SyncTotal(counts)) * 60.0 / seconds : 0;
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

__attribute__((format(printf, 1, 2))) std::string Format(const char *fmt, ...) {
    char buf[96];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

std::string PerWrite(double v) {
    return v < 0 ? "not counted" : Format("%.2f", v);
}

// The run whose sync calls no goal may rely on: the counter saw none while
// the daemon stored a new status every second.
bool CounterBlind(const SyncResult &s) {
    for (const SyncRun &r : s.runs)
        if (r.what == "changing" && r.reports > 0 && SyncTotal(r.counts) == 0) return true;
    return false;
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
    printf("\n== %s%s ==  (sqlite: the daemon's file journal_mode=%s; floors %s, earlier %s)\n",
           m.mode.c_str(), m.mode == "pinned" ? (" to CPU " + std::to_string(o.cpu)).c_str() : "",
           m.daemon_journal.c_str(), m.floor_settings.c_str(), m.earlier_settings.c_str());
    printf("%-18s %2s | %9s %8s %8s | %9s %8s %8s | %5s  %s\n", "figure", "cl", "daemon/s",
           "med us", "p99 us", "floor/s", "med us", "p99 us", "ratio", "floor");
    for (const Row &r : m.rows) {
        printf("%-18s %2d | %9.0f %8.1f %8.1f | %9.0f %8.1f %8.1f | %5.2f  %s\n", r.figure.c_str(),
               r.clients, r.daemon.per_sec, r.daemon.median_us, r.daemon.p99_us, r.floor.per_sec,
               r.floor.median_us, r.floor.p99_us, r.Ratio(), r.floor_name.c_str());
    }
    for (const WriteSyncs &w : m.write_syncs)
        printf("%s, sync calls per write: daemon %s; %s %s; %s %s; %s %s\n", w.figure.c_str(),
               PerWrite(w.daemon).c_str(), kFloorOneConnection, PerWrite(w.one_connection).c_str(),
               kFloorPerStatement, PerWrite(w.per_statement).c_str(), kFloorEarlier,
               PerWrite(w.earlier).c_str());
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

void PrintSync(const SyncResult &s) {
    printf("\n== status reported once a second: the daemon's sync calls ==\n");
    if (!s.skipped.empty()) {
        printf("%s: figure skipped\n", s.skipped.c_str());
        return;
    }
    printf("counted by %s preloaded into the daemon\n", s.counter.c_str());
    printf("%-10s | %7s %7s | %6s %9s %9s %6s | %10s\n", "status", "reports", "seconds", "fsync",
           "fdatasync", "sync_f_r", "syncfs", "per minute");
    for (const SyncRun &r : s.runs)
        printf("%-10s | %7d %7.1f | %6llu %9llu %9llu %6llu | %10.1f\n", r.what.c_str(), r.reports,
               r.seconds, static_cast<unsigned long long>(r.counts.fsync),
               static_cast<unsigned long long>(r.counts.fdatasync),
               static_cast<unsigned long long>(r.counts.sync_file_range),
               static_cast<unsigned long long>(r.counts.syncfs), r.PerMinute());
    if (CounterBlind(s))
        printf(
            "the counter saw no sync call while the daemon stored a new status every second: "
            "it did not reach the daemon's calls, so these figures say nothing\n");
}

std::vector<Goal> Goals(const std::vector<ModeResult> &modes, const SyncResult &sync) {
    std::vector<Goal> goals;
    auto yes = [](bool b) { return std::string(b ? "yes" : "no"); };
    for (const ModeResult &m : modes) {
        const std::string mode = " (" + m.mode + ")";
        for (const char *figure : {"write 2002", "write 1003"}) {
            for (const Row &r : m.rows) {
                if (r.figure != figure || r.floor_name != kFloorOneConnection) continue;
                goals.push_back({std::string(figure) + " / " + kFloorOneConnection + mode,
                                 Format("%.2fx", r.Ratio()), ">= 1.00x", yes(r.Ratio() >= 1.0)});
            }
        }
        for (const BroadcastRow &b : m.broadcast) {
            if (b.fuis != 1000) continue;
            goals.push_back({"broadcast to 1000 front UIs / bare loop" + mode,
                             Format("%.2fx", b.Ratio()), "<= 1.20x", yes(b.Ratio() <= 1.2)});
        }
        if (m.query_flooded.count > 0) {
            goals.push_back({"query 1004 during a 2002 flood, median" + mode,
                             Format("%.0f us", m.query_flooded.median_us), "<= 2000 us",
                             yes(m.query_flooded.median_us <= 2000)});
            goals.push_back({"query 1004 during a 2002 flood, p99" + mode,
                             Format("%.0f us", m.query_flooded.p99_us), "<= 10000 us",
                             yes(m.query_flooded.p99_us <= 10000)});
        }
    }
    const std::string figure = "unchanged status every second: sync calls per minute";
    if (!sync.skipped.empty()) {
        goals.push_back({figure, "-", "<= 2", "skipped: " + sync.skipped});
    } else {
        for (const SyncRun &r : sync.runs) {
            if (r.what != "unchanged") continue;
            const double v = r.PerMinute();
            goals.push_back(
                {figure + Format(" (ran %.0f s)", r.seconds), Format("%.1f", v), "<= 2",
                 CounterBlind(sync) ? "unknown: the counter saw no call" : yes(v <= 2)});
        }
    }
    return goals;
}

void PrintGoals(const std::vector<Goal> &goals) {
    printf("\n== goals ==\n");
    printf("%-66s | %12s | %11s | %s\n", "figure", "measured", "target", "met");
    for (const Goal &g : goals)
        printf("%-66s | %12s | %11s | %s\n", g.figure.c_str(), g.measured.c_str(), g.target.c_str(),
               g.met.c_str());
}

void WriteFiles(const std::vector<ModeResult> &modes, const SyncResult &sync,
                const std::vector<Goal> &goals, const Options &o, const std::string &machine) {
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
    std::ofstream sy(o.out + "/sync.csv");
    sy << "status,reports,seconds,fsync,fdatasync,sync_file_range,syncfs,per_minute\n";
    for (const SyncRun &r : sync.runs)
        sy << r.what << "," << r.reports << "," << r.seconds << "," << r.counts.fsync << ","
           << r.counts.fdatasync << "," << r.counts.sync_file_range << "," << r.counts.syncfs << ","
           << r.PerMinute() << "\n";
    std::ofstream go(o.out + "/goals.csv");
    go << "figure,measured,target,met\n";
    for (const Goal &g : goals)
        go << '"' << g.figure << "\",\"" << g.measured << "\",\"" << g.target << "\",\"" << g.met
           << "\"\n";
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
