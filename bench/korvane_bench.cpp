// Measures the real daemon against the floors of the same machine, in one
// run: queries answered from memory against a bare echo server (and Redis,
// when redis-server is installed), a connection opened for one query and
// closed against the echo server doing the same, writes that change the
// stored row against the same SQLite statement run directly, the broadcast
// to front UIs against a bare loop writing the same line, a query while
// another client floods the daemon with pipelined writes, and the daemon's
// resident size. Every comparison runs twice: everything pinned to one CPU
// (the ratios measure our own work) and unpinned (as a deployment sees it).
// Then, once, the daemon's sync calls while a product reports its status
// once a second, unchanged and changing, counted by a library preloaded into
// the daemon (sync_count.c). A final block names each goal, its target and
// whether the run met it.
//
// Usage: korvane_bench [--out DIR] [--cpu N] [--scale F]
//                      [--only pinned|unpinned|sync] [--daemon PATH]
// --daemon runs another build of the daemon (default: the one built here),
// for example to compare a change against the build before it.
// Prints a table and writes summary.csv, broadcast.csv, memory.csv,
// flood.csv, latency.csv, sync.csv, goals.csv and machine.txt into DIR
// (default ./bench-out); bench/plot.sh turns them into PNG plots. Runs as
// root: the daemon gives other users a few dozen connections each.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "bench_conn.h"
#include "bench_daemon.h"
#include "bench_flood.h"
#include "bench_floor.h"
#include "bench_redis.h"
#include "bench_report.h"
#include "bench_sync.h"
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

// Status and configuration bodies unlike any sent before: a write that
// leaves the stored row as it was costs SQLite no page write and no sync,
// a fraction of a real one.
uint64_t g_seq = 1000000;
std::string StatBody(uint64_t n) {
    return R"({"status":1,"realtime":true,"signatures":"2024-05-01","threats":0,"checked":)" +
           std::to_string(n) + "}";
}
std::string ConfBody(uint64_t n) {
    return R"({"theme":"dark","language":"et","notify":true,"tray":{"visible":true,"blink":false},"rev":)" +
           std::to_string(n) + "}";
}

std::string Line(const char *uuid, uint64_t id, uint32_t type,
                 std::optional<std::string> body = std::nullopt) {
    auto line = korvane::EncodeRequest(uuid, id, type, body);
    if (!line) Die("cannot encode a request");
    return *line;
}

// The body as the daemon stores it: the object with "uuid" appended, printed
// formatted.
std::string StoredBody(const std::string &body, const char *uuid) {
    cJSON *root = cJSON_Parse(body.c_str());
    cJSON_AddStringToObject(root, "uuid", uuid);
    char *text = cJSON_Print(root);
    std::string out = text;
    cJSON_free(text);
    cJSON_Delete(root);
    return out;
}

// The library that counts the daemon's sync calls, "" when it is missing.
std::string SyncCounter() {
    return access(VK_SYNC_COUNT_LIB, R_OK) == 0 ? VK_SYNC_COUNT_LIB : "";
}

// The real daemon in the foreground under a temporary root, its sync calls
// counted when the counting library is there; stopped by its id when the
// object goes away.
class Daemon {
public:
    Daemon(const std::string &binary, const std::string &root)
        : m_root(root), m_syncs(root + "/sync-counts") {
        DaemonEnv env;
        if (m_syncs.ok() && !SyncCounter().empty()) {
            env.preload = SyncCounter();
            env.vars.push_back({VK_SYNC_COUNT_ENV, m_syncs.path()});
            m_counted = true;
        }
        m_pid = SpawnDaemon(binary, root, SIGTERM, env);
        if (m_pid < 0) Die("fork failed");
        if (!WaitListening(root)) Die("the daemon did not start listening");
    }
    ~Daemon() {
        if (m_pid > 0) StopDaemon(m_pid);
    }
    pid_t pid() const { return m_pid; }
    std::string SecSocket() const { return SecSocketOf(m_root); }
    std::string FuiSocket() const { return FuiSocketOf(m_root); }
    std::string DbPath() const { return m_root + "/etc/korvane/korvaned.db"; }
    // Whether Syncs() counts anything.
    bool counted() const { return m_counted; }
    vk_sync_counts Syncs() const { return m_syncs.Read(); }

private:
    std::string m_root;
    SyncFile m_syncs;
    bool m_counted = false;
    pid_t m_pid = -1;
};

