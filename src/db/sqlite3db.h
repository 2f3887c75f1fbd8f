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
    // A statement that meets another connection's lock fails at once.
    static constexpr int kBusyTimeoutMs = 0;
};

static_assert(Sqlite3DB::GetOpenMode() == 0x1010006, "open mode of the registry database");
