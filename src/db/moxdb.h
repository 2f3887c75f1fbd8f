// The registry store: the cache in front of the SQLite database.
//
// A write goes to the database first and reaches the cache only once the
// database took it, so that a refused write changes nothing: the answer,
// what the cache serves and what the file holds agree. The cache's entry is
// allocated before the statement runs, so taking it afterwards cannot fail.
// A read is answered by the cache and falls back to the database. Every
// statement runs on one long-lived connection (write-ahead log, synchronous
// FULL), prepared once and kept, under m_dbLock; no cache lock is held while
// a statement runs.
//
// Transactions: the writes of one request (BeginRequest..EndRequest) are one
// savepoint; one that fails undoes all of them, in the file and in memory.
// A write outside a request is a savepoint of its own. With group commit on
// (the daemon), the transaction the savepoints live in stays open until
// CommitPass at the end of the loop's pass, so a pass costs one commit;
// off, each request and each lone write commits at once. A commit that
// fails puts memory back as it was when the transaction began.
//
// The time of a product's last status report is kept in memory and written
// at most once a minute (with a commit made anyway, or by itself), and at
// stop. Whether a front
// UI is stored is answered from memory: the set of uuids t_frontui holds is
// read at start and kept in step with every statement that writes or
// deletes its rows, after the statement succeeded; when it cannot be kept in
// step (out of memory, a read that failed) it is read again at the next
// question. Tables lost at run
// time (the file or its directory removed or replaced) are created again on
// the next statement, with the entries the cache holds, and the statement is
// run once more. No exception leaves the public operations: database errors
// are logged and turned into the result codes of moxcache.h. Between Init
// and Uninit the store owns the cache and the long-lived connection used for
// the schema; outside that window every operation answers kMoxFailed (or
// false) without touching anything.
//
// Any local process may speak to the daemon, so what it can make the store
// keep is bounded: only the current front UI writes its row and its
// configuration (another one is answered kMoxNotCurrent and nothing is
// written; only ReplaceFrontUI, for root, puts another one in its place), and of the front-UI rows
// of one euid only the newest kMaxFrontUIsPerEuid stay. The database file and its journal are
// readable by their owner only.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/singleton.h"
#include "db/moxcache.h"
#include "db/records.h"

namespace SQLite {
class Database;
class Exception;
class Statement;
}  // namespace SQLite

class CMoxDb : public Singleton<CMoxDb> {
    friend class Singleton<CMoxDb>;

public:
    virtual ~CMoxDb();
    CMoxDb(const CMoxDb &) = delete;
    CMoxDb &operator=(const CMoxDb &) = delete;

    // Opens the database under the current VESKKORVANED_ROOT, creates the
    // schema and loads the cache. Calling it again re-initialises the store.
    bool Init();
    void Uninit();

    static constexpr int kMaxFrontUIsPerEuid = 8;

    // T is CFrontUIInfo, CFrontUIConf, CSecSoftInfo or CSecStatInfo.
    // Upgrade: kMoxOk, kMoxDbOnly (products), kMoxNotCurrent (front UIs),
    // kMoxNoMemory, kMoxFailed, or kMoxNotFound (configuration and status
    // writes).
    template <typename T>
    MoxResult Upgrade(const T &r);
    // Get: kMoxOk, kMoxNotFound, or kMoxEmpty (configuration and status
    // reads).
    template <typename T>
    MoxResult Get(T &r);

    // Whether t_frontui holds uuid (or it is the current front UI), from
    // memory: no database connection unless the set must be read again.
    bool FrontUIValid(const std::string &uuid);
    bool SecSoftValid(const std::string &uuid);
    MoxResult CleanFrontUI(const std::string &uuid);
    MoxResult CleanSecInfo(const std::string &uuid);
    // kMoxNotFound while the default record has status 0.
    MoxResult GetDefSecSoft(CSecSoftInfo &out);
    MoxResult SetDefSecSoft(const CSecSoftInfo &r);

