// The registry's SQL statements. Each one composes its text in a 512-byte
// buffer, takes the statement prepared for that text on the store's one
// connection under m_dbLock (prepared the first time), binds its named
// parameters and runs (moxdb_tables.cpp). A failure is logged with the statement and the
// library's text, and mapped to the statement's failure result; only a
// statement that found its tables lost is run again, once.
//
// Text is bound with its length and read back with the length SQLite
// reports, so zero bytes survive; a NULL text column reads back as "".
#include <SQLiteCpp/Column.h>
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>

#include <cstdio>
#include <unordered_set>

#include "db/moxdb.h"
#include "log/mylog.h"

namespace {

constexpr const char *kFrontTable = "t_frontui";
constexpr const char *kSecTable = "t_secsoft";
constexpr const char *kByUuid = " where uuid=@uuid";

std::string getStrField(const SQLite::Column &col) {
    if (col.isNull()) return std::string();
    const char *text = col.getText();
    return std::string(text, static_cast<size_t>(col.getBytes()));
}

}  // namespace

MoxResult CMoxDb::upgradeDb(const CFrontUIInfo &r) {
    char sql[512] = {0};
    snprintf(sql, sizeof(sql),
             "replace into %s (uuid,name,pid,euid,loginuid,data) "
             "values(@uuid,@name,@pid,@euid,@loginuid,(%s))",
             kFrontTable, "select data from t_frontui where uuid=@uuid");
    try {
        int changed = execWrite(sql, [&](SQLite::Statement &st) {
            st.bind("@uuid", r.uuid);
            st.bind("@name", r.name);
            st.bind("@pid", r.pid);
            st.bind("@euid", r.euid);
            st.bind("@loginuid", r.loginuid);
        });
        if (changed <= 0) return kMoxFailed;
        noteFrontUuid(r.uuid, true);
        return kMoxOk;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "upgrade frontUI: failed to execute sql:%s,because: %s", sql, e.what());
        return kMoxFailed;
    }
}

// However rows of one euid pile up (kept by an older build, or taken while
// no front UI was current), only the newest stay: the registering front UI
// is always among them, so a user's own front UI is never locked out by
// its stale rows, and another euid's rows are never touched.
void CMoxDb::trimFrontUIs(const CFrontUIInfo &r) {
    char sql[512] = {0};
    snprintf(sql, sizeof(sql),
             "delete from %s where euid=@euid and uuid<>@uuid and rowid not in "
             "(select rowid from %s where euid=@euid and uuid<>@uuid "
             "order by timestamp desc,rowid desc limit @keep)",
             kFrontTable, kFrontTable);
    try {
        int removed = execWrite(sql, [&](SQLite::Statement &st) {
            st.bind("@euid", r.euid);
            st.bind("@uuid", r.uuid);
            st.bind("@keep", kMaxFrontUIsPerEuid - 1);
        });
        if (removed > 0) {
            Singleton<MyLog>::Instance()->Write(INFO, "removed %d older frontUI rows of euid: %d",
                                                removed, r.euid);
            // Which rows went is the file's to say.
            loadFrontUuids();
        }
    } catch (const std::exception &e) {
        // The next registration of this euid tries again.
        Singleton<MyLog>::Instance()->Write(
            ERROR, "trim frontUI: failed to execute sql:%s,because: %s", sql, e.what());
    }
}

MoxResult CMoxDb::upgradeDb(const CFrontUIConf &c) {
    char sql[512] = {0};
    snprintf(sql, sizeof(sql), "update %s set data=@fuiconf where uuid=@uuid", kFrontTable);
    try {
        int changed = execWrite(sql, [&](SQLite::Statement &st) {
            st.bind("@uuid", c.uuid);
            st.bind("@fuiconf", c.data);
        });
        return changed > 0 ? kMoxOk : kMoxNotFound;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "upgrade fuiConf: failed to execute sql:%s,because: %s", sql, e.what());
        return kMoxFailed;
    }
}

MoxResult CMoxDb::upgradeDb(const CSecSoftInfo &r) {
    char sql[512] = {0};
    snprintf(sql, sizeof(sql),
             "replace into %s (uuid,name,exec,secsoft,secstat,status,ctime) "
             "values(@uuid,@name,@exec,@secsoft,(%s),@status,(%s))",
             kSecTable, "select secstat from t_secsoft where uuid=@uuid",
             "select ctime from t_secsoft where uuid=@uuid");
    try {
        int changed = execWrite(sql, [&](SQLite::Statement &st) {
            st.bind("@uuid", r.uuid);
            st.bind("@name", r.name);
            st.bind("@exec", r.exec);
            st.bind("@secsoft", r.secsoft);
            st.bind("@status", r.status);
        });
        return changed > 0 ? kMoxOk : kMoxFailed;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "upgrade secsoft: failed to execute sql:%s,because: %s", sql, e.what());
        return kMoxFailed;
    }
}

