// Measures the real daemon against the floors of the same machine, in one
// run: queries answered from memory against a bare echo server, writes
// against the same SQLite statement run directly, the broadcast to front UIs
// against a bare loop writing the same line, a query while another client
// floods the daemon with pipelined writes, and the daemon's resident size.
// Every comparison runs twice: everything pinned to one CPU (the ratios
// measure our own work) and unpinned (as a deployment sees it).
//
// Usage: korvane_bench [--out DIR] [--cpu N] [--scale F] [--only pinned|unpinned]
//                      [--daemon PATH]
// --daemon runs another build of the daemon (default: the one built here),
// for example to compare a change against the build before it.
// Prints a table and writes summary.csv, broadcast.csv, memory.csv,
// flood.csv, latency.csv and machine.txt into DIR (default ./bench-out);
// bench/plot.sh turns them into PNG plots. Runs as root: the daemon gives
// other users a few dozen connections each.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "bench_flood.h"
#include "bench_floor.h"
#include "bench_util.h"
#include "client/korvane_client.h"

using namespace vk_bench;

namespace {

const char *const kFuiUuid = "5b0a7c1e-2f4d-4e8a-9c3b-1d2e3f4a5b6c";
const char *const kSecUuid = "8e7d6c5b-4a39-4281-b7f6-e5d4c3b2a190";
const char *const kQuietUuid = "0f1e2d3c-4b5a-4697-8877-a6b5c4d3e2f1";
const char *const kFuiBody = R"({"name":"bench-ui","login_uid":1000,"euid":1000,"pid":4242})";
const char *const kConfBody =
    R"({"theme":"dark","language":"et","notify":true,"tray":{"visible":true,"blink":false}})";
const char *const kSecBody =
    R"({"name":"Bench Guard","exec":"/opt/bench/guard","version":"1.2.3","vendor":"bench"})";
const char *const kStatBody =
    R"({"status":1,"realtime":true,"signatures":"2024-05-01","threats":0})";

struct Options {
    std::string daemon = VK_DAEMON_PATH;
    std::string out = "bench-out";
    int cpu = 0;
    double scale = 1.0;
    std::string only;
};

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

[[noreturn]] void Die(const std::string &what) {
    fprintf(stderr, "korvane_bench: %s\n", what.c_str());
    throw std::runtime_error(what);
}

std::string Line(const char *uuid, uint64_t id, uint32_t type, const char *body) {
    std::optional<std::string> data;
    if (body != nullptr) data = std::string(body);
    auto line = korvane::EncodeRequest(uuid, id, type, data);
    if (!line) Die("cannot encode a request");
    return *line;
}

// The body as the daemon stores it: the object with "uuid" appended, printed
// formatted.
std::string StoredBody(const char *body, const char *uuid) {
    cJSON *root = cJSON_Parse(body);
    cJSON_AddStringToObject(root, "uuid", uuid);
    char *text = cJSON_Print(root);
    std::string out = text;
    cJSON_free(text);
    cJSON_Delete(root);
    return out;
}

// The real daemon in the foreground under a temporary root; stopped by its
// id when the object goes away.
class Daemon {
public:
    Daemon(const std::string &binary, const std::string &root) : m_root(root) {
        m_pid = fork();
        if (m_pid == 0) {
            // Ends with the benchmark, however that ends.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            setenv("VESKKORVANED_ROOT", root.c_str(), 1);
            int devnull = open("/dev/null", O_RDWR);
            if (devnull >= 0) {
                dup2(devnull, 0);
                dup2(devnull, 1);
                dup2(devnull, 2);
            }
            execl(binary.c_str(), binary.c_str(), "--foreground", static_cast<char *>(nullptr));
            _exit(127);
        }
        if (m_pid < 0) Die("fork failed");
        bool up = WaitFor(
            [&] {
                for (const std::string &name : {SecSocket(), FuiSocket()}) {
                    int fd = ConnectAbstract(name);
                    if (fd < 0) return false;
                    close(fd);
                }
                return true;
            },
            10000);
        if (!up) Die("the daemon did not start listening");
    }
    ~Daemon() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        int st = 0;
        bool gone = WaitFor([&] { return waitpid(m_pid, &st, WNOHANG) == m_pid; }, 10000);
        if (!gone) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &st, 0);
        }
    }
    pid_t pid() const { return m_pid; }
    std::string SecSocket() const { return "@" + m_root + "/tmp/.zelluskkorvane"; }
    std::string FuiSocket() const { return "@" + m_root + "/tmp/.zelluskkorvanefui"; }
    std::string DbPath() const { return m_root + "/etc/korvane/korvaned.db"; }

