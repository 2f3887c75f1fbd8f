// Life cycle of the store and the operations the request handlers call.
// Exceptions stop at the public operations below; statements and the cache
// are reached only through them.
#include "db/moxdb.h"
#include "base/vk_clock.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>

#include <new>
#include <type_traits>
#include <utility>

#include "base/paths.h"
#include "base/state_dir.h"
#include "base/utils.h"
#include "db/locks.h"
#include "db/sqlite3db.h"
#include "log/mylog.h"
#include "log/private_file.h"

namespace {

// Runs fn; an exception becomes onError (kMoxNoMemory for a shortage).
template <typename R, typename F>
R Boundary(const char *op, R onError, R onNoMemory, F &&fn) {
    try {
        return fn();
    } catch (const SQLite::Exception &e) {
        Singleton<MyLog>::Instance()->Write(ERROR, "%s failed,because: %s", op, e.what());
    } catch (const std::bad_alloc &) {
        Singleton<MyLog>::Instance()->Write(ERROR, "%s failed,no memory", op);
        return onNoMemory;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(ERROR, "%s failed,because: %s", op, e.what());
    } catch (...) {
    }
    return onError;
}

// One public store operation: nothing to do while the store is closed (the
// cache is the sign of an open store), and no exception leaves it. An int
// operation fails with kMoxFailed (kMoxNoMemory for a shortage), a test
// with false.
template <typename F>
auto StoreOp(const CMoxCache *cache, const char *op, F &&fn) -> decltype(fn()) {
    using R = decltype(fn());
    if constexpr (std::is_same_v<R, bool>) {
        if (cache == nullptr) return false;
        return Boundary(op, false, false, std::forward<F>(fn));
    } else {
        if (cache == nullptr) return kMoxFailed;
        return Boundary(op, R(kMoxFailed), R(kMoxNoMemory), std::forward<F>(fn));
    }
}

}  // namespace

CMoxDb::CMoxDb() {
    m_dbLockRc = pthread_mutex_init(&m_dbLock, nullptr);
    pthread_mutexattr_t attr;
    m_writeLockRc = pthread_mutexattr_init(&attr);
    if (m_writeLockRc == 0) {
        m_writeLockRc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        if (m_writeLockRc == 0) m_writeLockRc = pthread_mutex_init(&m_writeLock, &attr);
        pthread_mutexattr_destroy(&attr);
    }
}

CMoxDb::~CMoxDb() {
    m_pCache.reset();
    m_pDb.reset();
    if (m_dbLockRc == 0) pthread_mutex_destroy(&m_dbLock);
    if (m_writeLockRc == 0) pthread_mutex_destroy(&m_writeLock);
}

bool CMoxDb::Init() {
    if (m_pCache != nullptr || m_pDb != nullptr) Uninit();
    if (m_dbLockRc != 0 || m_writeLockRc != 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "init db lock failed,rc: %d",
                                            m_dbLockRc != 0 ? m_dbLockRc : m_writeLockRc);
        return false;
    }
    try {
        m_dbDir = vk_paths::File(vk_paths::kDbDir);
        m_dbPath = vk_paths::File(vk_paths::kDbFile);
    } catch (const std::exception &) {
        return false;
    }
    m_frontVacant = false;
    m_reports.clear();
    dropFrontUuids();
    if (!initCache()) return false;
    if (!initDb()) {
        m_pCache.reset();
        return false;
    }
    loadDb();
    Singleton<MyLog>::Instance()->Write(INFO, "mox-db init ok");
    return true;
}

void CMoxDb::Uninit() {
    if (m_pCache != nullptr && m_pDb != nullptr) {
        CMutexGuard writing(m_writeLock);
        m_inRequest = false;
        m_groupCommit = false;
        try {
            commitTx();
            flushReports(true);
            commitTx();
        } catch (...) {
        }
    }
    m_groupCommit = false;
    m_inRequest = m_reqSaved = m_reqFailed = m_reqWrote = false;
    m_passLost = false;
    m_reports.clear();
    dropFrontUuids();
    m_pCache.reset();
    closeConnection();
    Singleton<MyLog>::Instance()->Write(INFO, "mox-db uninit");
}