// A temporary directory, removed with everything in it when the object
// goes away.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vk-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) Die("mkdtemp failed");
        path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
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

// Time from sending line() on `trigger` until every receiver has its line,
// `reps` times. Both the daemon and the floor write every line before they
// answer the trigger, so the answer marks the moment every line is in its
// receiver's socket; the receivers are drained and counted only after the
// clock has stopped, so that waking them does not interleave with the
// sender on a shared CPU. With `base_line`, every repetition first times
// the round trip of base_line(), which reaches no receiver: the same work
// without the broadcast, measured alongside into `base`.
using LineFn = std::function<std::string()>;
void BroadcastRun(Conn &trigger, Receivers &rx, const LineFn &line, int reps, Samples &out,
                  const LineFn *base_line = nullptr, Samples *base = nullptr) {
    std::vector<int64_t> samples, base_samples;
    int64_t t0 = NowNs();
    for (int r = 0; r < reps; ++r) {
        if (base_line != nullptr) {
            // Once unmeasured: draining the receivers left the caches cold,
            // and both measured round trips should start from the same state.
            trigger.RoundTrip((*base_line)());
            const std::string l = (*base_line)();
            int64_t b = NowNs();
            trigger.RoundTrip(l);
            base_samples.push_back(NowNs() - b);
        }
        const std::string l = line();
        int64_t a = NowNs();
        trigger.RoundTrip(l);
        samples.push_back(NowNs() - a);
        rx.AwaitLines();
    }
    double seconds = static_cast<double>(NowNs() - t0) / 1e9;
    if (base != nullptr) base->Add(base_samples, seconds);
    out.Add(samples, seconds);
}

int Scaled(const Options &o, int n) {
    return std::max(2 * kBlocks, static_cast<int>(n * o.scale));
}

// The floors' synchronous setting: FULL, what the daemon's store uses (and
// SQLite's default, for WAL as well). A connection's setting cannot be
// read from another process; the sync calls per write, counted on both
// sides, show whether the two match.
constexpr int kFloorSynchronous = 2;