    // Registers r as the current front UI even while another one is:
    // that one stops being current (its row and configuration stay) and
    // `*replaced` gets its record; its uuid stays empty when none was
    // current or r renews the current one. The row is written first: a
    // failure leaves the current one in place. For root's registrations.
    MoxResult ReplaceFrontUI(const CFrontUIInfo &r, CFrontUIInfo *replaced);
    // The current front UI stops being current (its process ended): the
    // cache forgets it, its row and configuration stay, and the next
    // registration becomes current. kMoxNotFound when uuid is not current.
    MoxResult ForgetFrontUI(const std::string &uuid);
    // The uuid of the current product; the default uuid when none other is.
    std::string CurrentSecSoft();
    // Every stored product but the default one (uuid, name, exec, status).
    MoxResult ListSecSofts(std::vector<CSecSoftInfo> &out);
    // A product's liveness and last report; kMoxNotFound (state at its
    // defaults) when nothing is stored for it.
    MoxResult GetSecSoftState(CSecSoftState &state);
    // Records whether the product is watched and alive (-1 for unknown).
    MoxResult SetSecSoftLiveness(const std::string &uuid, bool watched, int alive);
    // Who registered the product: kMoxNotFound when nobody is recorded
    // (a product stored by an earlier version, or gone).
    MoxResult GetSecSoftOwner(CSecSoftOwner &owner);
    // Binds the product's uuid to its registrant until it unregisters.
    MoxResult SetSecSoftOwner(const CSecSoftOwner &owner);
    // The product (re)started: its status stored so far speaks of an
    // earlier run until it reports again.
    MoxResult MarkSecSoftStarted(const std::string &uuid);
    // Records now as the time of the product's last accepted status report.
    MoxResult RecordSecStatReport(const std::string &uuid);

    // A request's writes are one transaction (see above).
    void BeginRequest();
    // Ends it: kMoxOk when it wrote and kept its writes, kMoxNotFound when
    // it wrote nothing, kMoxFailed when a write failed and all of the
    // request's writes were undone (or, without group commit, the commit
    // failed).
    MoxResult EndRequest();
    void SetGroupCommit(bool on);
    // Commits what the pass wrote: false when the commit failed and all of
    // it was undone, memory included.
    bool CommitPass();

    // How long a status report's time may wait in memory, in seconds.
    static constexpr int kReportWriteSeconds = 60;

private:
    CMoxDb();

    // The time of a product's last report and when it last reached the file.
    struct Report {
        int64_t at = 0;          // Unix seconds
        long long written = -1;  // monotonic seconds of the last write, -1 none
        bool dirty = false;
        bool since_start = true;  // reported since the product's latest start
    };
    // What a rollback puts back.
    struct Memory {
        CMoxCache::State cache;
        bool frontVacant = false;
        std::unordered_map<std::string, Report> reports;
    };
    void saveMemory(Memory &out);
    void restoreMemory(Memory &in) noexcept;
    // A write joins the open transaction (begun here when none is) inside
    // the request's savepoint, or one of its own: false (logged) when it
    // cannot begin. m_writeLock is held.
    bool openWrite();
    // Ends what openWrite began for a write outside a request and passes rc
    // on; kMoxFailed when its commit fails.
    MoxResult closeWrite(MoxResult rc);
    template <typename F>
    MoxResult writeOp(F &&fn);
    // Runs a savepoint's end; false when the transaction was lost with it.
    bool finishSavepoint(const char *name, bool undo, Memory &mem);
    bool commitTx();
    // The transaction was rolled back by SQLite itself: undo it in memory.
    bool txLost();
    // Writes the report times kept in memory that the file lacks: all, or
    // those last written a minute ago or more.
    void flushReports(bool all);
    MoxResult writeReport(const std::string &uuid, Report &rep);
    // The open connection still reaches the file at its path; otherwise it
    // is opened again and the cached entries put back. Outside a transaction.
    bool ensureFile();
    SQLite::Statement &prepared(const char *sql);

    using Binder = std::function<void(SQLite::Statement &)>;
    using Reader = std::function<void(SQLite::Statement &)>;

    bool initCache();
    bool initDb();
    void loadDb();
    // Makes the product that was current when the daemon stopped current
    // again (t_current), or, for a file written before that table existed,
    // the one the default record's state points to.
    void loadCurrentSecSoft();
    // Records uuid as the current product: false (logged) when it failed.
    bool writeCurrent(const std::string &uuid);
    // At start: the directory checked, the file created 0600 if missing;
    // it and a journal left behind narrowed to their owner if wider. False
    // (logged) for a directory others may write, or for a link, something
    // other than a regular file or a file not our own at any of their names.
    bool protectFiles();

    // One statement, prepared once and kept, on the store's connection under
    // m_dbLock, run again once after lost tables were created anew. Both
    // throw.
    int execWrite(const char *sql, const Binder &bind);
    bool execRead(const char *sql, const Binder &bind, const Reader &read);
    template <typename F>
    auto withTables(F &&run) -> decltype(run());
    bool tablesLost(const SQLite::Exception &e) const;
    // Creates the schema again and writes the cached entries into it.
    void recreateTables(const char *why);
    // Opens m_pDb on the file (write-ahead log, schema): 0, or the SQLite
    // code of what failed.
    int openConnection();
    // Puts the file in write-ahead log mode: 0 or the SQLite code (logged).
    int setWal();
    void closeConnection();