bool CMoxDb::initCache() {
    m_pCache.reset(new (std::nothrow) CMoxCache());
    if (m_pCache == nullptr) {
        Singleton<MyLog>::Instance()->Write(ERROR, "init db cache failed,no memory");
        return false;
    }
    if (!m_pCache->Init()) {
        m_pCache.reset();
        Singleton<MyLog>::Instance()->Write(ERROR, "init db cache failed");
        return false;
    }
    return true;
}

bool CMoxDb::initDb() {
    // A failure here shows when the directory is opened.
    Utils::make_dirs(m_dbDir);
    if (!protectFiles()) return false;
    int rc = openConnection();
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) {
        // Kept for inspection; the registry fills again as the products and
        // the front UI register.
        closeConnection();
        const std::string aside = m_dbPath + ".corrupt-" + std::to_string(time(nullptr));
        if (rename(m_dbPath.c_str(), aside.c_str()) != 0) {
            Singleton<MyLog>::Instance()->Write(
                ERROR, "database %s cannot be read by SQLite and cannot be renamed to %s: %s",
                m_dbPath.c_str(), aside.c_str(), strerror(errno));
            return false;
        }
        // A journal or log left beside it belongs to the unreadable file.
        for (const char *suffix : {"-journal", "-wal", "-shm"})
            rename((m_dbPath + suffix).c_str(), (aside + suffix).c_str());
        Singleton<MyLog>::Instance()->Write(
            ERROR, "database %s cannot be read by SQLite,renamed to %s,a new one created",
            m_dbPath.c_str(), aside.c_str());
        if (!protectFiles()) return false;
        rc = openConnection();
        if (rc != 0) {
            closeConnection();
            return false;
        }
    }
    // Any other failure of the schema (a file locked by another process):
    // the start goes on with whatever tables exist, and each later
    // statement reports its own failure.
    return m_pDb != nullptr;
}

// SQLite opens the files by their paths itself (never through a link, with
// SQLITE_OPEN_NOFOLLOW) and would create the database 0644 less the umask
// (the daemon runs with umask 0); it gives a journal the mode of its
// database file. So before it does, each file is opened here once, in a
// directory others may not write, without following a link, and must be a
// regular file of our own: then what SQLite finds at those paths is what
// was checked, since no one else may change the directory.
bool CMoxDb::protectFiles() {
    MyLog *log = Singleton<MyLog>::Instance();
    std::string why;
    int dirfd = state_dir_open(m_dbDir, &why);
    if (dirfd < 0) {
        log->Write(ERROR, "cannot use the database directory %s", why.c_str());
        return false;
    }
    const std::string base = path_base(m_dbPath);
    bool ok = true;
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) {
        const std::string name = base + suffix;
        // The database itself is created when missing; a journal only
        // looked at.
        const bool db = *suffix == '\0';
        int fd = state_file_open(dirfd, name.c_str(), db ? O_RDWR | O_CREAT : O_RDONLY,
                                 kPrivateFileMode, &why);
        if (fd < 0) {
            if (!db && errno == ENOENT) continue;
            log->Write(ERROR, "database file %s/%s refused: %s", m_dbDir.c_str(), name.c_str(),
                       why.c_str());
            ok = false;
            break;
        }
        mode_t was = 0, now = 0;
        if (private_file_narrow(fd, &was, &now) == 1)
            log->Write(INFO, "database file %s/%s had mode %04o,narrowed to %04o", m_dbDir.c_str(),
                       name.c_str(), static_cast<unsigned>(was), static_cast<unsigned>(now));
        close(fd);
    }
    close(dirfd);
    return ok;
}

void CMoxDb::loadDb() {
    MyLog *log = Singleton<MyLog>::Instance();

    loadFrontUuids();
    CFrontUIInfo front;
    if (getFromDb(front)) {
        log->Write(INFO, "load FrontUI for %s", front.uuid.c_str());
        MoxResult rc = m_pCache->doUpgrade(front);
        log->Write(INFO, "upgrade FrontUI cache for %s,rc: %d", front.uuid.c_str(), rc);
    } else {
        log->Write(INFO, "there is no frontUI info");
    }

    CSecSoftInfo def;
    def.uuid = kDefSecSoftUuid;
    if (getFromDb(def)) {
        log->Write(INFO, "load Default-SecSoft from DB for %s", def.uuid.c_str());
        // Its row's status is its mark.
        m_pCache->LoadDefSecSoft(def);
        log->Write(INFO, "upgrade Default-SecSoft cache for %s,rc: %d", def.uuid.c_str(), kMoxOk);
    } else {
        log->Write(INFO, "there is no Default-SecSoft in DB");
    }

    loadCurrentSecSoft();
}

