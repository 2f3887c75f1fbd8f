// How every connection to the registry database is opened.
#pragma once

#include <sqlite3.h>

struct Sqlite3DB {
    // Read-write, created when missing, serialized by SQLite itself, and
    // never through a symbolic link anywhere in the path.
    static constexpr int GetOpenMode() {
        return SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX |
               SQLITE_OPEN_NOFOLLOW;
    }
    // A statement that meets another connection's lock (a reader such as
    // korvanectl show, a backup tool) waits this long for it before it
    // fails: long enough for any short read, short enough that the event
    // loop, which runs the statement, never stalls for long.
    static constexpr int kBusyTimeoutMs = 100;
};

static_assert(Sqlite3DB::GetOpenMode() == 0x1010006, "open mode of the registry database");