    MoxResult upgradeDb(const CFrontUIInfo &r);
    MoxResult upgradeDb(const CFrontUIConf &c);
    MoxResult upgradeDb(const CSecSoftInfo &r);
    MoxResult upgradeDb(const CSecStatInfo &s);
    MoxResult delFromDb(const std::string &uuid, const char *table, const char *opname);
    bool getFromDb(CFrontUIInfo &r);
    bool getFromDb(CFrontUIConf &c);
    bool getFromDb(CSecSoftInfo &r);
    bool getFromDb(CSecStatInfo &s);
    int getSecSoftInfo(CSecSoftInfo &r, const char *selector);
    bool isExist(const std::string &uuid, const char *table, const char *what);
    // The uuid t_current names: 1 found, 0 no row, -1 failed.
    int readCurrent(std::string &uuid);
    MoxResult listSecSofts(std::vector<CSecSoftInfo> &out);
    MoxResult getSecSoftState(CSecSoftState &state);
    MoxResult setSecSoftLiveness(const std::string &uuid, bool watched, int alive);
    MoxResult recordSecStatReport(const std::string &uuid, int64_t at);
    MoxResult getSecSoftOwner(CSecSoftOwner &owner);
    MoxResult setSecSoftOwner(const CSecSoftOwner &owner);

    template <typename T>
    MoxResult doUpgrade(const T &r);
    // Whether the write may reach the database at all; m_writeLock is held.
    template <typename T>
    bool admitted(const T &) {
        return true;
    }
    bool admitted(const CFrontUIInfo &r);
    bool admitted(const CFrontUIConf &c);
    // The uuid of the current front UI: the held one, or, when none is held
    // while the table has rows (the load at start met a locked file), the
    // one the load takes, which the cache then holds. False when there is
    // none.
    bool currentFrontUI(std::string *uuid);
    // Removes the oldest rows of r's euid beyond kMaxFrontUIsPerEuid; r's
    // own row always stays.
    void trimFrontUIs(const CFrontUIInfo &r);
    template <typename T>
    MoxResult doGet(T &r);
    // The set of stored front-UI uuids (m_writeLock held): read from the
    // file, a uuid noted as written or deleted, or given up until the next
    // read. Failures are logged; none throws.
    void loadFrontUuids();
    void loadFrontUuids(SQLite::Database &conn);
    void noteFrontUuid(const std::string &uuid, bool stored);
    void dropFrontUuids();
    // What follows a write the cache took: false when it failed.
    template <typename T>
    bool afterUpgrade(const T &) {
        return true;
    }
    bool afterUpgrade(const CFrontUIInfo &r);
    bool afterUpgrade(const CSecSoftInfo &r);

    static const char kSchema[];

    std::unique_ptr<CMoxCache> m_pCache;
    pthread_mutex_t m_dbLock;
    int m_dbLockRc;
    // Serialises the writes of the store (database, then cache), so that
    // concurrent writers reach both in the same order. Recursive: a
    // statement that finds its tables lost rebuilds them under it.
    pthread_mutex_t m_writeLock;
    int m_writeLockRc;
    // Set when the current front UI was forgotten: no front UI is current
    // until one registers, and none is taken from the file meanwhile.
    bool m_frontVacant = false;
    // The uuids t_frontui holds, valid while m_frontKnown; under m_writeLock.
    std::unordered_set<std::string> m_frontUuids;
    bool m_frontKnown = false;
    std::unordered_map<std::string, Report> m_reports;  // under m_writeLock
    bool m_groupCommit = false;
    bool m_txOpen = false;
    bool m_passLost = false;  // a transaction of this pass was undone
    bool m_inRequest = false;
    bool m_reqSaved = false;  // the request's savepoint is open
    bool m_reqFailed = false;
    bool m_reqWrote = false;
    Memory m_passMem, m_reqMem, m_opMem;
    // The statements come after the connection: they are finalized first.
    std::unique_ptr<SQLite::Database> m_pDb;
    std::unordered_map<std::string, std::unique_ptr<SQLite::Statement>> m_stmts;
    bool m_walPending = false;  // the file could not be put in WAL mode yet
    dev_t m_dbDev = 0;
    ino_t m_dbIno = 0;
    std::string m_dbDir;
    std::string m_dbPath;
};

// Start-up and shut-down of the store for the main sequence: 0, or -1 when
// the database cannot be opened.
int MoxDbInit();
void MoxDbUninit();