void CMoxDb::loadCurrentSecSoft() {
    MyLog *log = Singleton<MyLog>::Instance();
    std::string uuid;
    const int recorded = readCurrent(uuid);
    CSecSoftInfo other;
    bool found = false;
    if (recorded == 1) {
        // An empty uuid names no product (a file from a build that took
        // one): never a read of whichever row comes first.
        if (uuid != kDefSecSoftUuid && !uuid.empty()) {
            other.uuid = uuid;
            found = getFromDb(other);
            if (!found) log->Write(INFO, "current SecSoft %s has no row", uuid.c_str());
        }
    } else {
        // No record of it (a file from before it was kept, or unreadable):
        // a default product told to start means that no other was current
        // when the daemon stopped; otherwise the oldest other row, as ever.
        CSecSoftInfo def;
        const bool started = m_pCache->GetDefSecSoft(def) == kMoxOk && def.status == 2;
        other.uuid = kDefSecSoftUuid;
        found = !started && getSecSoftInfo(other, " where uuid <> @uuid") > 0;
    }
    if (found) {
        log->Write(INFO, "load SecSoft for %s", other.uuid.c_str());
        MoxResult rc = m_pCache->doUpgrade(other);
        log->Write(INFO, "upgrade SecSoft cache for %s,rc: %d", other.uuid.c_str(), rc);
    } else {
        log->Write(INFO, "there is no SecSoft");
    }
    if (recorded == 0) writeCurrent(found ? other.uuid : std::string(kDefSecSoftUuid));
}

template <typename T>
MoxResult CMoxDb::doUpgrade(const T &r) {
    MyLog *log = Singleton<MyLog>::Instance();
    CMutexGuard writing(m_writeLock);
    if (!admitted(r)) {
        log->Write(DEBUG, "frontUI %s is not the current one,nothing stored", r.uuid.c_str());
        return kMoxNotCurrent;
    }
    auto entry = CMoxCache::Copy(r);
    if (entry == nullptr) {
        log->Write(ERROR, "Upgrade %s failed,rc: %d", "cache", kMoxNoMemory);
        return kMoxNoMemory;
    }
    if constexpr (std::is_same_v<T, CSecSoftInfo>) {
        // The default product's own writes never move its mark but the
        // first, which installs it.
        if (entry->uuid == kDefSecSoftUuid) entry->status = m_pCache->DefMarkAfter(*entry);
    }
    if constexpr (std::is_same_v<T, CSecStatInfo>) {
        // The same text again changes nothing: no write, no commit.
        const int held = m_pCache->SecStatHeld(*entry);
        if (held != 0) return held == 1 ? kMoxOk : kMoxDbOnly;
    }
    return writeOp([&]() -> MoxResult {
        MoxResult db = upgradeDb(*entry);
        if (db != kMoxOk) {
            log->Write(ERROR, "Upgrade %s failed,rc: %d", "db", db);
            return db;
        }
        if (m_pCache->Take(std::move(entry)) == kMoxOtherEntry) {
            log->Write(INFO, "just upgrade database success,no update cache");
            return kMoxDbOnly;
        }
        if (!afterUpgrade(r)) return kMoxFailed;
        return kMoxOk;
    });
}

// Only the current front UI writes: a registration or configuration of
// another one would be answered as a failure, yet grow the file and, after
// a restart, could take the current one's place. While none is current the
// first to register becomes it.
bool CMoxDb::admitted(const CFrontUIInfo &r) {
    std::string cur;
    return !currentFrontUI(&cur) || cur == r.uuid;
}

// With no current front UI at all the update finds no row (-4); once the
// current one was forgotten, its row waits for it to register again.
bool CMoxDb::admitted(const CFrontUIConf &c) {
    std::string cur;
    if (!currentFrontUI(&cur)) return !m_frontVacant;
    return cur == c.uuid;
}

bool CMoxDb::currentFrontUI(std::string *uuid) {
    CFrontUIInfo cur;
    if (doGet(cur) != kMoxOk) return false;
    *uuid = cur.uuid;
    return true;
}