MoxResult CMoxDb::upgradeDb(const CSecStatInfo &s) {
    char sql[512] = {0};
    snprintf(sql, sizeof(sql), "update %s set secstat=@secstat where uuid=@uuid", kSecTable);
    try {
        int changed = execWrite(sql, [&](SQLite::Statement &st) {
            st.bind("@uuid", s.uuid);
            st.bind("@secstat", s.secstat);
        });
        return changed > 0 ? kMoxOk : kMoxNotFound;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "upgrade secStat: failed to execute sql:%s,because: %s", sql, e.what());
        return kMoxFailed;
    }
}

MoxResult CMoxDb::delFromDb(const std::string &uuid, const char *table, const char *opname) {
    char sql[512] = {0};
    snprintf(sql, sizeof(sql), "delete from %s where uuid=@uuid", table);
    try {
        int changed = execWrite(sql, [&](SQLite::Statement &st) { st.bind("@uuid", uuid); });
        return changed > 0 ? kMoxOk : kMoxNotFound;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(ERROR, "delete %s failed fron table: %s,because: %s",
                                            opname, table, e.what());
        return kMoxFailed;
    }
}

// With an empty uuid the read yields the front UI registered most recently
// (the later of two in one second): only the current front UI's
// registrations are written, so that is the one that was current when the
// daemon stopped. The least recent could be a row that an older build
// stored for a refused registration, and would then take the current one's
// place at every start.
bool CMoxDb::getFromDb(CFrontUIInfo &r) {
    const bool byUuid = !r.uuid.empty();
    char sql[512] = {0};
    snprintf(sql, sizeof(sql), "select uuid,name,pid,euid,loginuid,data from %s %s order by %s",
             kFrontTable, byUuid ? kByUuid : "",
             byUuid ? "timestamp limit 1" : "timestamp desc,rowid desc limit 1");
    try {
        return execRead(
            sql,
            [&](SQLite::Statement &st) {
                if (byUuid) st.bind("@uuid", r.uuid);
            },
            [&](SQLite::Statement &st) {
                CFrontUIInfo row;
                row.uuid = getStrField(st.getColumn(0));
                row.name = getStrField(st.getColumn(1));
                row.pid = st.getColumn(2).getInt();
                row.euid = st.getColumn(3).getInt();
                row.loginuid = st.getColumn(4).getInt();
                row.data = getStrField(st.getColumn(5));
                r = std::move(row);
            });
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "get frontUIInfo failed fron db sql: %s,because: %s", sql, e.what());
        return false;
    }
}

// A configuration is only ever read for its own uuid, an empty one included:
// falling back to the oldest row would hand out another front UI's text.
bool CMoxDb::getFromDb(CFrontUIConf &c) {
    char sql[512] = {0};
    snprintf(sql, sizeof(sql), "select uuid,data from %s %s order by timestamp limit 1",
             kFrontTable, kByUuid);
    try {
        bool found = false;
        execRead(
            sql, [&](SQLite::Statement &st) { st.bind("@uuid", c.uuid); },
            [&](SQLite::Statement &st) {
                if (st.isColumnNull(1)) return;
                CFrontUIConf row;
                row.uuid = getStrField(st.getColumn(0));
                row.data = getStrField(st.getColumn(1));
                c = std::move(row);
                found = true;
            });
        return found;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "get frontUIConf failed fron db sql: %s,because: %s", sql, e.what());
        return false;
    }
}

int CMoxDb::getSecSoftInfo(CSecSoftInfo &r, const char *selector) {
    const bool bound = selector != nullptr && selector[0] != '\0';
    char sql[512] = {0};
    snprintf(sql, sizeof(sql),
             "select uuid,name,exec,secsoft,secstat,status from %s %s order by ctime limit 1",
             kSecTable, bound ? selector : "");
    try {
        bool found = execRead(
            sql,
            [&](SQLite::Statement &st) {
                if (bound) st.bind("@uuid", r.uuid);
            },
            [&](SQLite::Statement &st) {
                CSecSoftInfo row;
                row.uuid = getStrField(st.getColumn(0));
                row.name = getStrField(st.getColumn(1));
                row.exec = getStrField(st.getColumn(2));
                row.secsoft = getStrField(st.getColumn(3));
                row.secstat = getStrField(st.getColumn(4));
                row.status = st.getColumn(5).getInt();
                r = std::move(row);
            });
        return found ? 1 : 0;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "get secSoftInfo failed fron db sql: %s,because: %s", sql, e.what());
        return -1;
    }
}

