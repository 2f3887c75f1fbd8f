// korvanectl show: the registry as the daemon stored it, read from its
// database in one read transaction, so that every table is seen as of one
// moment. The shared lock it holds lasts a few milliseconds; the daemon's
// writes wait for such a lock (its busy timeout) instead of failing, and
// this reader waits likewise for a write in progress.
//
// The tables of the current product and of each product's liveness and
// last report came later than the others: a database without them is
// shown with those facts "not recorded", never refused.
#include <SQLiteCpp/SQLiteCpp.h>
#include <cjson/cJSON.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/paths.h"
#include "base/state_dir.h"
#include "db/records.h"
#include "korvanectl/cli.h"

namespace korvanectl {

namespace {

constexpr int kBusyTimeoutMs = 5000;

struct FrontUiRow {
    std::string uuid, name, data;
    bool has_data = false;
    long long pid = 0, euid = 0, loginuid = 0, timestamp = 0;
};

struct ProductRow {
    std::string uuid, name, exec, secsoft, secstat;
    bool has_secstat = false;
    long long status = 0, ctime = 0, mtime = 0;
    // From t_product_state; a product without a row there has the table's
    // defaults: not watched, never reported.
    bool watched = false;
    std::optional<bool> alive;
    std::optional<long long> last_report;
};

struct Registry {
    std::vector<FrontUiRow> uis;
    std::vector<ProductRow> products;
    bool has_current_table = false, has_state_table = false;
    std::optional<std::string> current;  // the uuid t_current names
};

std::string Text(const SQLite::Column &c) {
    if (c.isNull()) return std::string();
    return std::string(static_cast<const char *>(c.getBlob()), static_cast<size_t>(c.getBytes()));
}

const char *DefaultState(long long status) {
    switch (status) {
        case 0:
            return "empty";
        case 1:
            return "registered itself";
        case 2:
            return "started";
        case 3:
            return "stopped";
        default:
            return "unknown";
    }
}

// The status column in words: a product's own, or the default product's
// arbitration state.
const char *StatusWords(const ProductRow &r) {
    if (r.uuid == kDefSecSoftUuid) {
        switch (r.status) {
            case 0:
                return "never registered";
            case 1:
                return "registered itself";
            case 2:
                return "front UIs told to start it";
            case 3:
                return "front UIs told to stop it";
            default:
                return "unknown";
        }
    }
    switch (r.status) {
        case 1:
            return "registered";
        case 2:
            return "detail updated";
        default:
            return "unknown";
    }
}

// Whether the product's program runs, as the daemon last saw it; null when
// the database does not record it.
const char *Liveness(const Registry &reg, const ProductRow &r) {
    if (!reg.has_state_table) return nullptr;
    if (!r.watched || !r.alive) return "not watched";
    return *r.alive ? "running" : "not running";
}

std::string Time(long long t) {
    return LocalTime(t, "%Y-%m-%d %H:%M:%S %z");
}

// Stored JSON text as a value; a string when it does not parse.
cJSON *JsonValue(const std::string &text, bool present) {
    if (!present) return cJSON_CreateNull();
    cJSON *v = cJSON_Parse(text.c_str());
    return v != nullptr ? v : cJSON_CreateString(text.c_str());
}

void PrintJson(const Registry &reg) {
    const std::vector<FrontUiRow> &uis = reg.uis;
    const std::vector<ProductRow> &products = reg.products;
    JsonPtr tree(cJSON_CreateObject());
    cJSON *root = tree.get();
    cJSON *jui = cJSON_AddArrayToObject(root, "frontuis");
    for (const FrontUiRow &r : uis) {
        cJSON *o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "uuid", r.uuid.c_str());
        cJSON_AddStringToObject(o, "name", r.name.c_str());
        cJSON_AddNumberToObject(o, "pid", static_cast<double>(r.pid));
        cJSON_AddNumberToObject(o, "euid", static_cast<double>(r.euid));
        cJSON_AddNumberToObject(o, "login_uid", static_cast<double>(r.loginuid));
        cJSON_AddItemToObject(o, "data", JsonValue(r.data, r.has_data));
        cJSON_AddNumberToObject(o, "timestamp", static_cast<double>(r.timestamp));
        cJSON_AddItemToArray(jui, o);
    }
    cJSON *jsec = cJSON_AddArrayToObject(root, "secsofts");
    const ProductRow *def = nullptr;
    for (const ProductRow &r : products) {
        if (r.uuid == kDefSecSoftUuid) def = &r;
        cJSON *o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "uuid", r.uuid.c_str());
        cJSON_AddStringToObject(o, "name", r.name.c_str());
        cJSON_AddStringToObject(o, "exec", r.exec.c_str());
        cJSON_AddItemToObject(o, "secsoft", JsonValue(r.secsoft, true));
        cJSON_AddItemToObject(o, "secstat", JsonValue(r.secstat, r.has_secstat));
        cJSON_AddNumberToObject(o, "status", static_cast<double>(r.status));
        cJSON_AddNumberToObject(o, "ctime", static_cast<double>(r.ctime));
        cJSON_AddNumberToObject(o, "mtime", static_cast<double>(r.mtime));
        cJSON_AddStringToObject(o, "status_text", StatusWords(r));
        cJSON_AddBoolToObject(o, "current", reg.current && *reg.current == r.uuid);
        const char *liveness = Liveness(reg, r);
        cJSON_AddItemToObject(o, "liveness",
                              liveness ? cJSON_CreateString(liveness) : cJSON_CreateNull());
        cJSON_AddItemToObject(o, "last_report",
                              r.last_report
                                  ? cJSON_CreateNumber(static_cast<double>(*r.last_report))
                                  : cJSON_CreateNull());
        cJSON_AddItemToArray(jsec, o);
    }
    cJSON_AddItemToObject(
        root, "current",
        reg.current ? cJSON_CreateString(reg.current->c_str()) : cJSON_CreateNull());
    cJSON *jdef = cJSON_AddObjectToObject(root, "default");
    cJSON_AddStringToObject(jdef, "uuid", kDefSecSoftUuid);
    cJSON_AddBoolToObject(jdef, "stored", def != nullptr);
    long long status = def != nullptr ? def->status : 0;
    cJSON_AddNumberToObject(jdef, "status", static_cast<double>(status));
    cJSON_AddStringToObject(jdef, "state", DefaultState(status));
    std::string text;
    printf("%s\n", json_print_compact(root, text) ? text.c_str() : "{}");
}

