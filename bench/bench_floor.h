// The floors the daemon is measured against: servers that do nothing but the
// unavoidable system calls, and the registry's SQL statement run directly.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vk_bench {

enum class FloorMode {
    // Every line received is written back on the same connection.
    kEcho,
    // Every line received makes the server write `payload` once to every
    // other connection (ascending descriptor order), then echo the line to
    // its sender. A line starting with '#' is only echoed.
    kBroadcast,
};

// A floor server in a child process listening on the abstract `name`; ends
// (by its id) when the object goes away.
class FloorServer {
public:
    FloorServer(const std::string &name, FloorMode mode, const std::string &payload = "");
    ~FloorServer();
    FloorServer(const FloorServer &) = delete;
    FloorServer &operator=(const FloorServer &) = delete;

    bool ok() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

// A database file of the SQLite floor and what every connection to it sets
// first: `pragma journal_mode` and `pragma synchronous` (0 to 3).
struct FloorDb {
    std::string path;
    std::string journal_mode;
    int synchronous = 2;
    // "journal_mode=wal synchronous=2"
    std::string Settings() const;
};

// One statement per transaction on `db`: `sql` once for each element of
// `runs`, with the named text parameters `names` bound to that element's
// values. With `per_call_connection` the connection is opened, set and the
// statement prepared for every run; otherwise one connection and one
// prepared statement serve every run. Returns the latency of each run in
// nanoseconds (empty on failure, with `error` set).
std::vector<int64_t> SqliteFloor(const FloorDb &db, const std::string &sql,
                                 const std::vector<std::string> &names,
                                 const std::vector<std::vector<std::string>> &runs,
                                 bool per_call_connection, double &seconds, std::string &error);

// The journal mode recorded in the database file `path` ("wal" stays in the
// file; otherwise what a new connection gets, "delete" by default), read on
// a read-only connection; "" with `error` set on failure.
std::string SqliteJournalMode(const std::string &path, std::string &error);

// A consistent copy of the database `from` (also while another process
// writes it in WAL mode) into the new file `to`: VACUUM INTO on a
// read-only connection.
bool SqliteCopy(const std::string &from, const std::string &to, std::string &error);

}  // namespace vk_bench