ModeResult RunMode(const Options &o, bool pinned) {
    ModeResult res;
    res.mode = pinned ? "pinned" : "unpinned";
    if (!SetAffinity(pinned ? o.cpu : -1)) Die("sched_setaffinity failed");

    TempDir dir;
    const std::string root = dir.path;

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

    const std::string q1004 = Line(kFuiUuid, 11, 1004);
    const std::string q1001 = Line(kFuiUuid, 12, 1001);
    const LineFn w2002 = [] { return Line(kSecUuid, 13, 2002, StatBody(g_seq++)); };
    std::string reply1004;  // the configuration read's reply, Redis's value
    {
        Conn fui(d.FuiSocket());
        Expect(fui, q1004, 1004, "configuration read");
        Expect(fui, q1001, 1001, "product read");
        reply1004 = fui.RoundTrip(q1004);
    }
    auto row = [&](const char *figure, int clients, const char *floor_name,
                   const std::string &dseries, const std::string &fseries, const Samples &dm,
                   const Samples &fl) {
        Row r;
        r.figure = figure;
        r.clients = clients;
        r.floor_name = floor_name;
        r.daemon_series = dseries;
        r.floor_series = fseries;
        r.daemon = dm.Summary();
        r.floor = fl.Summary();
        res.rows.push_back(r);
    };

    // Queries from memory against the echo floor and, when installed, a
    // private Redis answering GET of a value as long as the 1004 reply.
    const std::string redis_bin = FindOnPath("redis-server");
    std::unique_ptr<RedisServer> redis;
    if (redis_bin.empty()) {
        res.redis = "redis-server not found: comparison skipped";
    } else {
        redis = std::make_unique<RedisServer>(redis_bin, root);
        if (!redis->ok() || !redis->Set("k", reply1004)) Die("cannot start " + redis_bin);
        res.redis = "Redis: " + redis_bin + " on " + redis->socket() + ", GET of " +
                    std::to_string(reply1004.size()) + " bytes";
    }
    const std::string echo_name = "@" + root + "/bench-echo";
    {
        FloorServer echo(echo_name, FloorMode::kEcho);
        if (!echo.ok()) Die("cannot start the echo floor");
        const std::vector<std::string> get = {RespCommand({"GET", "k"})};
        for (int clients : {1, 8}) {
            int count = Scaled(o, clients == 1 ? 20000 : 4000) / kBlocks;
            Samples floor, d1004, d1001, rget;
            for (int b = 0; b < kBlocks; ++b) {
                RoundTrips(echo_name, {q1004}, clients, count, floor);
                RoundTrips(d.FuiSocket(), {q1004}, clients, count, d1004);
                RoundTrips(d.FuiSocket(), {q1001}, clients, count, d1001);
                // The bulk reply of a value without a line feed is two lines.
                if (redis) RoundTrips(redis->socket(), get, clients, count, rget, 200, 2);
            }
            const std::string c = " " + std::to_string(clients) + "c";
            const std::string fs = "echo floor" + c;
            row("query 1004", clients, "echo server", "query 1004" + c, fs, d1004, floor);
            row("query 1001", clients, "echo server", "query 1001" + c, fs, d1001, floor);
            if (redis)
                row("query 1004", clients, "Redis GET", "query 1004" + c, "redis GET" + c, d1004,
                    rget);
        }
        // Connect, one request, its reply, close: korvanectl and short-lived
        // front UIs.
        const int count = Scaled(o, 5000) / kBlocks;
        Samples floor, daemon;
        for (int b = 0; b < kBlocks; ++b) {
            ShortConnections(echo_name, q1004, count, floor);
            ShortConnections(d.FuiSocket(), q1004, count, daemon);
        }
        row("connect+1004+close", 1, "echo server: connect+line+close", "connect 1004 1c",
            "echo connect 1c", daemon, floor);
    }
    redis.reset();

    // Writes against the same statement run directly on a consistent copy
    // of the daemon's database in the same directory (VACUUM INTO, also
    // while the daemon writes it in WAL mode), in the journal mode the
    // daemon's file records: on one open connection (the floor of the goal)
    // and with a connection per statement; and on one connection with the
    // settings the daemon had before it kept a connection (journal_mode
    // delete), to compare with earlier runs. Every floor syncs FULL, the
    // daemon's setting; whether the comparison is fair shows in the sync
    // calls per write, counted on both sides. Every write, here and there,
    // changes the stored row. No front UI is connected.
    {
        std::string err;
        res.daemon_journal = SqliteJournalMode(d.DbPath(), err);
        if (res.daemon_journal.empty()) Die("cannot read the daemon's journal mode: " + err);
        const FloorDb same{root + "/floor.db", res.daemon_journal, kFloorSynchronous};
        const FloorDb earlier{root + "/floor-delete.db", "delete", kFloorSynchronous};
        for (const FloorDb *f : {&same, &earlier})
            if (!SqliteCopy(d.DbPath(), f->path, err)) Die("cannot copy the database: " + err);
        res.floor_settings = same.Settings();
        res.earlier_settings = earlier.Settings();
        const int count = Scaled(o, 300) / kBlocks;
        const int warmup = 20;
        struct W {
            const char *figure;
            const char *uuid;
            uint32_t type;
            std::string (*body)(uint64_t);
            const char *sql;
            std::vector<std::string> names;
        };
        const std::vector<W> writes = {
            {"write 2002",
             kSecUuid,
             2002,
             StatBody,
             "update t_secsoft set secstat=@secstat where uuid=@uuid",
             {"@uuid", "@secstat"}},
            {"write 1003",
             kFuiUuid,
             1003,
             ConfBody,
             "update t_frontui set data=@fuiconf where uuid=@uuid",
             {"@uuid", "@fuiconf"}},
        };
        // One floor: its database, whether it opens a connection per
        // statement, and its samples and sync calls.
        struct F {
            const FloorDb *db;
            bool each;
            Samples samples;
            uint64_t syncs = 0;
            long statements = 0;
            double PerWrite() const {
                return statements > 0 ? static_cast<double>(syncs) / statements : -1;
            }
        };
        for (const W &w : writes) {
            const std::string &sock = w.type == 2002 ? d.SecSocket() : d.FuiSocket();
            F floors[] = {{&same, false, {}}, {&same, true, {}}, {&earlier, false, {}}};
            Samples daemon;
            uint64_t daemon_syncs = 0;
            long daemon_writes = 0;
            for (int b = 0; b < kBlocks; ++b) {
                for (F &f : floors) {
                    std::vector<std::vector<std::string>> runs;
                    for (int k = 0; k < count; ++k)
                        runs.push_back({w.uuid, StoredBody(w.body(g_seq++), w.uuid)});
                    double secs = 0;
                    const vk_sync_counts before = LocalSyncs();
                    auto s = SqliteFloor(*f.db, w.sql, w.names, runs, f.each, secs, err);
                    if (s.empty()) Die("sqlite floor: " + err);
                    f.syncs += SyncTotal(SyncDelta(LocalSyncs(), before));
                    f.statements += count;
                    f.samples.Add(s, secs);
                }
                std::vector<std::string> lines;
                for (int k = 0; k < warmup + count; ++k)
                    lines.push_back(Line(w.uuid, 13, w.type, w.body(g_seq++)));
                const vk_sync_counts before = d.Syncs();
                RoundTrips(sock, lines, 1, count, daemon, warmup);
                daemon_syncs += SyncTotal(SyncDelta(d.Syncs(), before));
                daemon_writes += warmup + count;
            }
            const std::string n = std::string(w.figure).substr(6);
            row(w.figure, 1, kFloorOneConnection, w.figure, "sqlite " + n, daemon,
                floors[0].samples);
            row(w.figure, 1, kFloorPerStatement, w.figure, "sqlite per-call " + n, daemon,
                floors[1].samples);
            row(w.figure, 1, kFloorEarlier, w.figure, "sqlite delete " + n, daemon,
                floors[2].samples);
            WriteSyncs ws;
            ws.figure = w.figure;
            if (d.counted()) ws.daemon = static_cast<double>(daemon_syncs) / daemon_writes;
            ws.one_connection = floors[0].PerWrite();
            ws.per_statement = floors[1].PerWrite();
            ws.earlier = floors[2].PerWrite();
            res.write_syncs.push_back(ws);
        }
    }

    // A front UI's query while another connection sends status updates
    // back to back, beside the same query with no flood. Every update of
    // the flood carries a new body, so each one is a real write. The
    // flooding product is not the active one, so nothing is broadcast.
    {
        // Each write of the flood costs a sync: a few hundred queries suffice.
        const int count = Scaled(o, 200);
        Samples calm, flooded;
        RoundTrips(d.FuiSocket(), {q1004}, 1, count, calm);
        const uint64_t base = g_seq;
        g_seq += 100000000;  // the flood's own range
        Flood flood(d.SecSocket(), [base](long i) {
            return Line(kQuietUuid, 16, 2002, StatBody(base + static_cast<uint64_t>(i)));
        });
        if (!flood.ok()) Die("cannot start the flood");
        WaitFor([&] { return flood.answered() > 0; }, 10000);
        long before = flood.answered();
        int64_t t0 = NowNs();
        RoundTrips(d.FuiSocket(), {q1004}, 1, count, flooded);
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
        const std::string l = w2002();
        if (!WriteAll(sec.fd, l.data(), l.size())) Die("write failed");
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
            // The same status every time, here alone: the update alone is
            // subtracted, and a sync's jitter (a changed row costs one)
            // would bury the broadcast to a few front UIs. The floor stores
            // nothing: any trigger line will do.
            const std::string same = Line(kSecUuid, 13, 2002, StatBody(0));
            const std::string same_quiet = Line(kQuietUuid, 15, 2002, StatBody(0));
            const LineFn trigger = [&] { return same; };
            const LineFn quiet = [&] { return same_quiet; };
            const LineFn echo_only = [] { return std::string("#\n"); };
            for (int k = 0; k < kBlocks; ++k) {
                BroadcastRun(trig, frx, trigger, reps, floor, &echo_only, &floor_alone);
                BroadcastRun(sec, drx, trigger, reps, daemon, &quiet, &alone);
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

// A product that reports its status once a second to a daemon of its own
// (the active product, no front UI connected): the same body every time,
// or a new one every time. A first report, a second before the clock
// starts, stores the status; then one report at the start of each second,
// and the daemon's sync calls are counted until the last second is over.
// Start-up and stop are outside. Runs 60 s times --scale, at least 5 s.
SyncRun SyncFigure(const Options &o, bool changing) {
    SyncRun run;
    run.what = changing ? "changing" : "unchanged";
    TempDir dir;
    Daemon d(o.daemon, dir.path);
    if (!d.counted()) Die("the sync counter did not reach the daemon");
    Conn sec(d.SecSocket());
    Expect(sec, Line(kSecUuid, 1, 2000, kSecBody), 2000, "product register");
    uint64_t n = 0;
    auto report = [&] {
        Expect(sec, Line(kSecUuid, 2, 2002, StatBody(changing ? ++n : 0)), 2002, "status report");
    };
    report();
    WaitFor([] { return false; }, 1000);
    const int seconds = std::max(5, static_cast<int>(60 * o.scale + 0.5));
    const vk_sync_counts before = d.Syncs();
    const int64_t t0 = NowNs();
    for (int s = 0; s <= seconds; ++s) {
        const int64_t due = t0 + static_cast<int64_t>(s) * 1000000000;
        WaitFor([&] { return NowNs() >= due; }, 2000);
        if (s == seconds) break;
        report();
        ++run.reports;
    }
    run.seconds = static_cast<double>(NowNs() - t0) / 1e9;
    run.counts = SyncDelta(d.Syncs(), before);
    return run;
}

SyncResult SyncFigures(const Options &o) {
    SyncResult res;
    res.counter = SyncCounter();
    if (res.counter.empty()) {
        res.skipped = std::string("the sync counter ") + VK_SYNC_COUNT_LIB +
                      " is missing (cmake --build build --target vk_sync_count)";
        return res;
    }
    if (!SetAffinity(-1)) Die("sched_setaffinity failed");
    for (bool changing : {false, true}) {
        printf("status %s, once a second for %d s ...\n", changing ? "changing" : "unchanged",
               std::max(5, static_cast<int>(60 * o.scale + 0.5)));
        fflush(stdout);
        res.runs.push_back(SyncFigure(o, changing));
    }
    return res;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    o.daemon = VK_DAEMON_PATH;
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
                    "usage: %s [--out DIR] [--cpu N] [--scale F] [--only pinned|unpinned|sync] "
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
    SyncResult sync;
    try {
        for (bool pinned : {true, false}) {
            if (!o.only.empty() && o.only != (pinned ? "pinned" : "unpinned")) continue;
            modes.push_back(RunMode(o, pinned));
            PrintMode(modes.back(), o);
            fflush(stdout);
        }
        if (o.only.empty() || o.only == "sync") {
            printf("\n");
            sync = SyncFigures(o);
        } else {
            sync.skipped = "--only " + o.only;
        }
        PrintSync(sync);
    } catch (const std::exception &) {
        return 1;
    }
    const std::vector<Goal> goals = Goals(modes, sync);
    PrintGoals(goals);
    WriteFiles(modes, sync, goals, o, machine);
    printf("\nfigures written to %s\n", o.out.c_str());
    return 0;
}