// A front UI that the cache took without a previous record (first one after
// start or after its removal) must still answer with the configuration its
// row kept.
bool CMoxDb::afterUpgrade(const CFrontUIInfo &r) {
    m_frontVacant = false;
    trimFrontUIs(r);
    if (!r.data.empty() || !m_pCache->FrontUIConfMissing(r.uuid)) return true;
    CFrontUIConf conf;
    conf.uuid = r.uuid;
    if (getFromDb(conf) && !conf.data.empty()) m_pCache->FillFrontUIConf(conf);
    return true;
}

// Likewise a product that takes over from the default record keeps the
// status text its row kept.
bool CMoxDb::afterUpgrade(const CSecSoftInfo &r) {
    if (r.uuid != kDefSecSoftUuid && !writeCurrent(r.uuid)) return false;
    if (!r.secstat.empty() || !m_pCache->SecStatMissing(r.uuid)) return true;
    CSecStatInfo stat;
    stat.uuid = r.uuid;
    if (getFromDb(stat) && !stat.secstat.empty()) m_pCache->FillSecStat(stat);
    return true;
}

template <typename T>
MoxResult CMoxDb::doGet(T &r) {
    MoxResult rc = m_pCache->doGet(r);
    if (rc != kMoxNotFound) return rc;
    // What the cache takes from the file must not overtake a write.
    CMutexGuard writing(m_writeLock);
    if constexpr (std::is_same_v<T, CFrontUIInfo>) {
        if (m_frontVacant) return rc;
    }
    if (!getFromDb(r)) return rc;
    if constexpr (std::is_same_v<T, CSecSoftInfo>) {
        // The default row: its status is its mark.
        if (r.uuid == kDefSecSoftUuid) {
            m_pCache->LoadDefSecSoft(r);
            return m_pCache->doGet(r);
        }
    }
    m_pCache->doUpgrade(r);
    return kMoxOk;
}

template <typename T>
MoxResult CMoxDb::Upgrade(const T &r) {
    return StoreOp(m_pCache.get(), "Upgrade", [&] { return doUpgrade(r); });
}

template <typename T>
MoxResult CMoxDb::Get(T &r) {
    return StoreOp(m_pCache.get(), "Get", [&] { return doGet(r); });
}

template MoxResult CMoxDb::Upgrade(const CFrontUIInfo &);
template MoxResult CMoxDb::Upgrade(const CFrontUIConf &);
template MoxResult CMoxDb::Upgrade(const CSecSoftInfo &);
template MoxResult CMoxDb::Upgrade(const CSecStatInfo &);
template MoxResult CMoxDb::Get(CFrontUIInfo &);
template MoxResult CMoxDb::Get(CFrontUIConf &);
template MoxResult CMoxDb::Get(CSecSoftInfo &);
template MoxResult CMoxDb::Get(CSecStatInfo &);

bool CMoxDb::FrontUIValid(const std::string &uuid) {
    return StoreOp(m_pCache.get(), "FrontUIValid", [&] {
        if (m_pCache->FrontUIValid(uuid)) return true;
        CMutexGuard writing(m_writeLock);
        if (!m_frontKnown) loadFrontUuids();
        return m_frontKnown && m_frontUuids.count(uuid) != 0;
    });
}

bool CMoxDb::SecSoftValid(const std::string &uuid) {
    return StoreOp(m_pCache.get(), "SecSoftValid", [&] {
        return m_pCache->SecSoftValid(uuid) || isExist(uuid, "t_secsoft", "secSoft");
    });
}

MoxResult CMoxDb::CleanFrontUI(const std::string &uuid) {
    return StoreOp(m_pCache.get(), "CleanFrontUI", [&] {
        CMutexGuard writing(m_writeLock);
        return writeOp([&] {
            MoxResult rc = delFromDb(uuid, "t_frontui", "CleanFrontUI");
            // Gone from the file (or never there): gone from memory too.
            if (rc != kMoxFailed) {
                noteFrontUuid(uuid, false);
                m_pCache->DelFrontUI(uuid);
            }
            return rc;
        });
    });
}

MoxResult CMoxDb::CleanSecInfo(const std::string &uuid) {
    return StoreOp(m_pCache.get(), "CleanSecInfo", [&] {
        CMutexGuard writing(m_writeLock);
        return writeOp([&] {
            MoxResult rc = delFromDb(uuid, "t_secsoft", "CleanSecInfo");
            if (rc == kMoxFailed) return rc;
            if (delFromDb(uuid, "t_product_state", "CleanSecInfo") == kMoxFailed ||
                delFromDb(uuid, "t_product_owner", "CleanSecInfo") == kMoxFailed)
                return kMoxFailed;
            if (uuid != kDefSecSoftUuid && m_pCache->CurrentSecSoftUuid() == uuid &&
                !writeCurrent(kDefSecSoftUuid))
                return kMoxFailed;
            // Only a row that was there uninstalls the default product.
            if (uuid != kDefSecSoftUuid || rc == kMoxOk) m_pCache->DelSecInfo(uuid);
            m_reports.erase(uuid);
            return rc;
        });
    });
}