// The time of the last status report and whether the program runs.
std::string StateLine(const Registry &reg, const ProductRow &r) {
    if (!reg.has_state_table)
        return "last report and program: not recorded (the database predates them)";
    std::string report = r.last_report ? Time(*r.last_report) : std::string("never");
    return "last report: " + report + ", program: " + Liveness(reg, r) +
           " (as last seen by the daemon)";
}

std::string CurrentLine(const Registry &reg) {
    if (!reg.has_current_table) return "not recorded (the database predates it)";
    if (!reg.current) return "not recorded";
    for (const ProductRow &r : reg.products)
        if (r.uuid == *reg.current) return r.uuid + "  " + r.name;
    return *reg.current + " (not stored)";
}

void PrintHuman(const std::string &path, const Registry &reg) {
    const std::vector<FrontUiRow> &uis = reg.uis;
    const std::vector<ProductRow> &products = reg.products;
    printf("database %s\n\n", path.c_str());
    printf("front UIs: %zu\n", uis.size());
    for (const FrontUiRow &r : uis) {
        printf("  %s  %s\n", r.uuid.c_str(), r.name.c_str());
        printf("    pid %lld, euid %lld, login uid %lld, registered %s\n", r.pid, r.euid,
               r.loginuid, Time(r.timestamp).c_str());
        printf("    configuration: %s\n", r.has_data ? Compact(r.data).c_str() : "(none)");
    }
    printf("\nsecurity products: %zu\n", products.size());
    const ProductRow *def = nullptr;
    for (const ProductRow &r : products) {
        bool isDefault = r.uuid == kDefSecSoftUuid;
        bool isCurrent = reg.current && *reg.current == r.uuid;
        if (isDefault) def = &r;
        printf("  %s  %s%s%s\n", r.uuid.c_str(), r.name.c_str(),
               isDefault ? "  (default product)" : "", isCurrent ? "  (current)" : "");
        printf("    exec %s, status %lld (%s), first registered %s, last changed %s\n",
               r.exec.c_str(), r.status, StatusWords(r), Time(r.ctime).c_str(),
               Time(r.mtime).c_str());
        printf("    detail: %s\n", Compact(r.secsoft).c_str());
        printf("    status report: %s\n", r.has_secstat ? Compact(r.secstat).c_str() : "(none)");
        printf("    %s\n", StateLine(reg, r).c_str());
    }
    printf("\ncurrent product: %s\n", CurrentLine(reg).c_str());
    if (def != nullptr)
        printf("default product: %s, %s (status %lld)\n", def->name.c_str(),
               DefaultState(def->status), def->status);
    else
        printf("default product: not stored\n");
}

