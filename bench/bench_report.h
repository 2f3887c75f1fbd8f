// What one placement (pinned or not) of the benchmark measured, and how it
// is printed and written to CSV files.
#pragma once

#include <string>
#include <vector>

#include "bench_util.h"

namespace vk_bench {

struct Options {
    std::string daemon;
    std::string out = "bench-out";
    int cpu = 0;
    double scale = 1.0;
    std::string only;
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
    std::string sqlite_settings;
    std::string redis;  // what became of the Redis comparison
};

std::string Machine();
void PrintMode(const ModeResult &m, const Options &o);
void WriteFiles(const std::vector<ModeResult> &modes, const Options &o, const std::string &machine);

}  // namespace vk_bench