MoxResult CMoxDb::GetDefSecSoft(CSecSoftInfo &out) {
    return StoreOp(m_pCache.get(), "GetDefSecSoft", [&] { return m_pCache->GetDefSecSoft(out); });
}

MoxResult CMoxDb::SetDefSecSoft(const CSecSoftInfo &r) {
    return StoreOp(m_pCache.get(), "SetDefSecSoft", [&] {
        // The record and its row are always the default product's, whatever
        // uuid r carries.
        CMutexGuard writing(m_writeLock);
        auto def = CMoxCache::Copy(r);
        if (def == nullptr) return kMoxNoMemory;
        def->uuid = kDefSecSoftUuid;
        return writeOp([&] {
            MoxResult rc = upgradeDb(*def);
            if (rc == kMoxOk) m_pCache->TakeDefSecSoft(std::move(def));
            return rc;
        });
    });
}

MoxResult CMoxDb::ReplaceFrontUI(const CFrontUIInfo &r, CFrontUIInfo *replaced) {
    replaced->uuid.clear();
    return StoreOp(m_pCache.get(), "ReplaceFrontUI", [&] {
        CMutexGuard writing(m_writeLock);
        CFrontUIInfo cur;
        if (doGet(cur) != kMoxOk || cur.uuid == r.uuid) return doUpgrade(r);
        auto entry = CMoxCache::Copy(r);
        if (entry == nullptr) return kMoxNoMemory;
        return writeOp([&] {
            MoxResult db = upgradeDb(*entry);
            if (db != kMoxOk) {
                Singleton<MyLog>::Instance()->Write(ERROR, "Upgrade %s failed,rc: %d", "db", db);
                return db;
            }
            // Under the write lock nothing else takes the place in between.
            m_pCache->DelFrontUI(cur.uuid);
            m_pCache->Take(std::move(entry));
            afterUpgrade(r);
            cur.data.clear();
            *replaced = std::move(cur);
            return kMoxOk;
        });
    });
}

MoxResult CMoxDb::ForgetFrontUI(const std::string &uuid) {
    return StoreOp(m_pCache.get(), "ForgetFrontUI", [&] {
        CMutexGuard writing(m_writeLock);
        MoxResult rc = m_pCache->DelFrontUI(uuid);
        if (rc == kMoxOk) m_frontVacant = true;
        return rc;
    });
}

std::string CMoxDb::CurrentSecSoft() {
    if (m_pCache == nullptr) return kDefSecSoftUuid;
    return m_pCache->CurrentSecSoftUuid();
}

MoxResult CMoxDb::ListSecSofts(std::vector<CSecSoftInfo> &out) {
    return StoreOp(m_pCache.get(), "ListSecSofts", [&] { return listSecSofts(out); });
}

MoxResult CMoxDb::GetSecSoftState(CSecSoftState &state) {
    return StoreOp(m_pCache.get(), "GetSecSoftState", [&] {
        MoxResult rc = getSecSoftState(state);
        if (rc == kMoxFailed) return rc;
        // The time kept in memory is the newer one.
        CMutexGuard writing(m_writeLock);
        auto it = m_reports.find(state.uuid);
        if (it != m_reports.end()) {
            state.reported_since_start = it->second.since_start;
            if (it->second.at > state.last_report) {
                state.last_report = it->second.at;
                rc = kMoxOk;
            }
        }
        return rc;
    });
}

MoxResult CMoxDb::MarkSecSoftStarted(const std::string &uuid) {
    return StoreOp(m_pCache.get(), "MarkSecSoftStarted", [&] {
        CMutexGuard writing(m_writeLock);
        m_reports[uuid].since_start = false;
        return kMoxOk;
    });
}

MoxResult CMoxDb::GetSecSoftOwner(CSecSoftOwner &owner) {
    return StoreOp(m_pCache.get(), "GetSecSoftOwner", [&] { return getSecSoftOwner(owner); });
}