private:
    std::string m_root;
    pid_t m_pid = -1;
};

struct Conn {
    int fd = -1;
    std::unique_ptr<LineReader> reader;
    explicit Conn(const std::string &name) : fd(ConnectAbstract(name)) {
        if (fd < 0) Die("cannot connect to " + name);
        reader = std::make_unique<LineReader>(fd);
    }
    ~Conn() {
        if (fd >= 0) close(fd);
    }
    std::string RoundTrip(const std::string &line) {
        if (!WriteAll(fd, line.data(), line.size())) Die("write failed");
        std::string reply;
        if (!reader->Next(reply)) Die("no reply");
        return reply;
    }
};

// Sends `line`, expects a reply (skipping notifications) with `result`.
void Expect(Conn &c, const std::string &line, uint32_t type, const char *what, int result = 0) {
    if (!WriteAll(c.fd, line.data(), line.size())) Die(std::string(what) + ": write failed");
    std::string got;
    while (c.reader->Next(got)) {
        auto m = korvane::DecodeLine(got);
        if (!m) Die(std::string(what) + ": undecodable reply");
        if (!m->has_result) continue;
        if (m->type != type || m->result != result)
            Die(std::string(what) + ": result " + std::to_string(m->result));
        return;
    }
    Die(std::string(what) + ": connection closed");
}

