// Life cycle of the store and the operations the request handlers call.
// Exceptions stop at the public operations below; statements and the cache
// are reached only through them.
#include "db/moxdb.h"

#include <errno.h>
#include <sys/stat.h>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>

#include <new>
#include <type_traits>
#include <utility>

#include "daemon/paths.h"
#include "daemon/utils.h"
#include "db/sqlite3db.h"
#include "log/mylog.h"

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
}

CMoxDb::~CMoxDb() {
    delete m_pCache;
    delete m_pDb;
    if (m_dbLockRc == 0) pthread_mutex_destroy(&m_dbLock);
}

bool CMoxDb::Init() {
    if (m_pCache != nullptr || m_pDb != nullptr) Uninit();
    if (m_dbLockRc != 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "init db lock failed,rc: %d", m_dbLockRc);
        return false;
    }
    try {
        m_dbDir = vk_paths::File(vk_paths::kDbDir);
        m_dbPath = vk_paths::File(vk_paths::kDbFile);
    } catch (const std::exception &) {
        return false;
    }
    if (!initCache()) return false;
    if (!initDb()) {
        delete m_pCache;
        m_pCache = nullptr;
        return false;
    }
    loadDb();
    Singleton<MyLog>::Instance()->Write(INFO, "mox-db init ok");
    return true;
}

void CMoxDb::Uninit() {
    delete m_pCache;
    m_pCache = nullptr;
    delete m_pDb;
    m_pDb = nullptr;
    Singleton<MyLog>::Instance()->Write(INFO, "mox-db uninit");
}

bool CMoxDb::initCache() {
    m_pCache = new (std::nothrow) CMoxCache();
    if (m_pCache == nullptr) {
        Singleton<MyLog>::Instance()->Write(ERROR, "init db cache failed,no memory");
        return false;
    }
    if (!m_pCache->Init()) {
        delete m_pCache;
        m_pCache = nullptr;
        Singleton<MyLog>::Instance()->Write(ERROR, "init db cache failed");
        return false;
    }
    return true;
}

bool CMoxDb::initDb() {
    static const char kSchema[] =
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
        "PRIMARY KEY(uuid));";

    // A failure here shows when the file is opened.
    Utils::make_dirs(m_dbDir);
    try {
        m_pDb = new (std::nothrow)
            SQLite::Database(m_dbPath, Sqlite3DB::GetOpenMode(), Sqlite3DB::kBusyTimeoutMs);
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(ERROR, "open db %s failed,because: %s",
                                            m_dbPath.c_str(), e.what());
        return false;
    }
    if (m_pDb == nullptr) {
        Singleton<MyLog>::Instance()->Write(ERROR, "create sqlite3 db failed,no memory");
        return false;
    }
    if (execSql(kSchema)) return true;
    delete m_pDb;
    m_pDb = nullptr;
    return false;
}

bool CMoxDb::execSql(const char *text) {
    try {
        return m_pDb->exec(text) >= 0;
    } catch (const std::exception &e) {
        // The start goes on with whatever tables exist; each later statement
        // reports its own failure.
        Singleton<MyLog>::Instance()->Write(ERROR, "failed to exec sql: %s,because: %s", text,
                                            e.what());
        return true;
    }
}

void CMoxDb::loadDb() {
    MyLog *log = Singleton<MyLog>::Instance();

    CFrontUIInfo front;
    if (getFromDb(front)) {
        log->Write(INFO, "load FrontUI for %s", front.uuid.c_str());
        int rc = m_pCache->doUpgrade(front);
        log->Write(INFO, "upgrade FrontUI cache for %s,rc: %d", front.uuid.c_str(), rc);
    } else {
        log->Write(INFO, "there is no frontUI info");
    }

    CSecSoftInfo def;
    def.uuid = kDefSecSoftUuid;
    if (getFromDb(def)) {
        log->Write(INFO, "load Default-SecSoft from DB for %s", def.uuid.c_str());
        int rc = m_pCache->doUpgrade(def);
        log->Write(INFO, "upgrade Default-SecSoft cache for %s,rc: %d", def.uuid.c_str(), rc);
    } else {
        log->Write(INFO, "there is no Default-SecSoft in DB");
    }

    CSecSoftInfo other;
    other.uuid = kDefSecSoftUuid;
    if (getSecSoftInfo(other, " where uuid <> @uuid") > 0) {
        log->Write(INFO, "load SecSoft for %s", other.uuid.c_str());
        int rc = m_pCache->doUpgrade(other);
        log->Write(INFO, "upgrade SecSoft cache for %s,rc: %d", other.uuid.c_str(), rc);
    } else {
        log->Write(INFO, "there is no SecSoft");
    }
}