bool HasTable(SQLite::Database &db, const char *name) {
    SQLite::Statement q(db, "select 1 from sqlite_master where type='table' and name=?");
    q.bind(1, name);
    return q.executeStep();
}

// The newer tables, when the database has them.
void ReadStateTables(SQLite::Database &db, Registry *reg) {
    reg->has_current_table = HasTable(db, "t_current");
    reg->has_state_table = HasTable(db, "t_product_state");
    if (reg->has_current_table) {
        SQLite::Statement q(db, "select uuid from t_current where slot=1");
        if (q.executeStep() && !q.getColumn(0).isNull()) reg->current = Text(q.getColumn(0));
    }
    if (!reg->has_state_table) return;
    SQLite::Statement q(db, "select watched,alive,last_report from t_product_state where uuid=?");
    for (ProductRow &r : reg->products) {
        q.reset();
        q.bind(1, r.uuid);
        if (!q.executeStep()) continue;
        r.watched = q.getColumn(0).getInt64() != 0;
        if (!q.getColumn(1).isNull()) r.alive = q.getColumn(1).getInt64() != 0;
        if (!q.getColumn(2).isNull()) r.last_report = q.getColumn(2).getInt64();
    }
}

// Each table, one statement each, stepped straight into memory.
void ReadTables(SQLite::Database &db, Registry *reg) {
    {
        SQLite::Statement q(db,
                            "select uuid,name,pid,euid,loginuid,data,timestamp from t_frontui "
                            "order by timestamp,uuid");
        while (q.executeStep()) {
            FrontUiRow r;
            r.uuid = Text(q.getColumn(0));
            r.name = Text(q.getColumn(1));
            r.pid = q.getColumn(2).getInt64();
            r.euid = q.getColumn(3).getInt64();
            r.loginuid = q.getColumn(4).getInt64();
            r.has_data = !q.getColumn(5).isNull();
            r.data = Text(q.getColumn(5));
            r.timestamp = q.getColumn(6).getInt64();
            reg->uis.push_back(r);
        }
    }
    SQLite::Statement q(db,
                        "select uuid,name,exec,secsoft,secstat,status,ctime,mtime from "
                        "t_secsoft order by ctime,uuid");
    while (q.executeStep()) {
        ProductRow r;
        r.uuid = Text(q.getColumn(0));
        r.name = Text(q.getColumn(1));
        r.exec = Text(q.getColumn(2));
        r.secsoft = Text(q.getColumn(3));
        r.has_secstat = !q.getColumn(4).isNull();
        r.secstat = Text(q.getColumn(4));
        r.status = q.getColumn(5).getInt64();
        r.ctime = q.getColumn(6).getInt64();
        r.mtime = q.getColumn(7).getInt64();
        reg->products.push_back(r);
    }
    ReadStateTables(db, reg);
}

// Why the file cannot be read at all, in words for the person at the
// terminal; "" when it can be opened for reading. The daemon keeps the
// file readable by root only.
std::string Unreadable(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return std::string();
    }
    const int err = errno;
    if (err == ENOENT)
        return "cannot read the registry database " + path +
               ": no such file (has the daemon ever run?)";
    if (err == EACCES || err == EPERM)
        return "the registry database " + path +
               " is readable by root only; run korvanectl show as root";
    return "cannot read the registry database " + path + ": " + strerror(err);
}

}  // namespace

int RunShow(const Args &args) {
    std::string path = vk_paths::File(vk_paths::kDbFile);
    Registry reg;
    // A database in a directory another user may change could be theirs.
    const std::string unsafe = state_dir_check(path_dir(path));
    if (!unsafe.empty())
        return Fail(kExitDatabase,
                    "not reading the registry database " + path + ": unsafe directory " + unsafe);
    const std::string unreadable = Unreadable(path);
    if (!unreadable.empty()) return Fail(kExitDatabase, unreadable);
    try {
        SQLite::Database db(path, SQLite::OPEN_READONLY, kBusyTimeoutMs);
        SQLite::Transaction read(db);
        ReadTables(db, &reg);
    } catch (const std::exception &e) {
        return Fail(kExitDatabase, "cannot read the registry database " + path + ": " + e.what());
    }
    if (args.json)
        PrintJson(reg);
    else
        PrintHuman(path, reg);
    return kExitOk;
}

}  // namespace korvanectl