MoxResult CMoxDb::SetSecSoftOwner(const CSecSoftOwner &owner) {
    return StoreOp(m_pCache.get(), "SetSecSoftOwner", [&] {
        CMutexGuard writing(m_writeLock);
        return writeOp([&] { return setSecSoftOwner(owner); });
    });
}

MoxResult CMoxDb::SetSecSoftLiveness(const std::string &uuid, bool watched, int alive) {
    return StoreOp(m_pCache.get(), "SetSecSoftLiveness", [&] {
        CMutexGuard writing(m_writeLock);
        return writeOp([&] { return setSecSoftLiveness(uuid, watched, alive); });
    });
}

namespace {

long long MonotonicSeconds() {
    return vk_clock_now_ms() / 1000;
}

}  // namespace

MoxResult CMoxDb::RecordSecStatReport(const std::string &uuid) {
    return StoreOp(m_pCache.get(), "RecordSecStatReport", [&] {
        CMutexGuard writing(m_writeLock);
        Report &rep = m_reports[uuid];
        rep.at = static_cast<int64_t>(time(nullptr));
        rep.dirty = true;
        rep.since_start = true;
        // Written once a minute at most: a report that changes nothing else
        // costs no commit, and one that does costs no second page.
        const bool due = rep.written < 0 || MonotonicSeconds() - rep.written >= kReportWriteSeconds;
        if (!due) return kMoxOk;
        return writeOp([&] { return writeReport(uuid, rep); });
    });
}

MoxResult CMoxDb::writeReport(const std::string &uuid, Report &rep) {
    MoxResult rc = recordSecStatReport(uuid, rep.at);
    if (rc == kMoxOk) {
        rep.dirty = false;
        rep.written = MonotonicSeconds();
    }
    return rc;
}

void CMoxDb::flushReports(bool all) {
    const long long now = MonotonicSeconds();
    for (auto &entry : m_reports) {
        Report &rep = entry.second;
        if (!rep.dirty || (!all && rep.written >= 0 && now - rep.written < kReportWriteSeconds))
            continue;
        // Lost only in memory's favour: the time stays dirty for the next try.
        if (m_txOpen)
            writeReport(entry.first, rep);
        else
            writeOp([&] { return writeReport(entry.first, rep); });
    }
}

// ---- transactions -------------------------------------------------------

void CMoxDb::saveMemory(Memory &out) {
    m_pCache->Save(out.cache);
    out.frontVacant = m_frontVacant;
    out.reports = m_reports;
}

void CMoxDb::restoreMemory(Memory &in) noexcept {
    m_pCache->Restore(in.cache);
    m_frontVacant = in.frontVacant;
    m_reports.swap(in.reports);
    // Which rows the file holds is the file's to say again.
    dropFrontUuids();
}

bool CMoxDb::txLost() {
    if (!m_txOpen || m_pDb == nullptr || sqlite3_get_autocommit(m_pDb->getHandle()) == 0)
        return false;
    Singleton<MyLog>::Instance()->Write(
        ERROR, "the transaction of %s was rolled back by the database,its changes are undone",
        m_dbPath.c_str());
    m_txOpen = false;
    m_passLost = true;
    m_inRequest = m_reqSaved = false;
    restoreMemory(m_passMem);
    return true;
}

bool CMoxDb::openWrite() {
    MyLog *log = Singleton<MyLog>::Instance();
    if (!m_txOpen) {
        if (!ensureFile()) return false;
        // The open connection would still write a file that its path no
        // longer lets anyone write (a read-only mount): refused instead.
        if (access(m_dbPath.c_str(), W_OK) != 0) {
            log->Write(ERROR, "database %s cannot be written,because: %s", m_dbPath.c_str(),
                       strerror(errno));
            return false;
        }
        saveMemory(m_passMem);
        try {
            m_pDb->exec("BEGIN");
        } catch (const SQLite::Exception &e) {
            log->Write(ERROR, "begin transaction failed,because: %s", e.what());
            return false;
        }
        m_txOpen = true;
    }
    const char *name = m_inRequest ? "request" : "write";
    if (m_inRequest && m_reqSaved) return true;
    Memory &mem = m_inRequest ? m_reqMem : m_opMem;
    saveMemory(mem);
    try {
        m_pDb->exec(m_inRequest ? "SAVEPOINT request" : "SAVEPOINT write");
    } catch (const SQLite::Exception &e) {
        log->Write(ERROR, "begin savepoint %s failed,because: %s", name, e.what());
        return false;
    }
    if (m_inRequest) m_reqSaved = true;
    return true;
}