// Always the row of its own uuid: an empty one names no product.
bool CMoxDb::getFromDb(CSecSoftInfo &r) {
    return getSecSoftInfo(r, kByUuid) == 1;
}

// As for configurations, a status is only read for its own uuid.
bool CMoxDb::getFromDb(CSecStatInfo &s) {
    char sql[512] = {0};
    snprintf(sql, sizeof(sql), "select uuid,secstat from %s %s order by ctime limit 1", kSecTable,
             kByUuid);
    try {
        bool found = false;
        execRead(
            sql, [&](SQLite::Statement &st) { st.bind("@uuid", s.uuid); },
            [&](SQLite::Statement &st) {
                if (st.isColumnNull(1)) return;
                CSecStatInfo row;
                row.uuid = getStrField(st.getColumn(0));
                row.secstat = getStrField(st.getColumn(1));
                s = std::move(row);
                found = true;
            });
        return found;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "get SecStatInfo failed fron db sql: %s,because: %s", sql, e.what());
        return false;
    }
}

void CMoxDb::loadFrontUuids() {
    const char *sql = "select uuid from t_frontui";
    try {
        std::unordered_set<std::string> uuids;
        execRead(
            sql, [](SQLite::Statement &) {},
            [&](SQLite::Statement &st) {
                do uuids.insert(getStrField(st.getColumn(0)));
                while (st.executeStep());
            });
        m_frontUuids.swap(uuids);
        m_frontKnown = true;
    } catch (const std::exception &e) {
        dropFrontUuids();
        Singleton<MyLog>::Instance()->Write(
            ERROR, "load frontUI uuids failed fron db sql: %s,because: %s", sql, e.what());
    }
}

void CMoxDb::loadFrontUuids(SQLite::Database &conn) {
    try {
        std::unordered_set<std::string> uuids;
        SQLite::Statement st(conn, "select uuid from t_frontui");
        while (st.executeStep()) uuids.insert(getStrField(st.getColumn(0)));
        m_frontUuids.swap(uuids);
        m_frontKnown = true;
    } catch (const std::exception &e) {
        dropFrontUuids();
        Singleton<MyLog>::Instance()->Write(ERROR, "load frontUI uuids failed,because: %s",
                                            e.what());
    }
}

void CMoxDb::noteFrontUuid(const std::string &uuid, bool stored) {
    if (!m_frontKnown) return;
    if (!stored) {
        m_frontUuids.erase(uuid);
        return;
    }
    try {
        m_frontUuids.insert(uuid);
    } catch (const std::exception &) {
        // Out of step with the file: read again at the next question.
        dropFrontUuids();
    }
}

void CMoxDb::dropFrontUuids() {
    m_frontUuids.clear();
    m_frontKnown = false;
}

bool CMoxDb::isExist(const std::string &uuid, const char *table, const char *what) {
    char sql[512] = {0};
    snprintf(sql, sizeof(sql), "select count(uuid) from %s where uuid=@uuid", table);
    try {
        int count = 0;
        execRead(
            sql, [&](SQLite::Statement &st) { st.bind("@uuid", uuid); },
            [&](SQLite::Statement &st) { count = st.getColumn(0).getInt(); });
        return count > 0;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(ERROR, "get %s failed fron db sql: %s,because: %s",
                                            what, sql, e.what());
        return false;
    }
}

int CMoxDb::readCurrent(std::string &uuid) {
    const char *sql = "select uuid from t_current where slot=1";
    try {
        bool found = execRead(
            sql, [](SQLite::Statement &) {},
            [&](SQLite::Statement &st) { uuid = getStrField(st.getColumn(0)); });
        return found ? 1 : 0;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "get current secSoft failed fron db sql: %s,because: %s", sql, e.what());
        return -1;
    }
}

bool CMoxDb::writeCurrent(const std::string &uuid) {
    const char *sql = "replace into t_current (slot,uuid) values(1,@uuid)";
    try {
        execWrite(sql, [&](SQLite::Statement &st) { st.bind("@uuid", uuid); });
        return true;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(ERROR, "record current secSoft %s failed,because: %s",
                                            uuid.c_str(), e.what());
        return false;
    }
}