template <typename T>
int CMoxDb::doUpgrade(const T &r) {
    MyLog *log = Singleton<MyLog>::Instance();
    int rc = m_pCache->doUpgrade(r);
    if (rc != kMoxOk && rc != kMoxOtherEntry) {
        log->Write(ERROR, "Upgrade %s failed,rc: %d", "cache", rc);
        return rc;
    }
    int db = upgradeDb(r);
    if (db == kMoxOk && rc == kMoxOtherEntry) {
        log->Write(INFO, "just upgrade database success,no update cache");
        return kMoxDbOnly;
    }
    if (db != kMoxOk) {
        log->Write(ERROR, "Upgrade %s failed,rc: %d", "db", db);
        return db;
    }
    afterUpgrade(r);
    return kMoxOk;
}

// A front UI that the cache took without a previous record (first one after
// start or after its removal) must still answer with the configuration its
// row kept.
void CMoxDb::afterUpgrade(const CFrontUIInfo &r) {
    if (!r.data.empty() || !m_pCache->FrontUIConfMissing(r.uuid)) return;
    CFrontUIConf conf;
    conf.uuid = r.uuid;
    if (getFromDb(conf) && !conf.data.empty()) m_pCache->FillFrontUIConf(conf);
}

template <typename T>
int CMoxDb::doGet(T &r) {
    int rc = m_pCache->doGet(r);
    if (rc == kMoxNotFound && getFromDb(r)) {
        m_pCache->doUpgrade(r);
        return kMoxOk;
    }
    return rc;
}

template <typename T>
int CMoxDb::Upgrade(const T &r) {
    return StoreOp(m_pCache, "Upgrade", [&] { return doUpgrade(r); });
}

template <typename T>
int CMoxDb::Get(T &r) {
    return StoreOp(m_pCache, "Get", [&] { return doGet(r); });
}

template int CMoxDb::Upgrade(const CFrontUIInfo &);
template int CMoxDb::Upgrade(const CFrontUIConf &);
template int CMoxDb::Upgrade(const CSecSoftInfo &);
template int CMoxDb::Upgrade(const CSecStatInfo &);
template int CMoxDb::Get(CFrontUIInfo &);
template int CMoxDb::Get(CFrontUIConf &);
template int CMoxDb::Get(CSecSoftInfo &);
template int CMoxDb::Get(CSecStatInfo &);

bool CMoxDb::FrontUIValid(const std::string &uuid) {
    return StoreOp(m_pCache, "FrontUIValid", [&] {
        return m_pCache->FrontUIValid(uuid) || isExist(uuid, "t_frontui", "frontUI");
    });
}

bool CMoxDb::SecSoftValid(const std::string &uuid) {
    return StoreOp(m_pCache, "SecSoftValid", [&] {
        return m_pCache->SecSoftValid(uuid) || isExist(uuid, "t_secsoft", "secSoft");
    });
}

int CMoxDb::CleanFrontUI(const std::string &uuid) {
    return StoreOp(m_pCache, "CleanFrontUI", [&] {
        m_pCache->DelFrontUI(uuid);
        return delFromDb(uuid, "t_frontui", "CleanFrontUI");
    });
}

int CMoxDb::CleanSecInfo(const std::string &uuid) {
    return StoreOp(m_pCache, "CleanSecInfo", [&] {
        m_pCache->DelSecInfo(uuid);
        return delFromDb(uuid, "t_secsoft", "CleanSecInfo");
    });
}

int CMoxDb::GetDefSecSoft(CSecSoftInfo &out) {
    return StoreOp(m_pCache, "GetDefSecSoft", [&] { return m_pCache->GetDefSecSoft(out); });
}

int CMoxDb::SetDefSecSoft(const CSecSoftInfo &r) {
    return StoreOp(m_pCache, "SetDefSecSoft", [&] {
        // The record and its row are always the default product's, whatever
        // uuid r carries.
        CSecSoftInfo def = r;
        def.uuid = kDefSecSoftUuid;
        int rc = m_pCache->SetDefSecSoft(def);
        return rc != kMoxOk ? rc : upgradeDb(def);
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