bool CMoxDb::finishSavepoint(const char *name, bool undo, Memory &mem) {
    if (txLost()) return false;
    const std::string n(name);
    try {
        if (undo) m_pDb->exec("ROLLBACK TO " + n);
        m_pDb->exec("RELEASE " + n);
    } catch (const SQLite::Exception &e) {
        Singleton<MyLog>::Instance()->Write(ERROR, "end savepoint %s failed,because: %s", name,
                                            e.what());
        if (txLost()) return false;
    }
    if (undo) restoreMemory(mem);
    return true;
}

template <typename F>
MoxResult CMoxDb::writeOp(F &&fn) {
    if (!openWrite()) return kMoxFailed;
    MoxResult rc;
    try {
        rc = fn();
    } catch (...) {
        if (m_inRequest)
            m_reqFailed = true;
        else
            finishSavepoint("write", true, m_opMem);
        throw;
    }
    return closeWrite(rc);
}

MoxResult CMoxDb::closeWrite(MoxResult rc) {
    const bool failed = rc == kMoxFailed || rc == kMoxNoMemory;
    if (m_inRequest) {
        if (failed)
            m_reqFailed = true;
        else
            m_reqWrote = true;
        if (txLost()) return kMoxFailed;
        return rc;
    }
    if (!finishSavepoint("write", failed, m_opMem)) return kMoxFailed;
    if (!m_groupCommit && !commitTx()) return kMoxFailed;
    return rc;
}

bool CMoxDb::commitTx() {
    if (!m_txOpen) return true;
    // Report times a minute old ride along: no commit of their own.
    flushReports(false);
    try {
        m_pDb->exec("COMMIT");
        m_txOpen = false;
        return true;
    } catch (const SQLite::Exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "commit to %s failed,because: %s,its changes are undone", m_dbPath.c_str(),
            e.what());
    }
    try {
        if (sqlite3_get_autocommit(m_pDb->getHandle()) == 0) m_pDb->exec("ROLLBACK");
    } catch (const SQLite::Exception &) {
    }
    m_txOpen = false;
    restoreMemory(m_passMem);
    return false;
}

void CMoxDb::BeginRequest() {
    if (m_pCache == nullptr) return;
    CMutexGuard writing(m_writeLock);
    m_inRequest = true;
    m_reqSaved = m_reqFailed = m_reqWrote = false;
}

MoxResult CMoxDb::EndRequest() {
    if (m_pCache == nullptr) return kMoxNotFound;
    return StoreOp(m_pCache.get(), "EndRequest", [&] {
        CMutexGuard writing(m_writeLock);
        const bool failed = m_reqFailed;
        const bool wrote = m_reqWrote || m_reqSaved;
        bool kept = true;
        if (m_reqSaved) kept = finishSavepoint("request", failed, m_reqMem);
        m_inRequest = m_reqSaved = m_reqFailed = m_reqWrote = false;
        if (!m_groupCommit && !commitTx()) kept = false;
        if (failed || !kept) return kMoxFailed;
        return wrote ? kMoxOk : kMoxNotFound;
    });
}

void CMoxDb::SetGroupCommit(bool on) {
    if (m_pCache == nullptr) {
        m_groupCommit = on;
        return;
    }
    CMutexGuard writing(m_writeLock);
    m_groupCommit = on;
    if (!on) commitTx();
}

bool CMoxDb::CommitPass() {
    if (m_pCache == nullptr) return true;
    return StoreOp(m_pCache.get(), "CommitPass", [&] {
        CMutexGuard writing(m_writeLock);
        const bool lost = m_passLost;
        m_passLost = false;
        return commitTx() && !lost;
    });
}

int MoxDbInit() {
    try {
        if (!Singleton<CMoxDb>::Instance()->Init()) return -1;
        Singleton<MyLog>::Instance()->Write(INFO, "MoxDb init ok");
    } catch (...) {
        return -1;
    }
    return 0;
}

void MoxDbUninit() {
    try {
        Singleton<CMoxDb>::Instance()->Uninit();
        Singleton<MyLog>::Instance()->Write(INFO, "MoxDb uninit");
    } catch (...) {
    }
}