MoxResult CMoxDb::listSecSofts(std::vector<CSecSoftInfo> &out) {
    const char *sql =
        "select uuid,name,exec,status from t_secsoft where uuid<>@uuid order by ctime";
    try {
        out.clear();
        execRead(
            sql, [](SQLite::Statement &st) { st.bind("@uuid", kDefSecSoftUuid); },
            [&](SQLite::Statement &st) {
                // The reader is handed the first row; the rest follow.
                do {
                    CSecSoftInfo row;
                    row.uuid = getStrField(st.getColumn(0));
                    row.name = getStrField(st.getColumn(1));
                    row.exec = getStrField(st.getColumn(2));
                    row.status = st.getColumn(3).getInt();
                    out.push_back(std::move(row));
                } while (st.executeStep());
            });
        return kMoxOk;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "list secSoftInfo failed fron db sql: %s,because: %s", sql, e.what());
        return kMoxFailed;
    }
}

MoxResult CMoxDb::getSecSoftState(CSecSoftState &state) {
    const char *sql = "select watched,alive,last_report from t_product_state where uuid=@uuid";
    try {
        CSecSoftState row;
        row.uuid = state.uuid;
        bool found = execRead(
            sql, [&](SQLite::Statement &st) { st.bind("@uuid", state.uuid); },
            [&](SQLite::Statement &st) {
                row.watched = st.getColumn(0).getInt() != 0;
                row.alive = st.isColumnNull(1) ? -1 : (st.getColumn(1).getInt() != 0 ? 1 : 0);
                row.last_report = st.isColumnNull(2) ? 0 : st.getColumn(2).getInt64();
            });
        state = std::move(row);
        return found ? kMoxOk : kMoxNotFound;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "get secSoft state failed fron db sql: %s,because: %s", sql, e.what());
        return kMoxFailed;
    }
}

MoxResult CMoxDb::setSecSoftLiveness(const std::string &uuid, bool watched, int alive) {
    const char *sql =
        "insert into t_product_state (uuid,watched,alive) values(@uuid,@watched,@alive) "
        "on conflict(uuid) do update set watched=excluded.watched,alive=excluded.alive";
    try {
        execWrite(sql, [&](SQLite::Statement &st) {
            st.bind("@uuid", uuid);
            st.bind("@watched", watched ? 1 : 0);
            if (alive < 0)
                st.bind("@alive");
            else
                st.bind("@alive", alive != 0 ? 1 : 0);
        });
        return kMoxOk;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "set secSoft state: failed to execute sql:%s,because: %s", sql, e.what());
        return kMoxFailed;
    }
}

MoxResult CMoxDb::recordSecStatReport(const std::string &uuid, int64_t at) {
    const char *sql =
        "insert into t_product_state (uuid,last_report) values(@uuid,@at) "
        "on conflict(uuid) do update set last_report=excluded.last_report";
    try {
        execWrite(sql, [&](SQLite::Statement &st) {
            st.bind("@uuid", uuid);
            st.bind("@at", static_cast<int64_t>(at));
        });
        return kMoxOk;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "record secStat report: failed to execute sql:%s,because: %s", sql, e.what());
        return kMoxFailed;
    }
}

MoxResult CMoxDb::getSecSoftOwner(CSecSoftOwner &owner) {
    const char *sql = "select uid,exe from t_product_owner where uuid=@uuid";
    try {
        CSecSoftOwner row;
        row.uuid = owner.uuid;
        bool found = execRead(
            sql, [&](SQLite::Statement &st) { st.bind("@uuid", owner.uuid); },
            [&](SQLite::Statement &st) {
                row.uid = st.getColumn(0).getInt();
                row.exe = getStrField(st.getColumn(1));
            });
        if (!found) return kMoxNotFound;
        owner = std::move(row);
        return kMoxOk;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "get secSoft owner failed fron db sql: %s,because: %s", sql, e.what());
        return kMoxFailed;
    }
}

MoxResult CMoxDb::setSecSoftOwner(const CSecSoftOwner &owner) {
    const char *sql = "replace into t_product_owner (uuid,uid,exe) values(@uuid,@uid,@exe)";
    try {
        execWrite(sql, [&](SQLite::Statement &st) {
            st.bind("@uuid", owner.uuid);
            st.bind("@uid", owner.uid);
            if (owner.exe.empty())
                st.bind("@exe");
            else
                st.bind("@exe", owner.exe);
        });
        return kMoxOk;
    } catch (const std::exception &e) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "set secSoft owner: failed to execute sql:%s,because: %s", sql, e.what());
        return kMoxFailed;
    }
}
