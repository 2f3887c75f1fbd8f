// What one placement (pinned or not) of the benchmark measured, and how it
// is printed and written to CSV files.
#pragma once

#include <string>
#include <vector>

#include "bench_util.h"
#include "sync_count.h"

namespace vk_bench {

struct Options {
    std::string daemon;
    std::string out = "bench-out";
    int cpu = 0;
    double scale = 1.0;
    std::string only;
};

// Names of the SQLite floors of the writes, as printed and looked up.
constexpr const char *kFloorOneConnection = "SQLite on one connection";
constexpr const char *kFloorPerStatement = "SQLite connection per statement";
constexpr const char *kFloorEarlier = "SQLite on one connection, delete/FULL";

// Sync calls per write of one write figure: the daemon's (from its counts
// file) and each floor's (the benchmark's own); -1 when not counted.
struct WriteSyncs {
    std::string figure;
    double daemon = -1, one_connection = -1, per_statement = -1, earlier = -1;
};

struct Row {             // one comparison: daemon against a floor
    std::string figure;  // "query 1004"
    int clients = 1;
    std::string floor_name;     // printed beside the ratio
    std::string daemon_series;  // names in latency.csv
    std::string floor_series;
    Stats daemon, floor;
    double Ratio() const { return floor.per_sec > 0 ? daemon.per_sec / floor.per_sec : 0; }
};

struct BroadcastRow {
    int fuis = 0;
    Stats daemon, floor;
    // The same status update from a stored product that is not the active
    // one: the same statement, no notification. Its median is subtracted.
    Stats write;
    double NetUs() const;
    // The floor likewise: its trigger's round trip alone (a line it only
    // echoes), subtracted.
    Stats floor_alone;
    double FloorNetUs() const;
    double Ratio() const;
};

struct ModeResult {
    std::string mode;
    std::vector<Row> rows;
    std::vector<BroadcastRow> broadcast;
    // A front UI's query alone, and while a product floods the daemon with
    // pipelined status updates; the updates answered per second meanwhile.
    Stats query_calm, query_flooded;
    double flood_per_sec = 0;
    long rss_idle = 0, rss_1000_idle = 0, rss_1000_after = 0, rss_1000_active = 0, rss_after = 0;
    std::string daemon_journal;    // journal_mode of the daemon's file
    std::string floor_settings;    // the floors in the daemon's journal mode
    std::string earlier_settings;  // the floor with the earlier settings
    std::vector<WriteSyncs> write_syncs;
    std::string redis;  // what became of the Redis comparison
};

// The same status body reported once a second (or a new one every second)
// to a daemon of its own, and the daemon's sync calls meanwhile.
struct SyncRun {
    std::string what;  // "unchanged", "changing"
    int reports = 0;
    double seconds = 0;
    vk_sync_counts counts = {};
    double PerMinute() const;
};
struct SyncResult {
    std::string skipped;  // why the figure was not measured, "" when it was
    std::string counter;  // the preloaded library
    std::vector<SyncRun> runs;
};

// One goal: a figure, its target, whether it is met.
struct Goal {
    std::string figure;
    std::string measured;
    std::string target;
    std::string met;  // "yes", "no", or why it cannot be judged
};
std::vector<Goal> Goals(const std::vector<ModeResult> &modes, const SyncResult &sync);

std::string Machine();
void PrintMode(const ModeResult &m, const Options &o);
void PrintSync(const SyncResult &s);
void PrintGoals(const std::vector<Goal> &goals);
void WriteFiles(const std::vector<ModeResult> &modes, const SyncResult &sync,
                const std::vector<Goal> &goals, const Options &o, const std::string &machine);

}  // namespace vk_bench