// `clients` connections each doing `count` round trips of `line` (after a
// short warm-up), all started together; the latencies go to `out`.
void RoundTrips(const std::string &name, const std::string &line, int clients, int count,
                Samples &out) {
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
            std::string reply;
            auto once = [&]() {
                return WriteAll(c.fd, line.data(), line.size()) && c.reader->Next(reply);
            };
            for (int k = 0; k < 200; ++k)
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

// Front UIs that only receive: `fds` registered on one epoll set.
struct Receivers {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> fds;
    ~Receivers() {
        for (int fd : fds) close(fd);
        close(ep);
    }
    void Add(const std::string &name, size_t total) {
        while (fds.size() < total) {
            int fd = ConnectAbstract(name);
            if (fd < 0) Die("cannot connect receiver " + std::to_string(fds.size()));
            struct epoll_event ev = {};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
            fds.push_back(fd);
        }
    }
    // Waits until every receiver has one more line.
    void AwaitLines() {
        size_t lines = 0;
        struct epoll_event ready[512];
        char buf[65536];
        while (lines < fds.size()) {
            int n = epoll_wait(ep, ready, 512, 10000);
            if (n <= 0) Die("broadcast did not reach every front UI");
            for (int i = 0; i < n; ++i) {
                ssize_t r = read(ready[i].data.fd, buf, sizeof(buf));
                if (r <= 0) Die("a front UI lost its connection");
                lines += static_cast<size_t>(std::count(buf, buf + r, '\n'));
            }
        }
    }
};

// Time from sending `line` on `trigger` until every receiver has its line,
// `reps` times. Both the daemon and the floor write every line before they
// answer the trigger, so the answer marks the moment every line is in its
// receiver's socket; the receivers are drained and counted only after the
// clock has stopped, so that waking them does not interleave with the
// sender on a shared CPU. With `base_line`, every repetition first times
// the round trip of that line, which reaches no receiver: the same work
// without the broadcast, measured alongside into `base`.
void BroadcastRun(Conn &trigger, Receivers &rx, const std::string &line, int reps, Samples &out,
                  const std::string *base_line = nullptr, Samples *base = nullptr) {
    std::vector<int64_t> samples, base_samples;
    int64_t t0 = NowNs();
    for (int r = 0; r < reps; ++r) {
        if (base_line != nullptr) {
            // Once unmeasured: draining the receivers left the caches cold,
            // and both measured round trips should start from the same state.
            trigger.RoundTrip(*base_line);
            int64_t b = NowNs();
            trigger.RoundTrip(*base_line);
            base_samples.push_back(NowNs() - b);
        }
        int64_t a = NowNs();
        trigger.RoundTrip(line);
        samples.push_back(NowNs() - a);
        rx.AwaitLines();
    }
    double seconds = static_cast<double>(NowNs() - t0) / 1e9;
    if (base != nullptr) base->Add(base_samples, seconds);
    out.Add(samples, seconds);
}

struct Row {  // one comparison: daemon against floor
    std::string figure;
    int clients = 1;
    Stats daemon, floor;
    double Ratio() const { return floor.per_sec > 0 ? daemon.per_sec / floor.per_sec : 0; }
};

struct BroadcastRow {
    int fuis = 0;
    Stats daemon, floor;
    // The same status update from a stored product that is not the active
    // one: the same statement, no notification. Its median is subtracted.
    Stats write;
    double NetUs() const { return std::max(0.0, daemon.median_us - write.median_us); }
    // The floor likewise: its trigger's round trip alone (a line it only
    // echoes), subtracted.
    Stats floor_alone;
    double FloorNetUs() const { return std::max(0.0, floor.median_us - floor_alone.median_us); }
    double Ratio() const { return FloorNetUs() > 0 ? NetUs() / FloorNetUs() : 0; }
};

struct ModeResult {
    std::string mode;
    std::vector<Row> rows;
    std::vector<BroadcastRow> broadcast;
    Stats per_call_2002, per_call_1003;  // the daemon's own way of opening
    // A front UI's query alone, and while a product floods the daemon with
    // pipelined status updates; the updates answered per second meanwhile.
    Stats query_calm, query_flooded;
    double flood_per_sec = 0;
    long rss_idle = 0, rss_1000_idle = 0, rss_1000_after = 0, rss_1000_active = 0, rss_after = 0;
    std::string sqlite_settings;
};

int Scaled(const Options &o, int n) {
    return std::max(2 * kBlocks, static_cast<int>(n * o.scale));
}

ModeResult RunMode(const Options &o, bool pinned) {
    ModeResult res;
    res.mode = pinned ? "pinned" : "unpinned";
    if (!SetAffinity(pinned ? o.cpu : -1)) Die("sched_setaffinity failed");

    char tmpl[] = "/tmp/vk-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) Die("mkdtemp failed");
    const std::string root = tmpl;
    struct Cleanup {
        std::string dir;
        ~Cleanup() {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } cleanup{root};

    Daemon d(o.daemon, root);
    WaitFor([] { return false; }, 200);  // let start-up settle
    res.rss_idle = RssKiB(d.pid());
    const int base_fds = OpenFds(d.pid());

    // A registered front UI with a stored configuration, and an active product.
    {
        Conn fui(d.FuiSocket());
        Expect(fui, Line(kFuiUuid, 1, 1000, kFuiBody), 1000, "front-UI register");
        Expect(fui, Line(kFuiUuid, 2, 1003, kConfBody), 1003, "configuration save");
        Conn sec(d.SecSocket());
        Expect(sec, Line(kSecUuid, 3, 2000, kSecBody), 2000, "product register");
        // Stored, but not the active product (501): its status updates are
        // written and announce nothing.
        Conn sec2(d.SecSocket());
        Expect(sec2, Line(kQuietUuid, 4, 2000, kSecBody), 2000, "second product register", 501);
    }

    const std::string q1004 = Line(kFuiUuid, 11, 1004, nullptr);
    const std::string q1001 = Line(kFuiUuid, 12, 1001, nullptr);
    const std::string w2002 = Line(kSecUuid, 13, 2002, kStatBody);
    const std::string w1003 = Line(kFuiUuid, 14, 1003, kConfBody);
    const std::string w2002_quiet = Line(kQuietUuid, 15, 2002, kStatBody);
    {
        Conn fui(d.FuiSocket());
        Expect(fui, q1004, 1004, "configuration read");
        Expect(fui, q1001, 1001, "product read");
    }

    // Queries from memory against the echo floor.
    {
        FloorServer echo("@" + root + "/bench-echo", FloorMode::kEcho);
        if (!echo.ok()) Die("cannot start the echo floor");
        for (int clients : {1, 8}) {
            int count = Scaled(o, clients == 1 ? 20000 : 4000) / kBlocks;
            Samples floor, d1004, d1001;
            for (int b = 0; b < kBlocks; ++b) {
                RoundTrips("@" + root + "/bench-echo", q1004, clients, count, floor);
                RoundTrips(d.FuiSocket(), q1004, clients, count, d1004);
                RoundTrips(d.FuiSocket(), q1001, clients, count, d1001);
            }
            for (auto &q :
                 {std::make_pair("query 1004", &d1004), std::make_pair("query 1001", &d1001)}) {
                Row r;
                r.figure = q.first;
                r.clients = clients;
                r.floor = floor.Summary();
                r.daemon = q.second->Summary();
                res.rows.push_back(r);
            }
        }
    }

    // Writes against the same statement run directly on a copy of the
    // daemon's database in the same directory. No front UI is connected.
    {
        const std::string floor_db = root + "/floor.db";
        std::filesystem::copy_file(d.DbPath(), floor_db);
        res.sqlite_settings = SqliteSettings(floor_db);
        const int count = Scaled(o, 300) / kBlocks;
        struct W {
            const char *figure;
            const std::string *line;
            const char *sql;
            std::vector<std::string> names, values;
            Stats *per_call;
        };
        std::vector<W> writes = {
            {"write 2002",
             &w2002,
             "update t_secsoft set secstat=@secstat where uuid=@uuid",
             {"@uuid", "@secstat"},
             {kSecUuid, StoredBody(kStatBody, kSecUuid)},
             &res.per_call_2002},
            {"write 1003",
             &w1003,
             "update t_frontui set data=@fuiconf where uuid=@uuid",
             {"@uuid", "@fuiconf"},
             {kFuiUuid, StoredBody(kConfBody, kFuiUuid)},
             &res.per_call_1003},
        };
        for (W &w : writes) {
            Row r;
            r.figure = w.figure;
            const std::string &sock = w.line == &w2002 ? d.SecSocket() : d.FuiSocket();
            Samples floor, per_call, daemon;
            for (int b = 0; b < kBlocks; ++b) {
                std::string err;
                double secs = 0;
                auto s = SqliteFloor(floor_db, w.sql, w.names, w.values, count, false, secs, err);
                if (s.empty()) Die("sqlite floor: " + err);
                floor.Add(s, secs);
                s = SqliteFloor(floor_db, w.sql, w.names, w.values, count, true, secs, err);
                if (s.empty()) Die("sqlite floor: " + err);
                per_call.Add(s, secs);
                RoundTrips(sock, *w.line, 1, count, daemon);
            }
            r.floor = floor.Summary();
            *w.per_call = per_call.Summary();
            r.daemon = daemon.Summary();
            res.rows.push_back(r);
        }
    }

    // A front UI's query while another connection sends status updates
    // back to back, beside the same query with no flood. The flooding
    // product is not the active one, so nothing is broadcast.
    {
        const int count = Scaled(o, 500);
        Samples calm, flooded;
        RoundTrips(d.FuiSocket(), q1004, 1, count, calm);
        Flood flood(d.SecSocket(), w2002_quiet);
        if (!flood.ok()) Die("cannot start the flood");
        WaitFor([&] { return flood.answered() > 0; }, 10000);
        long before = flood.answered();
        int64_t t0 = NowNs();
        RoundTrips(d.FuiSocket(), q1004, 1, count, flooded);
        double seconds = static_cast<double>(NowNs() - t0) / 1e9;
        res.flood_per_sec = static_cast<double>(flood.answered() - before) / seconds;
        res.query_calm = calm.Summary();
        res.query_flooded = flooded.Summary();
    }

    // The notification a status update produces, as the floor's payload.
    std::string note;
    {
        Conn fui(d.FuiSocket());
        WaitFor([&] { return OpenFds(d.pid()) > base_fds; }, 10000);
        Conn sec(d.SecSocket());
        if (!WriteAll(sec.fd, w2002.data(), w2002.size())) Die("write failed");
        if (!fui.reader->Next(note)) Die("no notification");
        note.push_back('\n');
        std::string reply;
        if (!sec.reader->Next(reply)) Die("no reply");
    }
    WaitFor([&] { return OpenFds(d.pid()) <= base_fds; }, 10000);

    // Broadcast to growing numbers of front UIs, beside the bare loop.
    {
        FloorServer bare("@" + root + "/bench-bcast", FloorMode::kBroadcast, note);
        if (!bare.ok()) Die("cannot start the broadcast floor");
        Conn sec(d.SecSocket());
        Conn trig("@" + root + "/bench-bcast");
        Receivers drx, frx;
        const int fd_base = OpenFds(d.pid());
        const int floor_base = OpenFds(bare.pid());
        for (int n : {1, 10, 100, 1000}) {
            drx.Add(d.FuiSocket(), static_cast<size_t>(n));
            frx.Add("@" + root + "/bench-bcast", static_cast<size_t>(n));
            if (!WaitFor([&] { return OpenFds(d.pid()) >= fd_base + n; }, 20000))
                Die("the daemon did not take " + std::to_string(n) + " front UIs");
            WaitFor([&] { return OpenFds(bare.pid()) >= floor_base + n; }, 20000);
            if (n == 1000) res.rss_1000_idle = RssKiB(d.pid());
            int reps = Scaled(o, n >= 1000 ? 50 : n >= 100 ? 100 : 200) / kBlocks;
            BroadcastRow b;
            b.fuis = n;
            Samples floor, daemon, alone, floor_alone;
            const std::string echo_only = "#\n";
            for (int k = 0; k < kBlocks; ++k) {
                BroadcastRun(trig, frx, w2002, reps, floor, &echo_only, &floor_alone);
                BroadcastRun(sec, drx, w2002, reps, daemon, &w2002_quiet, &alone);
            }
            b.floor = floor.Summary();
            b.daemon = daemon.Summary();
            b.write = alone.Summary();
            b.floor_alone = floor_alone.Summary();
            res.broadcast.push_back(b);
        }
        res.rss_1000_after = RssKiB(d.pid());
        // Every front UI asks once: each connection now has its input buffer.
        for (int fd : drx.fds)
            if (!WriteAll(fd, q1004.data(), q1004.size())) Die("query write failed");
        drx.AwaitLines();
        res.rss_1000_active = RssKiB(d.pid());
    }
    WaitFor([&] { return OpenFds(d.pid()) <= base_fds; }, 20000);
    WaitFor([] { return false; }, 200);
    res.rss_after = RssKiB(d.pid());
    return res;
}

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

std::string Machine() {
    struct utsname u;
    uname(&u);
    char buf[512];
    snprintf(buf, sizeof(buf), "nproc %ld, %s, kernel %s %s", sysconf(_SC_NPROCESSORS_ONLN),
             CpuModel().c_str(), u.sysname, u.release);
    return buf;
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

void PrintMode(const ModeResult &m, const Options &o) {
    printf("\n== %s%s ==  (sqlite: %s)\n", m.mode.c_str(),
           m.mode == "pinned" ? (" to CPU " + std::to_string(o.cpu)).c_str() : "",
           m.sqlite_settings.c_str());
    printf("%-12s %3s | %10s %9s %9s | %10s %9s %9s | %6s\n", "figure", "cl", "daemon/s", "med us",
           "p99 us", "floor/s", "med us", "p99 us", "ratio");
    for (const Row &r : m.rows) {
        printf("%-12s %3d | %10.0f %9.1f %9.1f | %10.0f %9.1f %9.1f | %6.2f\n", r.figure.c_str(),
               r.clients, r.daemon.per_sec, r.daemon.median_us, r.daemon.p99_us, r.floor.per_sec,
               r.floor.median_us, r.floor.p99_us, r.Ratio());
    }
    // The same writes against the statement run the daemon's way: a
    // connection opened, the statement prepared, run and closed every time.
    for (const Row &r : m.rows) {
        const Stats *pc = r.figure == "write 2002"   ? &m.per_call_2002
                          : r.figure == "write 1003" ? &m.per_call_1003
                                                     : nullptr;
        if (pc == nullptr) continue;
        printf(
            "%-12s %3s | %10.0f %9.1f %9.1f | %10.0f %9.1f %9.1f | %6.2f  (floor: connection per "
            "statement)\n",
            r.figure.c_str(), "", r.daemon.per_sec, r.daemon.median_us, r.daemon.p99_us,
            pc->per_sec, pc->median_us, pc->p99_us,
            pc->per_sec > 0 ? r.daemon.per_sec / pc->per_sec : 0);
    }
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
    sum << "mode,figure,clients,daemon_per_sec,daemon_median_us,daemon_p99_us,"
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
    auto cdf = [&](const std::string &mode, const std::string &series, const Stats &s) {
        for (size_t p = 0; p < s.cdf_us.size(); ++p)
            lat << mode << "," << series << "," << p << "," << s.cdf_us[p] << "\n";
    };
    for (const ModeResult &m : modes) {
        std::map<std::string, bool> floors_done;
        for (const Row &r : m.rows) {
            sum << m.mode << "," << r.figure << "," << r.clients << "," << r.daemon.per_sec << ","
                << r.daemon.median_us << "," << r.daemon.p99_us << "," << r.floor.per_sec << ","
                << r.floor.median_us << "," << r.floor.p99_us << "," << r.Ratio() << "\n";
            std::string c = " " + std::to_string(r.clients) + "c";
            bool write = r.figure.rfind("write", 0) == 0;
            cdf(m.mode, r.figure + (write ? "" : c), r.daemon);
            std::string fname = write ? "sqlite " + r.figure.substr(6) : "echo floor" + c;
            if (!floors_done[fname]) cdf(m.mode, fname, r.floor);
            floors_done[fname] = true;
        }
        for (const Row &r : m.rows) {
            const Stats *pc = r.figure == "write 2002"   ? &m.per_call_2002
                              : r.figure == "write 1003" ? &m.per_call_1003
                                                         : nullptr;
            if (pc == nullptr) continue;
            sum << m.mode << "," << r.figure << " per-call floor,1," << r.daemon.per_sec << ","
                << r.daemon.median_us << "," << r.daemon.p99_us << "," << pc->per_sec << ","
                << pc->median_us << "," << pc->p99_us << ","
                << (pc->per_sec > 0 ? r.daemon.per_sec / pc->per_sec : 0) << "\n";
            cdf(m.mode, "sqlite per-call " + r.figure.substr(6), *pc);
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

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s needs a value\n", a.c_str());
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--out")
            o.out = next();
        else if (a == "--daemon")
            o.daemon = next();
        else if (a == "--cpu")
            o.cpu = atoi(next().c_str());
        else if (a == "--scale")
            o.scale = atof(next().c_str());
        else if (a == "--only")
            o.only = next();
        else {
            fprintf(stderr,
                    "usage: %s [--out DIR] [--cpu N] [--scale F] [--only pinned|unpinned] "
                    "[--daemon PATH]\n",
                    argv[0]);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    if (geteuid() != 0) {
        // The daemon keeps the last slots of its client table for root and
        // limits every other user to a few dozen connections.
        fprintf(stderr, "korvane_bench: needs root: it connects 1000 front UIs\n");
        return 1;
    }
    if (RaiseFdLimit(4096) < 2100) {
        fprintf(stderr, "korvane_bench: cannot raise the descriptor limit to 2100\n");
        return 1;
    }
    const std::string machine = Machine();
    printf("veskkorvaned benchmark: %s\n", machine.c_str());
    std::vector<ModeResult> modes;
    try {
        for (bool pinned : {true, false}) {
            if (!o.only.empty() && o.only != (pinned ? "pinned" : "unpinned")) continue;
            modes.push_back(RunMode(o, pinned));
            PrintMode(modes.back(), o);
            fflush(stdout);
        }
    } catch (const std::exception &) {
        return 1;
    }
    WriteFiles(modes, o, machine);
    printf("\nfigures written to %s\n", o.out.c_str());
    return 0;
}
