// How statements reach the file: one long-lived connection in write-ahead
// log mode, its statements prepared once, and the tables created again when
// they were lost at run time.
//
// A file removed, replaced by an empty database, or gone with its directory
// leaves the daemon serving entries that the file no longer has. Before a
// transaction begins, the file at the path must still be the one the
// connection holds; otherwise the connection is closed and opened again.
// A statement that meets "no such table" creates the schema again. Either
// way what the cache holds (the front UI, the current product and the
// default record) is written back, so that the file agrees with what is
// served, and the set of stored front-UI uuids is read again.
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>
#include <errno.h>
#include <sqlite3.h>
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
    "last_report INTEGER DEFAULT NULL);"
    // Who registered each product: the only identity besides root that may
    // speak for its uuid (exe NULL: any program of that uid).
    "CREATE TABLE IF NOT EXISTS t_product_owner ("
    "uuid VARCHAR(36) NOT NULL PRIMARY KEY,"
    "uid INT NOT NULL,"
    "exe TEXT DEFAULT NULL);";

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
    return e.getErrorCode() == SQLITE_ERROR && strncmp(e.what(), "no such table", 13) == 0;
}

int CMoxDb::openConnection() {
    closeConnection();
    MyLog *log = Singleton<MyLog>::Instance();
    try {
        m_pDb.reset(
            new SQLite::Database(m_dbPath, Sqlite3DB::GetOpenMode(), Sqlite3DB::kBusyTimeoutMs));
    } catch (const SQLite::Exception &e) {
        log->Write(ERROR, "open db %s failed,because: %s", m_dbPath.c_str(), e.what());
        return e.getErrorCode() != 0 ? e.getErrorCode() : SQLITE_ERROR;
    }
    struct stat st;
    if (stat(m_dbPath.c_str(), &st) == 0) {
        m_dbDev = st.st_dev;
        m_dbIno = st.st_ino;
    }
    m_walPending = true;
    const int rc = setWal();
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) return rc;
    try {
        m_pDb->exec(kSchema);
        return 0;
    } catch (const SQLite::Exception &e) {
        log->Write(ERROR, "failed to exec sql: %s,because: %s", kSchema, e.what());
        return e.getErrorCode() != 0 ? e.getErrorCode() : SQLITE_ERROR;
    }
}

int CMoxDb::setWal() {
    try {
        // A reader (a backup, korvanectl show) never blocks a write, and a
        // commit is one sync of the log.
        m_pDb->exec("PRAGMA journal_mode=WAL");
        m_pDb->exec("PRAGMA synchronous=FULL");
        m_walPending = false;
        return 0;
    } catch (const SQLite::Exception &e) {
        // Still usable with the rollback journal; tried again before the
        // next transaction.
        Singleton<MyLog>::Instance()->Write(ERROR, "set journal mode of %s failed,because: %s",
                                            m_dbPath.c_str(), e.what());
        return e.getErrorCode() != 0 ? e.getErrorCode() : SQLITE_ERROR;
    }
}

void CMoxDb::closeConnection() {
    m_stmts.clear();
    m_pDb.reset();
    m_txOpen = false;
}

bool CMoxDb::ensureFile() {
    struct stat st;
    if (m_pDb != nullptr && stat(m_dbPath.c_str(), &st) == 0 && st.st_dev == m_dbDev &&
        st.st_ino == m_dbIno) {
        if (m_walPending) setWal();
        return true;
    }
    const bool wasOpen = m_pDb != nullptr;
    // Closing first lets the old connection's log go with it, so the new
    // file never meets a log that is not its own.
    closeConnection();
    Utils::make_dirs(m_dbDir);
    private_file_create(m_dbPath.c_str());
    if (openConnection() != 0) {
        closeConnection();
        return false;
    }
    if (wasOpen) recreateTables("the file was removed or replaced");
    return true;
}

namespace {

// Resets a kept statement when it leaves scope, for its next use.
class StatementUse {
public:
    explicit StatementUse(SQLite::Statement &st) : m_st(st) {}
    ~StatementUse() {
        m_st.tryReset();
        try {
            m_st.clearBindings();
        } catch (...) {
        }
    }
    StatementUse(const StatementUse &) = delete;
    StatementUse &operator=(const StatementUse &) = delete;

private:
    SQLite::Statement &m_st;
};

}  // namespace

SQLite::Statement &CMoxDb::prepared(const char *sql) {
    if (m_pDb == nullptr && !ensureFile()) throw std::runtime_error("database is not open");
    auto it = m_stmts.find(sql);
    if (it != m_stmts.end()) return *it->second;
    std::unique_ptr<SQLite::Statement> st(new SQLite::Statement(*m_pDb, sql));
    SQLite::Statement &ref = *st;
    m_stmts.emplace(sql, std::move(st));
    return ref;
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
    // Statements kept for the lost tables are prepared again.
    m_stmts.clear();
    try {
        CMutexGuard guard(m_dbLock);
        SQLite::Database &conn = *m_pDb;
        // Inside the open transaction when there is one: it then goes or
        // stays with the writes around it.
        std::unique_ptr<SQLite::Transaction> tx;
        if (!m_txOpen) tx.reset(new SQLite::Transaction(conn));
        conn.exec(kSchema);
        if (hasFront) PutBack(conn, front);
        if (hasCur) PutBack(conn, cur);
        SQLite::Statement current(conn,
                                  "insert or ignore into t_current (slot,uuid) values(1,@uuid)");
        current.bind("@uuid", hasCur ? cur.uuid : std::string(kDefSecSoftUuid));
        current.exec();
        if (hasDef) PutBack(conn, def);
        if (tx) tx->commit();
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
        SQLite::Statement &stmt = prepared(sql);
        StatementUse use(stmt);
        bind(stmt);
        return stmt.exec();
    });
}

bool CMoxDb::execRead(const char *sql, const Binder &bind, const Reader &read) {
    return withTables([&] {
        CMutexGuard guard(m_dbLock);
        SQLite::Statement &stmt = prepared(sql);
        StatementUse use(stmt);
        bind(stmt);
        if (!stmt.executeStep()) return false;
        read(stmt);
        return true;
    });
}
