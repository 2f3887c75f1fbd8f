// How a statement reaches the file: a connection of its own under m_dbLock,
// and the tables created again when they were lost at run time.
//
// A file removed, replaced by an empty database, or gone with its directory
// leaves the daemon serving entries that the file no longer has. The first
// statement that meets this ("no such table", or a file that cannot be
// opened because its directory is gone) creates the directory and the schema
// again, writes back what the cache holds (the front UI, the current product
// and the default record) so that the file agrees with what is served, and
// is run once more. Rows the file still has are kept, and the set of stored
// front-UI uuids is read again from what the file then holds.
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "base/utils.h"
#include "db/locks.h"
#include "db/moxdb.h"
#include "db/sqlite3db.h"
#include "log/mylog.h"
#include "log/private_file.h"

const char CMoxDb::kSchema[] =
    "CREATE TABLE IF NOT EXISTS t_frontui ("
    "uuid VARCHAR(36) NOT NULL,"
    "name TEXT NOT NULL,"
    "pid INT NOT NULL,"
    "euid INT NOT NULL,"
    "loginuid INT NOT NULL,"
    "data TEXT DEFAULT NULL,"
    "timestamp INTEGER NOT NULL DEFAULT (strftime('%s','now')),"
    "PRIMARY KEY(uuid));"
    "CREATE TABLE IF NOT EXISTS t_secsoft ("
    "uuid VARCHAR(36) NOT NULL,"
    "name TEXT NOT NULL,"
    "exec TEXT NOT NULL,"
    "secsoft TEXT NOT NULL,"
    "secstat TEXT DEFAULT NULL,"
    "status INT NOT NULL DEFAULT 1,"
    "ctime INTEGER NOT NULL DEFAULT (strftime('%s','now')),"
    "mtime INTERGER NOT NULL DEFAULT (strftime('%s','now')),"
    "PRIMARY KEY(uuid));"
    // Which product is current (one row; the default uuid when none other
    // is), so that a restart keeps it instead of guessing from row age.
    "CREATE TABLE IF NOT EXISTS t_current ("
    "slot INTEGER NOT NULL PRIMARY KEY CHECK (slot = 1),"
    "uuid VARCHAR(36) NOT NULL);"
    // What the daemon knows of each product besides its row: whether its
    // program is watched, whether a process ran it when last looked at
    // (NULL while not watched), and the time of its last status report.
    "CREATE TABLE IF NOT EXISTS t_product_state ("
    "uuid VARCHAR(36) NOT NULL PRIMARY KEY,"
    "watched INT NOT NULL DEFAULT 0,"
    "alive INT DEFAULT NULL,"
    "last_report INTEGER DEFAULT NULL);";

namespace {

// An empty text goes back as NULL: nothing stored, as in a fresh row.
void BindText(SQLite::Statement &st, const char *name, const std::string &text) {
    if (text.empty())
        st.bind(name);
    else
        st.bind(name, text);
}

void PutBack(SQLite::Database &conn, const CFrontUIInfo &r) {
    SQLite::Statement st(conn,
                         "insert or ignore into t_frontui (uuid,name,pid,euid,loginuid,data) "
                         "values(@uuid,@name,@pid,@euid,@loginuid,@data)");
    st.bind("@uuid", r.uuid);
    st.bind("@name", r.name);
    st.bind("@pid", r.pid);
    st.bind("@euid", r.euid);
    st.bind("@loginuid", r.loginuid);
    BindText(st, "@data", r.data);
    st.exec();
}

void PutBack(SQLite::Database &conn, const CSecSoftInfo &r) {
    SQLite::Statement st(conn,
                         "insert or ignore into t_secsoft (uuid,name,exec,secsoft,secstat,status) "
                         "values(@uuid,@name,@exec,@secsoft,@secstat,@status)");
    st.bind("@uuid", r.uuid);
    st.bind("@name", r.name);
    st.bind("@exec", r.exec);
    st.bind("@secsoft", r.secsoft);
    BindText(st, "@secstat", r.secstat);
    st.bind("@status", r.status);
    st.exec();
}

}  // namespace

template <typename F>
auto CMoxDb::withTables(F &&run) -> decltype(run()) {
    try {
        return run();
    } catch (const SQLite::Exception &e) {
        if (!tablesLost(e)) throw;
        recreateTables(e.what());
    }
    return run();
}

bool CMoxDb::tablesLost(const SQLite::Exception &e) const {
    if (e.getErrorCode() == SQLITE_ERROR) return strncmp(e.what(), "no such table", 13) == 0;
    if (e.getErrorCode() != SQLITE_CANTOPEN) return false;
    struct stat st;
    return stat(m_dbDir.c_str(), &st) != 0 && errno == ENOENT;
}

void CMoxDb::recreateTables(const char *why) {
    MyLog *log = Singleton<MyLog>::Instance();
    CMutexGuard writing(m_writeLock);
    // Copies taken before the statements run: no cache lock is held then.
    CFrontUIInfo front;
    CSecSoftInfo cur, def;
    const bool hasFront = m_pCache->doGet(front) == kMoxOk;
    const bool hasCur = m_pCache->doGet(cur) == kMoxOk && cur.uuid != kDefSecSoftUuid;
    const bool hasDef = m_pCache->GetDefSecSoft(def) == kMoxOk;
    // Whatever happens below, the rows the set names may be gone.
    dropFrontUuids();
    try {
        CMutexGuard guard(m_dbLock);
        Utils::make_dirs(m_dbDir);
        private_file_create(m_dbPath.c_str());
        SQLite::Database conn(m_dbPath, Sqlite3DB::GetOpenMode(), Sqlite3DB::kBusyTimeoutMs);
        SQLite::Transaction tx(conn);
        conn.exec(kSchema);
        if (hasFront) PutBack(conn, front);
        if (hasCur) PutBack(conn, cur);
        SQLite::Statement current(conn,
                                  "insert or ignore into t_current (slot,uuid) values(1,@uuid)");
        current.bind("@uuid", hasCur ? cur.uuid : std::string(kDefSecSoftUuid));
        current.exec();
        if (hasDef) PutBack(conn, def);
        tx.commit();
        loadFrontUuids(conn);
    } catch (const std::exception &e) {
        log->Write(ERROR, "create tables of %s again failed,because: %s", m_dbPath.c_str(),
                   e.what());
        return;
    }
    log->Write(ERROR,
               "tables of %s lost,because: %s,schema created again,%d cached entries put back",
               m_dbPath.c_str(), why, int(hasFront) + int(hasCur) + int(hasDef));
}

int CMoxDb::execWrite(const char *sql, const Binder &bind) {
    return withTables([&] {
        CMutexGuard guard(m_dbLock);
        // A file removed at run time comes back private, not as SQLite
        // would create it.
        private_file_create(m_dbPath.c_str());
        SQLite::Database conn(m_dbPath, Sqlite3DB::GetOpenMode(), Sqlite3DB::kBusyTimeoutMs);
        SQLite::Statement stmt(conn, sql);
        bind(stmt);
        return stmt.exec();
    });
}

bool CMoxDb::execRead(const char *sql, const Binder &bind, const Reader &read) {
    return withTables([&] {
        CMutexGuard guard(m_dbLock);
        // A file removed at run time comes back private, not as SQLite
        // would create it.
        private_file_create(m_dbPath.c_str());
        SQLite::Database conn(m_dbPath, Sqlite3DB::GetOpenMode(), Sqlite3DB::kBusyTimeoutMs);
        SQLite::Statement stmt(conn, sql);
        bind(stmt);
        if (!stmt.executeStep()) return false;
        read(stmt);
        return true;
    });
}
