// The registry store over a real database file under a temporary root: the
// cache rules, what each statement keeps or renews in its row, the load at
// start, and failures (a database locked by another connection, a path that
// cannot be opened).
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/paths.h"
#include "base/vk_clock.h"
#include "db/moxdb.h"
#include "log/mylog.h"
#include "support/temp_root.h"

using namespace std::string_literals;

namespace {

const std::string kDef = kDefSecSoftUuid;

CFrontUIInfo Front(const std::string &uuid, const std::string &name = "ui", int pid = 100) {
    CFrontUIInfo r;
    r.uuid = uuid;
    r.name = name;
    r.pid = pid;
    r.euid = 1000;
    r.loginuid = 1001;
    return r;
}

CFrontUIConf Conf(const std::string &uuid, const std::string &data) {
    CFrontUIConf c;
    c.uuid = uuid;
    c.data = data;
    return c;
}

CSecSoftInfo Product(const std::string &uuid, int status = 1,
                     const std::string &secsoft = "{\"name\":\"av\"}") {
    CSecSoftInfo r;
    r.uuid = uuid;
    r.name = "av-" + uuid;
    r.exec = "/opt/" + uuid;
    r.secsoft = secsoft;
    r.status = status;
    return r;
}

CSecStatInfo Stat(const std::string &uuid, const std::string &secstat) {
    CSecStatInfo s;
    s.uuid = uuid;
    s.secstat = secstat;
    return s;
}

// Opens the process-wide log on a file of its own for one test.
class ScopedLog {
public:
    explicit ScopedLog(const std::string &path) : m_path(path) {
        MyLog *log = Singleton<MyLog>::Instance();
        log->Close();
        log->SetLogLevel(INFO);
        m_ok = log->Open(path.c_str());
    }
    ~ScopedLog() { Singleton<MyLog>::Instance()->Close(); }
    bool ok() const { return m_ok; }
    std::string Text() const { return vk_test::ReadFile(m_path); }

private:
    std::string m_path;
    bool m_ok = false;
};

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_log.ok());
        ASSERT_EQ(0, MoxDbInit());
    }
    void TearDown() override { MoxDbUninit(); }

    CMoxDb &db() { return *Singleton<CMoxDb>::Instance(); }
    void Restart() {
        MoxDbUninit();
        ASSERT_EQ(0, MoxDbInit());
    }
    std::string DbFile() const { return m_root.Under(vk_paths::kDbFile); }
    std::string Log() const { return m_log.Text(); }

    // Direct access to the file, beside the store.
    void Sql(const std::string &sql) {
        SQLite::Database raw(DbFile(), SQLite::OPEN_READWRITE);
        raw.exec(sql);
    }
    // The first column of the first row; "<none>" without a row, "<null>"
    // for NULL. Text keeps its bytes.
    std::string Value(const std::string &sql) {
        SQLite::Database raw(DbFile(), SQLite::OPEN_READONLY);
        SQLite::Statement st(raw, sql);
        if (!st.executeStep()) return "<none>";
        if (st.isColumnNull(0)) return "<null>";
        SQLite::Column col = st.getColumn(0);
        const char *text = col.getText();
        return std::string(text, col.getBytes());
    }
    long long Int(const std::string &sql) { return std::stoll(Value(sql)); }

    vk_test::TempRoot m_root;
    vk_test::ScopedRootEnv m_env{m_root.path()};
    ScopedLog m_log{m_root.Under("/store.log")};
};

// What the store answers from memory: the held front UI and its
// configuration, the current product and its status, the default record.
std::string Held(CMoxDb &d) {
    CFrontUIInfo front;
    CFrontUIConf conf = Conf("A", "");
    CSecSoftInfo cur, def;
    CSecStatInfo stat;
    const int rcs[] = {d.Get(front), d.Get(conf), d.Get(cur), d.Get(stat), d.GetDefSecSoft(def)};
    std::string out;
    for (int rc : rcs) out += std::to_string(rc) + " ";
    for (const CSecSoftInfo &p : {cur, def})
        out += "|" + p.uuid + "," + p.name + "," + p.exec + "," + p.secsoft + "," + p.secstat +
               "," + std::to_string(p.status);
    return out + "|" + front.uuid + "," + front.name + "," + std::to_string(front.pid) + "," +
           front.data + "|" + conf.data + "|" + stat.uuid + "," + stat.secstat;
}

TEST_F(StoreTest, FirstStartCreatesTheFileWithTheDeclaredSchema) {
    struct stat st;
    ASSERT_EQ(0, stat(m_root.Under(vk_paths::kDbDir).c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    ASSERT_TRUE(vk_test::FileExists(DbFile()));

    // name|type|notnull|default|pk for every column, in declaration order.
    auto columns = [&](const char *table) {
        SQLite::Database raw(DbFile(), SQLite::OPEN_READONLY);
        SQLite::Statement st(raw, "PRAGMA table_info("s + table + ")");
        std::vector<std::string> out;
        while (st.executeStep())
            out.push_back(st.getColumn(1).getString() + "|" + st.getColumn(2).getString() + "|" +
                          st.getColumn(3).getString() + "|" +
                          (st.isColumnNull(4) ? "-" : st.getColumn(4).getString()) + "|" +
                          st.getColumn(5).getString());
        return out;
    };
    const std::string now = "strftime('%s','now')";
    EXPECT_EQ(
        columns("t_frontui"),
        (std::vector<std::string>{"uuid|VARCHAR(36)|1|-|1", "name|TEXT|1|-|0", "pid|INT|1|-|0",
                                  "euid|INT|1|-|0", "loginuid|INT|1|-|0", "data|TEXT|0|NULL|0",
                                  "timestamp|INTEGER|1|" + now + "|0"}));
    EXPECT_EQ(columns("t_secsoft"),
              (std::vector<std::string>{
                  "uuid|VARCHAR(36)|1|-|1", "name|TEXT|1|-|0", "exec|TEXT|1|-|0",
                  "secsoft|TEXT|1|-|0", "secstat|TEXT|0|NULL|0", "status|INT|1|1|0",
                  "ctime|INTEGER|1|" + now + "|0", "mtime|INTERGER|1|" + now + "|0"}));

    const std::string log = Log();
    for (const char *line :
         {"|INFO|CMoxCache init ok\n", "|INFO|there is no frontUI info\n",
          "|INFO|there is no Default-SecSoft in DB\n", "|INFO|there is no SecSoft\n",
          "|INFO|mox-db init ok\n", "|INFO|MoxDb init ok\n"})
        EXPECT_NE(std::string::npos, log.find(line)) << line;
}

TEST_F(StoreTest, FreshCacheHoldsTheDefaultRecordWithStatusZero) {
    CSecSoftInfo cur;
    EXPECT_EQ(-4, db().Get(cur));  // copied all the same
    EXPECT_EQ(kDef, cur.uuid);
    EXPECT_EQ("Ambrel终端安全管理系统", cur.name);
    EXPECT_EQ("/opt/palemoss/palemoss", cur.exec);
    EXPECT_EQ("", cur.secsoft);
    EXPECT_EQ(0, cur.status);

    CSecSoftInfo def;
    def.name = "untouched";
    EXPECT_EQ(-4, db().GetDefSecSoft(def));
    EXPECT_EQ("untouched", def.name);

    CSecStatInfo stat = Stat("whatever", "");
    EXPECT_EQ(-8, db().Get(stat));
    EXPECT_EQ(kDef, stat.uuid);
    // Not installed: no product speaks under its uuid yet.
    EXPECT_FALSE(db().SecSoftValid(kDef));

    CFrontUIInfo front;
    EXPECT_EQ(-4, db().Get(front));
    EXPECT_FALSE(db().FrontUIValid(""));
}

TEST_F(StoreTest, HeldFrontUiAndItsConfiguration) {
    ASSERT_EQ(0, db().Upgrade(Front("A")));
    // A row another front UI left (an older build stored every attempt),
    // older than A's, found at the next start.
    Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,data,timestamp) values"
        "('B','b',200,1000,1000,'{\"cfg\":\"B\"}',1)");
    Restart();

    CFrontUIInfo held = Front("B");
    ASSERT_EQ(0, db().Get(held));
    EXPECT_EQ("A", held.uuid);
    EXPECT_TRUE(db().FrontUIValid("A"));
    EXPECT_TRUE(db().FrontUIValid("B"));   // from its row
    EXPECT_FALSE(db().FrontUIValid("a"));  // uuids are case-sensitive

    // Configurations: the held one in the cache and the row; the other one
    // is read from its row and leaves the cache alone.
    EXPECT_EQ(0, db().Upgrade(Conf("A", "{\"cfg\":\"A\"}")));
    CFrontUIConf a = Conf("A", ""), b = Conf("B", "");
    EXPECT_EQ(0, db().Get(a));
    EXPECT_EQ("{\"cfg\":\"A\"}", a.data);
    EXPECT_EQ(0, db().Get(b));
    EXPECT_EQ("{\"cfg\":\"B\"}", b.data);
    held = CFrontUIInfo();
    ASSERT_EQ(0, db().Get(held));
    EXPECT_EQ("A", held.uuid);
    EXPECT_EQ("{\"cfg\":\"A\"}", held.data);

    // An empty configuration is stored as empty text and read as "empty".
    EXPECT_EQ(0, db().Upgrade(Conf("A", "")));
    EXPECT_EQ("", Value("select data from t_frontui where uuid='A'"));
    EXPECT_EQ(-8, db().Get(a));
}

// Only the current front UI writes. Any other registration or
// configuration is refused before the file is touched: a flood of them
// neither grows the file nor leaves rows that could win the load at the
// next start.
TEST_F(StoreTest, WritesOfAFrontUiThatIsNotCurrentStoreNothing) {
    ASSERT_EQ(0, db().Upgrade(Front("A")));
    ASSERT_EQ(0, db().Upgrade(Conf("A", "{\"a\":1}")));
    Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,data,timestamp) values"
        "('B','b',200,1000,1000,NULL,100)");
    const std::string big(100000, 'x');
    const struct {
        const char *what;
        std::function<int(CMoxDb &)> op;
    } cases[] = {
        {"registration of a new uuid", [](CMoxDb &d) { return d.Upgrade(Front("C", "c", 3)); }},
        {"registration of the empty uuid", [](CMoxDb &d) { return d.Upgrade(Front("")); }},
        {"registration of a uuid with a row",
         [](CMoxDb &d) { return d.Upgrade(Front("B", "b2", 201)); }},
        {"configuration of a uuid with a row",
         [&](CMoxDb &d) { return d.Upgrade(Conf("B", big)); }},
        {"configuration of a uuid without one",
         [&](CMoxDb &d) { return d.Upgrade(Conf("C", big)); }},
    };
    auto rows = [&] {
        return Value(
            "select group_concat(uuid||','||name||','||pid||','||ifnull(data,'-')||','||"
            "timestamp,'|') from (select * from t_frontui order by uuid)");
    };
    const std::string before = rows();
    const std::string held = Held(db());
    struct stat st;
    ASSERT_EQ(0, stat(DbFile().c_str(), &st));
    const off_t size = st.st_size;
    for (const auto &c : cases) {
        for (int i = 0; i < 20; i++) ASSERT_EQ(-3, c.op(db())) << c.what;
        EXPECT_EQ(before, rows()) << c.what;
        EXPECT_EQ(held, Held(db())) << c.what;
        ASSERT_EQ(0, stat(DbFile().c_str(), &st));
        EXPECT_EQ(size, st.st_size) << c.what;
    }
    EXPECT_FALSE(db().FrontUIValid("C"));
    EXPECT_EQ(std::string::npos, Log().find("just upgrade database success"));
}

// Root's registration takes the place of the current front UI: the new
// one is held with the configuration its row kept, the replaced one keeps
// its row and configuration and is refused as any other until it is
// current again; renewing the held one replaces nothing.
TEST_F(StoreTest, ReplacingTheCurrentFrontUi) {
    ASSERT_EQ(0, db().Upgrade(Front("A", "a", 100)));
    ASSERT_EQ(0, db().Upgrade(Conf("A", "{\"a\":1}")));
    Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,data,timestamp) values"
        "('B','b',200,1000,1000,'{\"b\":2}',100)");

    CFrontUIInfo old;
    ASSERT_EQ(0, db().ReplaceFrontUI(Front("B", "b2", 201), &old));
    EXPECT_EQ(old.uuid, "A");
    EXPECT_EQ(old.pid, 100);
    CFrontUIInfo held;
    ASSERT_EQ(0, db().Get(held));
    EXPECT_EQ(held.uuid + "," + held.name + "," + std::to_string(held.pid), "B,b2,201");
    CFrontUIConf conf = Conf("B", "");
    ASSERT_EQ(0, db().Get(conf));
    EXPECT_EQ(conf.data, "{\"b\":2}");
    EXPECT_EQ(Value("select data from t_frontui where uuid='A'"), "{\"a\":1}");
    EXPECT_EQ(-3, db().Upgrade(Front("A")));
    EXPECT_EQ(-3, db().Upgrade(Conf("A", "{}")));

    ASSERT_EQ(0, db().ReplaceFrontUI(Front("B", "b3", 202), &old));
    EXPECT_EQ(old.uuid, "");
    ASSERT_EQ(0, db().ForgetFrontUI("B"));
    ASSERT_EQ(0, db().ReplaceFrontUI(Front("C"), &old));
    EXPECT_EQ(old.uuid, "") << "nothing was current";

    // Kept over a restart: the last registered is current.
    Restart();
    ASSERT_EQ(0, db().Get(held));
    EXPECT_EQ(held.uuid, "C");
}

// After a flood from other front UIs, some with rows an older build left,
// the next start takes the current front UI again.
TEST_F(StoreTest, RestartAfterAFloodKeepsTheCurrentFrontUi) {
    ASSERT_EQ(0, db().Upgrade(Front("A")));
    ASSERT_EQ(0, db().Upgrade(Conf("A", "{\"a\":1}")));
    Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,timestamp) values"
        "('L0','l',1,1,1,strftime('%s','now')-20),('L1','l',1,1,1,strftime('%s','now')-10)");
    for (int i = 0; i < 50; i++) {
        const std::string uuid =
            i % 2 ? "L" + std::to_string(i % 4 / 2) : "flood-" + std::to_string(i);
        EXPECT_EQ(-3, db().Upgrade(Front(uuid, "x", 9000 + i))) << uuid;
        EXPECT_EQ(-3, db().Upgrade(Conf(uuid, "{\"x\":1}"))) << uuid;
    }
    ASSERT_EQ(0, db().Upgrade(Front("A")));
    Restart();

    EXPECT_NE(std::string::npos, Log().find("|INFO|load FrontUI for A\n"));
    CFrontUIInfo held;
    ASSERT_EQ(0, db().Get(held));
    EXPECT_EQ("A", held.uuid);
    EXPECT_EQ("{\"a\":1}", held.data);
    EXPECT_EQ(0, db().Upgrade(Front("A")));
    EXPECT_EQ(-3, db().Upgrade(Front("flood-0")));
    EXPECT_EQ(-3, db().Upgrade(Front("L0")));
    EXPECT_EQ("A,L0,L1", Value("select group_concat(uuid) from (select uuid from t_frontui "
                               "order by uuid)"));
}

// A start whose load met a locked file holds no front UI while the table
// has one: the first registration takes the stored one and does not let
// another uuid in.
TEST_F(StoreTest, NoFrontUiHeldAfterALockedStartStillRefusesOthers) {
    ASSERT_EQ(0, db().Upgrade(Front("A")));
    ASSERT_EQ(0, db().Upgrade(Conf("A", "{\"a\":1}")));
    MoxDbUninit();
    {
        // Only a file in rollback-journal mode can be locked against readers.
        SQLite::Database holder(DbFile(), SQLite::OPEN_READWRITE);
        holder.exec("PRAGMA journal_mode=DELETE");
        holder.exec("BEGIN EXCLUSIVE");
        ASSERT_EQ(0, MoxDbInit());
        holder.exec("ROLLBACK");
    }
    ASSERT_NE(std::string::npos, Log().find("|INFO|there is no frontUI info\n"));

    EXPECT_EQ(-3, db().Upgrade(Front("C")));
    EXPECT_EQ(-3, db().Upgrade(Conf("C", "{}")));
    EXPECT_EQ("<none>", Value("select uuid from t_frontui where uuid='C'"));
    CFrontUIInfo held;
    ASSERT_EQ(0, db().Get(held));
    EXPECT_EQ("A", held.uuid);
    EXPECT_EQ("{\"a\":1}", held.data);
}

// Rows of one euid are bounded: a registration keeps its own row and the
// newest others of its euid, up to kMaxFrontUIsPerEuid in all. Other
// euids' rows stay.
TEST_F(StoreTest, FrontUiRowsPerEuidKeepTheNewest) {
    ASSERT_EQ(8, CMoxDb::kMaxFrontUIsPerEuid);
    // Rows an older build left: u0 (the newest, taken at start) and u1..u11
    // of euid 1000, o0..o2 of euid 2000.
    std::string values;
    for (int i = 0; i < 12; i++)
        values += (i ? "," : "") + "('u"s + std::to_string(i) + "','u',1,1000,1000," +
                  std::to_string(i ? 100 + i : 300) + ")";
    for (int i = 0; i < 3; i++)
        values +=
            ",('o"s + std::to_string(i) + "','o',1,2000,2000," + std::to_string(200 + i) + ")";
    Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,timestamp) values" + values);
    Restart();

    CFrontUIInfo u0 = Front("u0");
    ASSERT_EQ(0, db().Upgrade(u0));
    EXPECT_EQ("u0,u10,u11,u5,u6,u7,u8,u9",
              Value("select group_concat(uuid) from (select uuid from t_frontui where "
                    "euid=1000 order by uuid)"));
    EXPECT_EQ("o0,o1,o2", Value("select group_concat(uuid) from (select uuid from t_frontui "
                                "where euid=2000 order by uuid)"));
    EXPECT_NE(std::string::npos, Log().find("|INFO|removed 4 older frontUI rows of euid: 1000\n"));

    // Registering again removes nothing more; under a new euid the row
    // counts there, and the rows of its former euid stay.
    ASSERT_EQ(0, db().Upgrade(u0));
    EXPECT_EQ(8, Int("select count(*) from t_frontui where euid=1000"));
    u0.euid = 2000;
    ASSERT_EQ(0, db().Upgrade(u0));
    EXPECT_EQ(7, Int("select count(*) from t_frontui where euid=1000"));
    EXPECT_EQ(4, Int("select count(*) from t_frontui where euid=2000"));
}

TEST_F(StoreTest, FrontUiReRegistrationKeepsConfigurationAndRenewsTimestamp) {
    const std::string cfg = "{\"k\":\"a\0b\"}"s;
    ASSERT_EQ(0, db().Upgrade(Front("A", "first", 1)));
    ASSERT_EQ(0, db().Upgrade(Conf("A", cfg)));
    Sql("update t_frontui set timestamp=1000");

    ASSERT_EQ(0, db().Upgrade(Front("A", "second", 2)));
    CFrontUIConf conf = Conf("A", "");
    ASSERT_EQ(0, db().Get(conf));
    EXPECT_EQ(cfg, conf.data);
    CFrontUIInfo held;
    ASSERT_EQ(0, db().Get(held));
    EXPECT_EQ("second", held.name);
    EXPECT_EQ(2, held.pid);

    EXPECT_EQ(cfg, Value("select data from t_frontui where uuid='A'"));
    EXPECT_EQ("second", Value("select name from t_frontui where uuid='A'"));
    EXPECT_GT(Int("select timestamp from t_frontui where uuid='A'"), 1000);

    // The configuration write leaves the timestamp alone.
    Sql("update t_frontui set timestamp=1000");
    ASSERT_EQ(0, db().Upgrade(Conf("A", "{}")));
    EXPECT_EQ(1000, Int("select timestamp from t_frontui where uuid='A'"));
}

TEST_F(StoreTest, UpdatesAndDeletesOfMissingRowsAnswerNotFound) {
    const struct {
        const char *what;
        std::function<int(CMoxDb &)> op;
    } cases[] = {
        {"configuration", [](CMoxDb &d) { return d.Upgrade(Conf("ghost", "{}")); }},
        {"status", [](CMoxDb &d) { return d.Upgrade(Stat("ghost", "{}")); }},
        {"front-UI delete", [](CMoxDb &d) { return d.CleanFrontUI("ghost"); }},
        {"product delete", [](CMoxDb &d) { return d.CleanSecInfo("ghost"); }},
        {"default product delete", [](CMoxDb &d) { return d.CleanSecInfo(kDef); }},
    };
    for (const auto &c : cases) EXPECT_EQ(-4, c.op(db())) << c.what;
    EXPECT_EQ(0, Int("select count(*) from t_frontui"));
    EXPECT_EQ(0, Int("select count(*) from t_secsoft"));
}

// Seconds of the clock SQLite's 'now' reads. time() may answer from a
// coarser clock that has not yet reached the second SQLite already sees.
long long RealtimeSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec);
}

TEST_F(StoreTest, ProductRegistrationKeepsCtimeAndSecstatAndRenewsMtime) {
    const long long before = RealtimeSeconds();
    ASSERT_EQ(0, db().Upgrade(Product("P")));
    EXPECT_GE(Int("select ctime from t_secsoft where uuid='P'"), before);
    EXPECT_LE(Int("select ctime from t_secsoft where uuid='P'"), RealtimeSeconds());
    EXPECT_EQ("<null>", Value("select secstat from t_secsoft where uuid='P'"));
    EXPECT_EQ("1", Value("select status from t_secsoft where uuid='P'"));

    ASSERT_EQ(0, db().Upgrade(Stat("P", "{\"on\":1}")));
    CSecStatInfo stat;
    ASSERT_EQ(0, db().Get(stat));
    EXPECT_EQ("P", stat.uuid);
    EXPECT_EQ("{\"on\":1}", stat.secstat);

    Sql("update t_secsoft set ctime=1000, mtime=1000");
    ASSERT_EQ(0, db().Upgrade(Product("P", 2, "{\"v\":2}")));
    EXPECT_EQ(1000, Int("select ctime from t_secsoft where uuid='P'"));
    EXPECT_GT(Int("select mtime from t_secsoft where uuid='P'"), 1000);
    EXPECT_EQ("{\"on\":1}", Value("select secstat from t_secsoft where uuid='P'"));
    EXPECT_EQ("{\"v\":2}", Value("select secsoft from t_secsoft where uuid='P'"));
    EXPECT_EQ("2", Value("select status from t_secsoft where uuid='P'"));

    // The status write changes the status text only.
    Sql("update t_secsoft set mtime=1000");
    ASSERT_EQ(0, db().Upgrade(Stat("P", "{\"on\":0}")));
    EXPECT_EQ(1000, Int("select mtime from t_secsoft where uuid='P'"));
}

// A registration or update carries no status text: the status a product
// reported stays, in memory as in its row, and a product that becomes
// current later gets the one its row kept.
TEST_F(StoreTest, ProductKeepsItsStatusTextAcrossRegistrations) {
    ASSERT_EQ(0, db().Upgrade(Product("P")));
    ASSERT_EQ(0, db().Upgrade(Stat("P", "{\"p\":1}")));
    ASSERT_EQ(-9, db().Upgrade(Product("Q")));
    ASSERT_EQ(-9, db().Upgrade(Stat("Q", "{\"q\":1}")));
    const struct {
        const char *what;
        std::function<int(CMoxDb &)> op;
        std::string uuid, secstat;
    } cases[] = {
        {"re-registration", [](CMoxDb &d) { return d.Upgrade(Product("P")); }, "P", "{\"p\":1}"},
        {"update", [](CMoxDb &d) { return d.Upgrade(Product("P", 2, "{\"v\":2}")); }, "P",
         "{\"p\":1}"},
        {"another product once the current one left",
         [](CMoxDb &d) {
             EXPECT_EQ(0, d.CleanSecInfo("P"));
             return d.Upgrade(Product("Q"));
         },
         "Q", "{\"q\":1}"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(0, c.op(db())) << c.what;
        CSecStatInfo stat;
        EXPECT_EQ(0, db().Get(stat)) << c.what;
        EXPECT_EQ(c.uuid, stat.uuid) << c.what;
        EXPECT_EQ(c.secstat, stat.secstat) << c.what;
        EXPECT_EQ(c.secstat, Value("select secstat from t_secsoft where uuid='" + c.uuid + "'"))
            << c.what;
    }
}

TEST_F(StoreTest, OtherProductsReachOnlyTheDatabaseWhileOneIsCurrent) {
    ASSERT_EQ(0, db().Upgrade(Product("P")));
    EXPECT_EQ(-9, db().Upgrade(Product("Q")));
    EXPECT_EQ(-9, db().Upgrade(Product(kDef, 1, "{\"def\":1}")));
    EXPECT_EQ("1", Value("select count(*) from t_secsoft where uuid='Q'"));
    EXPECT_EQ("{\"def\":1}", Value("select secsoft from t_secsoft where uuid='" + kDef + "'"));

    CSecSoftInfo cur;
    ASSERT_EQ(0, db().Get(cur));
    EXPECT_EQ("P", cur.uuid);
    // The default product's own record is kept current while another is
    // active: installed by its registration, not active.
    CSecSoftInfo def;
    ASSERT_EQ(0, db().GetDefSecSoft(def));
    EXPECT_EQ("{\"def\":1}", def.secsoft);
    EXPECT_EQ(1, def.status);
    EXPECT_TRUE(db().SecSoftValid("Q"));
    EXPECT_FALSE(db().SecSoftValid("q"));

    EXPECT_EQ(-9, db().Upgrade(Stat("Q", "{\"q\":1}")));
    EXPECT_EQ("{\"q\":1}", Value("select secstat from t_secsoft where uuid='Q'"));
    CSecStatInfo stat = Stat("Q", "");
    EXPECT_EQ(-8, db().Get(stat));  // the current product's, which reported none
    EXPECT_EQ("P", stat.uuid);
}

TEST_F(StoreTest, DefaultRecordLife) {
    CSecSoftInfo def;
    ASSERT_EQ(-4, db().GetDefSecSoft(def));

    // The default product registers while it is current.
    ASSERT_EQ(0, db().Upgrade(Product(kDef, 1, "{\"d\":1}")));
    EXPECT_NE(std::string::npos, Log().find("|INFO|upgrade default-sec-soft,uuid: " + kDef));
    ASSERT_EQ(0, db().GetDefSecSoft(def));
    EXPECT_EQ(kDef, def.uuid);
    EXPECT_EQ("av-" + kDef, def.name);
    EXPECT_EQ("{\"d\":1}", def.secsoft);
    EXPECT_EQ(1, def.status);

    // Its status lands on the default record; an empty one in a later
    // registration or in SetDefSecSoft does not erase it.
    ASSERT_EQ(0, db().Upgrade(Stat(kDef, "{\"s\":1}")));
    ASSERT_EQ(0, db().Upgrade(Product(kDef, 1, "{\"d\":2}")));
    ASSERT_EQ(0, db().GetDefSecSoft(def));
    def.status = 3;
    def.secstat.clear();
    ASSERT_EQ(0, db().SetDefSecSoft(def));
    CSecSoftInfo now;
    ASSERT_EQ(0, db().GetDefSecSoft(now));
    EXPECT_EQ(3, now.status);
    EXPECT_EQ("{\"d\":2}", now.secsoft);
    EXPECT_EQ("{\"s\":1}", now.secstat);
    EXPECT_EQ("3", Value("select status from t_secsoft where uuid='" + kDef + "'"));
    EXPECT_EQ("{\"s\":1}", Value("select secstat from t_secsoft where uuid='" + kDef + "'"));

    // The record survives a restart through its row.
    Restart();
    EXPECT_NE(std::string::npos, Log().find("|INFO|load Default-SecSoft from DB for " + kDef));
    now = CSecSoftInfo();
    ASSERT_EQ(0, db().GetDefSecSoft(now));
    EXPECT_EQ(3, now.status);
    EXPECT_EQ("{\"s\":1}", now.secstat);
}

TEST_F(StoreTest, SetDefSecSoftNeverRenamesTheDefaultRecord) {
    CSecSoftInfo r = Product("intruder", 2);
    ASSERT_EQ(0, db().SetDefSecSoft(r));
    CSecSoftInfo def;
    ASSERT_EQ(0, db().GetDefSecSoft(def));
    EXPECT_EQ(kDef, def.uuid);
    EXPECT_EQ(2, def.status);
    EXPECT_EQ("<none>", Value("select uuid from t_secsoft where uuid='intruder'"));
    EXPECT_EQ("2", Value("select status from t_secsoft where uuid='" + kDef + "'"));
}

TEST_F(StoreTest, CleanSecInfo) {
    ASSERT_EQ(0, db().Upgrade(Product(kDef, 1, "{\"d\":1}")));
    ASSERT_EQ(0, db().Upgrade(Product("P")));

    // The default uuid: its row goes and it is not installed any more (its
    // built-in record again); the current product stays.
    EXPECT_EQ(0, db().CleanSecInfo(kDef));
    EXPECT_EQ(-4, db().CleanSecInfo(kDef));
    EXPECT_EQ("<none>", Value("select uuid from t_secsoft where uuid='" + kDef + "'"));
    CSecSoftInfo cur, def;
    ASSERT_EQ(0, db().Get(cur));
    EXPECT_EQ("P", cur.uuid);
    EXPECT_EQ(-4, db().GetDefSecSoft(def));
    EXPECT_FALSE(db().SecSoftValid(kDef));

    // The current product: the default record is current again, and with
    // the default product uninstalled no product is active.
    EXPECT_EQ(0, db().CleanSecInfo("P"));
    EXPECT_EQ("<none>", Value("select uuid from t_secsoft where uuid='P'"));
    EXPECT_FALSE(db().SecSoftValid("P"));
    EXPECT_EQ(-4, db().Get(cur));
    EXPECT_EQ(kDef, cur.uuid);
    EXPECT_EQ(-4, db().CleanSecInfo("P"));
}

TEST_F(StoreTest, GetOfTheProductFallsBackToTheDefaultRowAndLoadsIt) {
    CSecSoftInfo cur;
    EXPECT_EQ(-4, db().Get(cur));

    Sql("insert into t_secsoft (uuid,name,exec,secsoft,secstat,status) values('" + kDef +
        "','Def','/d','{\"d\":0}','{\"s\":0}',2)");
    cur = CSecSoftInfo();
    ASSERT_EQ(0, db().Get(cur));
    EXPECT_EQ(kDef, cur.uuid);
    EXPECT_EQ("Def", cur.name);
    EXPECT_EQ(2, cur.status);

    // Now answered from memory, with the row deleted behind its back.
    Sql("delete from t_secsoft");
    CSecSoftInfo def;
    ASSERT_EQ(0, db().GetDefSecSoft(def));
    EXPECT_EQ("{\"d\":0}", def.secsoft);
    EXPECT_EQ("{\"s\":0}", def.secstat);
    CSecStatInfo stat;
    EXPECT_EQ(0, db().Get(stat));
}

TEST_F(StoreTest, GetOfTheFrontUiFallsBackToTheDatabaseAndLoadsIt) {
    const struct {
        const char *asked;
        const char *found;
    } cases[] = {{"", "new"}, {"old", "old"}};
    for (const auto &c : cases) {
        Sql("delete from t_frontui");
        Restart();  // nothing to load: the cache holds no front UI
        Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,timestamp) values"
            "('new','n',1,2,3,200),('old','o',4,5,6,100)");
        CFrontUIInfo r = Front(c.asked);
        ASSERT_EQ(0, db().Get(r)) << c.asked;
        EXPECT_EQ(c.found, r.uuid);
        EXPECT_EQ("", r.data);  // a NULL configuration reads back empty
        EXPECT_TRUE(db().FrontUIValid(c.found));
        Sql("delete from t_frontui");
        CFrontUIInfo held;
        ASSERT_EQ(0, db().Get(held)) << c.asked;  // now from the cache
        EXPECT_EQ(c.found, held.uuid);
    }
}

TEST_F(StoreTest, NullTextsReadBackEmpty) {
    ASSERT_EQ(0, db().Upgrade(Front("A")));
    Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,timestamp) values('B','b',1,1,1,1)");
    ASSERT_EQ(0, db().Upgrade(Product("P")));
    Restart();

    CFrontUIConf b = Conf("B", "kept");
    EXPECT_EQ(-4, db().Get(b));  // NULL in the row: no configuration
    EXPECT_EQ("kept", b.data);
    CFrontUIConf a = Conf("A", "");
    EXPECT_EQ(-8, db().Get(a));  // loaded at start with an empty one
    CFrontUIInfo held;
    ASSERT_EQ(0, db().Get(held));
    EXPECT_EQ("", held.data);

    CSecSoftInfo cur;
    ASSERT_EQ(0, db().Get(cur));
    EXPECT_EQ("P", cur.uuid);
    EXPECT_EQ("", cur.secstat);
    CSecStatInfo stat;
    EXPECT_EQ(-8, db().Get(stat));
}

TEST_F(StoreTest, ConfigurationIsReadForItsOwnUuidOnly) {
    // "" is a legal uuid; its read must not fall back to the oldest row.
    ASSERT_EQ(0, db().Upgrade(Front("A")));
    ASSERT_EQ(0, db().Upgrade(Conf("A", "{\"secret\":1}")));
    Sql("insert into t_frontui (uuid,name,pid,euid,loginuid) values('','e',1,1,1)");
    CFrontUIConf c = Conf("", "");
    EXPECT_EQ(-4, db().Get(c));
    EXPECT_EQ("", c.data);
    Sql("update t_frontui set data='{\"mine\":1}' where uuid=''");
    EXPECT_EQ(0, db().Get(c));
    EXPECT_EQ("", c.uuid);
    EXPECT_EQ("{\"mine\":1}", c.data);
}

TEST_F(StoreTest, TextColumnsKeepTheirBytes) {
    const std::string texts[] = {
        "",         "{\"a\":\"plain\"}",
        "a\0b\0"s,  "\xff\xfe\x01\x80"s,
        "终端安全", std::string(5000, 'x') + "\0tail"s,
    };
    for (const auto &t : texts) {
        SCOPED_TRACE(testing::PrintToString(t.substr(0, 20)));
        ASSERT_EQ(0, db().Upgrade(Front("F")));
        ASSERT_EQ(0, db().Upgrade(Conf("F", t)));
        CSecSoftInfo p = Product("P", 1, t);
        p.name = t;
        ASSERT_EQ(0, db().Upgrade(p));
        ASSERT_EQ(0, db().Upgrade(Stat("P", t)));
        EXPECT_EQ(t, Value("select data from t_frontui where uuid='F'"));
        EXPECT_EQ("text", Value("select typeof(data) from t_frontui where uuid='F'"));
        EXPECT_EQ(t, Value("select secstat from t_secsoft where uuid='P'"));

        Restart();  // read back through the load at start
        CFrontUIConf c = Conf("F", "");
        EXPECT_EQ(t.empty() ? -8 : 0, db().Get(c));
        EXPECT_EQ(t, c.data);
        CSecSoftInfo cur;
        ASSERT_EQ(0, db().Get(cur));
        EXPECT_EQ(t, cur.name);
        EXPECT_EQ(t, cur.secsoft);
        EXPECT_EQ(t, cur.secstat);

        ASSERT_EQ(0, db().CleanFrontUI("F"));
        ASSERT_EQ(0, db().CleanSecInfo("P"));
    }
}

// The front UI registered last (of two in one second, the later row) was
// the current one; the product registered first is.
// Whatever the rows' ages, the product recorded as current is current
// after a restart, and none when the default one was.
TEST_F(StoreTest, LoadAtStartTakesTheRecordedCurrentProduct) {
    Sql("insert into t_secsoft (uuid,name,exec,secsoft,status,ctime) values"
        "('P','p','/p','{}',1,300),('Q','q','/q','{}',1,200)");
    for (const std::string &recorded : {std::string("P"), kDef}) {
        Sql("replace into t_current (slot,uuid) values(1,'" + recorded + "')");
        Restart();
        CSecSoftInfo cur;
        db().Get(cur);
        EXPECT_EQ(recorded, cur.uuid);
    }
    // Taking over and leaving are recorded.
    CSecSoftInfo q;
    q.uuid = "Q";
    q.name = "q";
    q.exec = "/q";
    q.secsoft = "{}";
    q.status = 1;
    ASSERT_EQ(0, db().Upgrade(q));
    EXPECT_EQ("Q", Value("select uuid from t_current"));
    ASSERT_EQ(0, db().CleanSecInfo("Q"));
    EXPECT_EQ(kDef, Value("select uuid from t_current"));
}

// A forgotten front UI is not taken back from the file; its row and
// configuration stay for its return, and the next registration is current.
TEST_F(StoreTest, ForgottenFrontUiLeavesThePlaceFree) {
    CFrontUIInfo a;
    a.uuid = "A";
    a.name = "a";
    a.pid = 10;
    ASSERT_EQ(0, db().Upgrade(a));
    CFrontUIConf conf;
    conf.uuid = "A";
    conf.data = "{\"k\":1}";
    ASSERT_EQ(0, db().Upgrade(conf));
    ASSERT_EQ(kMoxNotFound, db().ForgetFrontUI("B"));
    ASSERT_EQ(0, db().ForgetFrontUI("A"));

    CFrontUIInfo cur;
    EXPECT_EQ(kMoxNotFound, db().Get(cur));
    EXPECT_TRUE(db().FrontUIValid("A"));
    conf.data = "{\"k\":2}";
    EXPECT_EQ(kMoxNotCurrent, db().Upgrade(conf));
    CFrontUIInfo b = a;
    b.uuid = "B";
    ASSERT_EQ(0, db().Upgrade(b));
    ASSERT_EQ(0, db().Get(cur));
    EXPECT_EQ("B", cur.uuid);
    EXPECT_EQ("{\"k\":1}", Value("select data from t_frontui where uuid='A'"));
}

TEST_F(StoreTest, LoadAtStartTakesTheNewestFrontUiAndTheOldestOtherProduct) {
    Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,data,timestamp) values"
        "('W','w',4,4,4,NULL,300),('Y','y',2,2,2,'{\"y\":1}',100),"
        "('X','x',1,1,1,'{\"x\":1}',300),('Z','z',3,3,3,NULL,200)");
    Sql("insert into t_secsoft (uuid,name,exec,secsoft,status,ctime) values"
        "('" +
        kDef +
        "','D','/d','{\"d\":1}',3,1),('P','p','/p','{}',1,300),"
        "('Q','q','/q','{}',2,200)");
    // As a file written before the current product was recorded.
    Sql("delete from t_current");
    Restart();

    CFrontUIInfo front;
    ASSERT_EQ(0, db().Get(front));
    EXPECT_EQ("X", front.uuid);
    EXPECT_EQ("{\"x\":1}", front.data);
    CSecSoftInfo cur;
    ASSERT_EQ(0, db().Get(cur));
    EXPECT_EQ("Q", cur.uuid);
    EXPECT_EQ(2, cur.status);
    CSecSoftInfo def;
    ASSERT_EQ(0, db().GetDefSecSoft(def));
    EXPECT_EQ("D", def.name);
    EXPECT_EQ(3, def.status);

    const std::string log = Log();
    const std::vector<std::string> lines = {
        "|INFO|load FrontUI for X\n",
        "|INFO|upgrade FrontUI cache for X,rc: 0\n",
        "|INFO|load Default-SecSoft from DB for " + kDef + "\n",
        "|INFO|upgrade Default-SecSoft cache for " + kDef + ",rc: 0\n",
        "|INFO|load SecSoft for Q\n",
        "|INFO|upgrade SecSoft cache for Q,rc: 0\n"};
    for (const std::string &line : lines) EXPECT_NE(std::string::npos, log.find(line)) << line;
    EXPECT_EQ(4, Int("select count(*) from t_frontui"));
    EXPECT_EQ(3, Int("select count(*) from t_secsoft"));
}

// Another connection holds the write lock: every write fails once the busy
// timeout has passed, says why, and answers its failure code; reads go on
// (the file keeps a write-ahead log); neither the cache nor the file
// changes, and the store works again once the lock goes. A case with no
// line expects no ERROR line.
TEST_F(StoreTest, LockedDatabaseFailsEachStatementAndTheStoreGoesOn) {
    const std::string locked = ",because: database is locked\n";
    const struct {
        const char *what;
        std::function<int(CMoxDb &)> op;
        int rc;
        std::string line;
    } cases[] = {
        {"front UI read",
         [](CMoxDb &d) {
             CFrontUIInfo r;
             return d.Get(r);
         },
         -4, ""},
        {"front UI write", [](CMoxDb &d) { return d.Upgrade(Front("A")); }, -1,
         "upgrade frontUI: failed to execute sql:replace into t_frontui "
         "(uuid,name,pid,euid,loginuid,data) values(@uuid,@name,@pid,@euid,@loginuid,"
         "(select data from t_frontui where uuid=@uuid))" +
             locked},
        {"configuration write", [](CMoxDb &d) { return d.Upgrade(Conf("A", "{}")); }, -1,
         "upgrade fuiConf: failed to execute sql:update t_frontui set data=@fuiconf where "
         "uuid=@uuid" +
             locked},
        {"configuration read",
         [](CMoxDb &d) {
             CFrontUIConf c = Conf("B", "");
             return d.Get(c);
         },
         -4, ""},
        {"product read",
         [](CMoxDb &d) {
             CSecSoftInfo r;
             return d.Get(r);
         },
         -4, ""},
        {"product write", [](CMoxDb &d) { return d.Upgrade(Product("P")); }, -1,
         "upgrade secsoft: failed to execute sql:replace into t_secsoft "
         "(uuid,name,exec,secsoft,secstat,status,ctime) values(@uuid,@name,@exec,@secsoft,"
         "(select secstat from t_secsoft where uuid=@uuid),@status,"
         "(select ctime from t_secsoft where uuid=@uuid))" +
             locked},
        {"status write", [](CMoxDb &d) { return d.Upgrade(Stat("P", "{}")); }, -1,
         "upgrade secStat: failed to execute sql:update t_secsoft set secstat=@secstat where "
         "uuid=@uuid" +
             locked},
        {"product exists", [](CMoxDb &d) { return int(d.SecSoftValid("Q")); }, 0, ""},
        {"front UI delete", [](CMoxDb &d) { return d.CleanFrontUI("B"); }, -1,
         "delete CleanFrontUI failed fron table: t_frontui" + locked},
        {"product delete", [](CMoxDb &d) { return d.CleanSecInfo("Q"); }, -1,
         "delete CleanSecInfo failed fron table: t_secsoft" + locked},
        {"default record write", [](CMoxDb &d) { return d.SetDefSecSoft(Product(kDef, 3)); }, -1,
         "upgrade secsoft: failed to execute sql:replace into t_secsoft"},
    };

    {
        SQLite::Database holder(DbFile(), SQLite::OPEN_READWRITE);
        holder.exec("BEGIN EXCLUSIVE");
        for (const auto &c : cases) {
            const size_t from = Log().size();
            EXPECT_EQ(c.rc, c.op(db())) << c.what;
            const std::string added = Log().substr(from);
            if (c.line.empty())
                EXPECT_EQ(std::string::npos, added.find("|ERROR|")) << c.what << ":\n" << added;
            else
                EXPECT_NE(std::string::npos, added.find("|ERROR|" + c.line)) << c.what << ":\n"
                                                                             << added;
        }
        EXPECT_NE(std::string::npos, Log().find("|ERROR|Upgrade db failed,rc: -1\n"));
        holder.exec("ROLLBACK");
    }

    // Neither the cache nor the file took the refused first entries.
    CFrontUIInfo front;
    EXPECT_EQ(-4, db().Get(front));
    EXPECT_FALSE(db().FrontUIValid("A"));
    CSecSoftInfo cur;
    EXPECT_EQ(-4, db().Get(cur));
    EXPECT_EQ(kDef, cur.uuid);
    CSecSoftInfo def;
    EXPECT_EQ(-4, db().GetDefSecSoft(def));
    EXPECT_EQ(0, Int("select count(*) from t_frontui"));
    EXPECT_EQ(0, Int("select count(*) from t_secsoft"));

    EXPECT_EQ(0, db().Upgrade(Front("A")));
    EXPECT_EQ(0, db().Upgrade(Product("P")));
    EXPECT_EQ(1, Int("select count(*) from t_frontui where uuid='A'"));
}

// A write the file refuses leaves the cache as it was: what the store
// answers, what it stores and what it reports agree.
TEST_F(StoreTest, RefusedWritesLeaveTheCacheAsItWas) {
    ASSERT_EQ(0, db().Upgrade(Front("A")));
    ASSERT_EQ(0, db().Upgrade(Conf("A", "{\"a\":1}")));
    ASSERT_EQ(0, db().Upgrade(Product(kDef, 1, "{\"d\":1}")));
    ASSERT_EQ(0, db().Upgrade(Product("P")));
    ASSERT_EQ(0, db().Upgrade(Stat("P", "{\"p\":1}")));
    const std::string held = Held(db());
    ASSERT_EQ(
        "0 0 0 0 0 |P,av-P,/opt/P,{\"name\":\"av\"},{\"p\":1},1"
        "|" +
            kDef + ",av-" + kDef + ",/opt/" + kDef +
            ",{\"d\":1},,1"
            "|A,ui,100,{\"a\":1}|{\"a\":1}|P,{\"p\":1}",
        held);

    const struct {
        const char *what;
        std::function<int(CMoxDb &)> op;
    } cases[] = {
        {"front UI re-registration", [](CMoxDb &d) { return d.Upgrade(Front("A", "again", 7)); }},
        {"configuration", [](CMoxDb &d) { return d.Upgrade(Conf("A", "{\"a\":2}")); }},
        {"product re-registration",
         [](CMoxDb &d) { return d.Upgrade(Product("P", 1, "{\"v\":2}")); }},
        {"product update", [](CMoxDb &d) { return d.Upgrade(Product("P", 2, "{\"v\":3}")); }},
        {"status", [](CMoxDb &d) { return d.Upgrade(Stat("P", "{\"p\":2}")); }},
        {"default record", [](CMoxDb &d) { return d.SetDefSecSoft(Product(kDef, 3)); }},
        {"product removal", [](CMoxDb &d) { return d.CleanSecInfo("P"); }},
        {"front UI removal", [](CMoxDb &d) { return d.CleanFrontUI("A"); }},
    };
    SQLite::Database holder(DbFile(), SQLite::OPEN_READWRITE);
    holder.exec("BEGIN EXCLUSIVE");
    for (const auto &c : cases) {
        EXPECT_EQ(-1, c.op(db())) << c.what;
        EXPECT_EQ(held, Held(db())) << c.what;
    }
    holder.exec("ROLLBACK");
    Restart();
    EXPECT_EQ(held, Held(db()));
}

// Tables lost at run time are created again on the next statement, with
// the entries the cache holds, and the statement goes through; rows the
// file still has are kept.
TEST_F(StoreTest, LostTablesAreCreatedAgainWithTheCachedEntries) {
    const struct {
        const char *what;
        std::function<void()> lose;
        int frontRows;  // afterwards
    } cases[] = {
        {"file removed", [this] { ASSERT_EQ(0, unlink(DbFile().c_str())); }, 1},
        {"directory removed",
         [this] {
             const std::string dir = m_root.Under(vk_paths::kDbDir);
             ASSERT_EQ(0, system(("rm -rf '" + dir + "'").c_str()));
         },
         1},
        {"product table dropped", [this] { Sql("drop table t_secsoft"); }, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Sql("delete from t_frontui");
        Sql("delete from t_secsoft");
        Restart();
        ASSERT_EQ(0, db().Upgrade(Front("A")));
        ASSERT_EQ(0, db().Upgrade(Conf("A", "{\"a\":1}")));
        Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,timestamp) "
            "values('B','b',1,1,1,1)");
        ASSERT_EQ(0, db().Upgrade(Product(kDef, 1, "{\"d\":1}")));
        ASSERT_EQ(0, db().Upgrade(Product("P")));
        ASSERT_EQ(0, db().Upgrade(Stat("P", "{\"p\":1}")));
        const std::string held = Held(db());
        c.lose();

        const size_t from = Log().size();
        EXPECT_EQ(0, db().Upgrade(Stat("P", "{\"p\":2}")));
        EXPECT_NE(std::string::npos, Log().substr(from).find("schema created again"));
        EXPECT_EQ("{\"p\":2}", Value("select secstat from t_secsoft where uuid='P'"));
        EXPECT_EQ("{\"a\":1}", Value("select data from t_frontui where uuid='A'"));
        EXPECT_EQ("{\"d\":1}", Value("select secsoft from t_secsoft where uuid='" + kDef + "'"));
        EXPECT_EQ(c.frontRows, Int("select count(*) from t_frontui"));
        // What the store answers about stored front UIs follows the file.
        EXPECT_TRUE(db().FrontUIValid("A"));
        EXPECT_EQ(c.frontRows == 2, db().FrontUIValid("B"));
        EXPECT_EQ(2, Int("select count(*) from t_secsoft"));

        Restart();
        std::string expected = held;
        expected.replace(expected.find("{\"p\":1}"), 7, "{\"p\":2}");
        expected.replace(expected.find("{\"p\":1}"), 7, "{\"p\":2}");
        EXPECT_EQ(expected, Held(db()));
    }
}

// Whether a front UI is stored is answered from memory, without the file:
// right while another connection holds the file locked, and right after
// every write, delete and trim of its rows. Only a set that could not be
// read at start is read again, once the file can be.
TEST_F(StoreTest, StoredFrontUisAreKnownWithoutTheFile) {
    // Rows left at start: L0 (oldest) to L8 of euid 1000, O of another euid.
    std::string values;
    for (int i = 0; i < 9; ++i)
        values += std::string(i ? "," : "") + "('L" + std::to_string(i) + "','l',1,1000,1," +
                  std::to_string(10 + i) + ")";
    Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,timestamp) values " + values +
        ",('O','o',1,2000,1,5)");
    Restart();  // L8, the newest, is current
    ASSERT_EQ(0, db().CleanFrontUI("L1"));
    // N takes L8's place; its registration trims euid 1000 to N and the 7
    // newest others: L0 goes.
    ASSERT_EQ(0, db().ForgetFrontUI("L8"));
    ASSERT_EQ(0, db().Upgrade(Front("N")));

    const struct {
        const char *uuid;
        bool stored;
    } cases[] = {{"N", true},   {"L8", true}, {"L2", true}, {"O", true}, {"L0", false},
                 {"L1", false}, {"X", false}, {"", false},  {"n", false}};
    auto check = [&](const char *when) {
        for (const auto &c : cases)
            EXPECT_EQ(c.stored, db().FrontUIValid(c.uuid)) << when << ": " << c.uuid;
    };
    check("unlocked");
    {
        SQLite::Database holder(DbFile(), SQLite::OPEN_READWRITE);
        holder.exec("BEGIN EXCLUSIVE");
        const size_t from = Log().size();
        check("locked");
        EXPECT_EQ(std::string::npos, Log().find("|ERROR|", from)) << Log().substr(from);
        holder.exec("ROLLBACK");
    }
    EXPECT_EQ("L2,L3,L4,L5,L6,L7,L8,N,O", Value("select group_concat(uuid) from (select uuid from "
                                                "t_frontui order by uuid)"));

    // A start that could not read the rows asks the file at the next
    // question, and from then on knows them again.
    MoxDbUninit();
    {
        // Only a file in rollback-journal mode can be locked against readers.
        SQLite::Database holder(DbFile(), SQLite::OPEN_READWRITE);
        holder.exec("PRAGMA journal_mode=DELETE");
        holder.exec("BEGIN EXCLUSIVE");
        ASSERT_EQ(0, MoxDbInit());
        EXPECT_NE(std::string::npos, Log().find("|ERROR|load frontUI uuids failed fron db sql: "
                                                "select uuid from t_frontui,because: database "
                                                "is locked\n"));
        EXPECT_FALSE(db().FrontUIValid("O"));
        holder.exec("ROLLBACK");
    }
    check("read again");
}

// A start that meets a locked file goes on with the cache's defaults; the
// front UI registering afterwards still gets the configuration its row kept.
TEST_F(StoreTest, LockedDatabaseAtStartLoadsNothingAndLosesNothing) {
    ASSERT_EQ(0, db().Upgrade(Front("A")));
    ASSERT_EQ(0, db().Upgrade(Conf("A", "{\"kept\":1}")));
    ASSERT_EQ(0, db().Upgrade(Product(kDef, 3)));
    MoxDbUninit();
    {
        // Only a file in rollback-journal mode can be locked against readers.
        SQLite::Database holder(DbFile(), SQLite::OPEN_READWRITE);
        holder.exec("PRAGMA journal_mode=DELETE");
        holder.exec("BEGIN EXCLUSIVE");
        const size_t from = Log().size();
        ASSERT_EQ(0, MoxDbInit());
        const std::string added = Log().substr(from);
        for (const char *line :
             {"|ERROR|failed to exec sql: CREATE TABLE IF NOT EXISTS t_frontui",
              "|ERROR|get frontUIInfo failed fron db sql:", "|INFO|there is no frontUI info\n",
              "|ERROR|get secSoftInfo failed fron db sql:",
              "|INFO|there is no Default-SecSoft in DB\n", "|INFO|there is no SecSoft\n",
              "|INFO|mox-db init ok\n"})
            EXPECT_NE(std::string::npos, added.find(line)) << line << "\n" << added;
        holder.exec("ROLLBACK");
    }
    CSecSoftInfo def;
    EXPECT_EQ(-4, db().GetDefSecSoft(def));

    ASSERT_EQ(0, db().Upgrade(Front("A", "again")));
    CFrontUIConf conf = Conf("A", "");
    ASSERT_EQ(0, db().Get(conf));
    EXPECT_EQ("{\"kept\":1}", conf.data);
    EXPECT_EQ("{\"kept\":1}", Value("select data from t_frontui where uuid='A'"));
}

// The registry names every front UI and holds its configuration: the file
// and its journal are readable by their owner only, whatever the umask (the
// daemon runs with umask 0). A file a former build left wider is narrowed at
// start, and that is said once.
TEST(StoreFileModeTest, DatabaseAndJournalArePrivate) {
    const struct {
        const char *what;
        mode_t umask;
        int existing;  // mode of the file (and a leftover journal) before start, -1 none
    } cases[] = {
        {"created under umask 0", 0, -1},
        {"created under umask 022", 022, -1},
        {"existing 0644 under umask 0", 0, 0644},
        {"existing 0666 under umask 022", 022, 0666},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        vk_test::TempRoot root;
        vk_test::ScopedRootEnv env(root.path());
        ScopedLog log(root.Under("/store.log"));
        ASSERT_TRUE(log.ok());
        const std::string file = root.Under(vk_paths::kDbFile);
        const std::string journal = file + "-journal";
        if (c.existing >= 0) {
            ASSERT_EQ(0, system(("mkdir -p '" + root.Under(vk_paths::kDbDir) + "'").c_str()));
            for (const std::string &f : {file, journal}) {
                vk_test::WriteFile(f, "");
                ASSERT_EQ(0, chmod(f.c_str(), static_cast<mode_t>(c.existing)));
            }
        }
        vk_test::ScopedUmask mask(c.umask);
        auto modeOf = [](const std::string &path) {
            struct stat st;
            return stat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
        };
        EXPECT_EQ(0, MoxDbInit());
        EXPECT_EQ(0600, modeOf(file));
        if (c.existing < 0) {
            EXPECT_EQ(0u, vk_test::Occurrences(log.Text(), ",narrowed to ")) << log.Text();
        } else {
            for (const std::string &f : {file, journal}) {
                char line[64];
                snprintf(line, sizeof(line), " had mode %04o,narrowed to 0600\n", c.existing);
                EXPECT_EQ(1u, vk_test::Occurrences(log.Text(), "|INFO|database file " + f + line))
                    << log.Text();
            }
        }

        // The write-ahead log and its index take the mode of their file.
        EXPECT_EQ(0, Singleton<CMoxDb>::Instance()->Upgrade(Product("W")));
        EXPECT_EQ(0600, modeOf(file + "-wal"));
        EXPECT_EQ(0600, modeOf(file + "-shm"));

        // Removed at run time, the file comes back private.
        ASSERT_EQ(0, unlink(file.c_str()));
        EXPECT_EQ(0, Singleton<CMoxDb>::Instance()->Upgrade(Front("A")));
        EXPECT_EQ(0600, modeOf(file));

        // The next start has nothing to narrow.
        MoxDbUninit();
        const size_t said = vk_test::Occurrences(log.Text(), ",narrowed to ");
        EXPECT_EQ(0, MoxDbInit());
        EXPECT_EQ(said, vk_test::Occurrences(log.Text(), ",narrowed to "));
        MoxDbUninit();
    }
}

// Start-up fails cleanly when the database cannot be opened, and the store
// then refuses every operation instead of touching a missing cache.
TEST(StoreStartTest, UnopenablePathFailsStart) {
    const struct {
        const char *what;
        const char *said;  // the log's ERROR line
        std::function<void(const vk_test::TempRoot &)> spoil;
    } cases[] = {
        {"directory is a file", "|ERROR|cannot use the database directory ",
         [](const vk_test::TempRoot &r) {
             mkdir(r.Under("/etc").c_str(), 0755);
             vk_test::WriteFile(r.Under(vk_paths::kDbDir), "not a directory");
         }},
        {"database is a directory", "|ERROR|database file ",
         [](const vk_test::TempRoot &r) {
             mkdir(r.Under("/etc").c_str(), 0755);
             mkdir(r.Under(vk_paths::kDbDir).c_str(), 0755);
             mkdir(r.Under(vk_paths::kDbFile).c_str(), 0755);
         }},
    };
    for (const auto &c : cases) {
        vk_test::TempRoot root;
        vk_test::ScopedRootEnv env(root.path());
        ScopedLog log(root.Under("/store.log"));
        ASSERT_TRUE(log.ok());
        c.spoil(root);

        EXPECT_EQ(-1, MoxDbInit()) << c.what;
        EXPECT_NE(std::string::npos, log.Text().find(c.said)) << c.what;
        EXPECT_EQ(std::string::npos, log.Text().find("MoxDb init ok")) << c.what;

        CMoxDb &db = *Singleton<CMoxDb>::Instance();
        CFrontUIInfo front;
        EXPECT_EQ(-1, db.Upgrade(Front("A"))) << c.what;
        EXPECT_EQ(-1, db.Get(front)) << c.what;
        EXPECT_FALSE(db.FrontUIValid("A")) << c.what;
        EXPECT_EQ(-1, db.CleanSecInfo("P")) << c.what;
        MoxDbUninit();
    }
}

}  // namespace

// Every stored product but the default one, oldest first: what the
// liveness watcher takes up at start.
TEST_F(StoreTest, ListSecSoftsGivesEveryOtherProduct) {
    Sql("insert into t_secsoft (uuid,name,exec,secsoft,status,ctime) values"
        "('" +
        kDef +
        "','D','/d','{}',2,1),('P','p','/p','{}',1,300),('Q','q','/q','{}',2,200),"
        "('R','r','/r','{}',1,400)");
    std::vector<CSecSoftInfo> all;
    ASSERT_EQ(0, db().ListSecSofts(all));
    std::string got;
    for (const CSecSoftInfo &p : all)
        got += p.uuid + p.name + p.exec + std::to_string(p.status) + " ";
    EXPECT_EQ("Qq/q2 Pp/p1 Rr/r1 ", got);
}

// A file SQLite cannot read as a database is set aside, kept as it was for
// inspection, and a new one serves.
TEST_F(StoreTest, UnreadableFileIsSetAsideAndANewOneCreated) {
    MoxDbUninit();
    std::string junk(8192, '\0');
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 131 + 7) % 251);
    vk_test::WriteFile(DbFile(), junk);
    const size_t from = Log().size();
    const long long before = static_cast<long long>(time(nullptr));
    ASSERT_EQ(0, MoxDbInit());
    const std::string added = Log().substr(from);

    std::string aside;
    for (long long t = before; t <= before + 5 && aside.empty(); ++t)
        if (vk_test::FileExists(DbFile() + ".corrupt-" + std::to_string(t)))
            aside = DbFile() + ".corrupt-" + std::to_string(t);
    ASSERT_FALSE(aside.empty()) << added;
    EXPECT_EQ(junk, vk_test::ReadFile(aside));
    EXPECT_EQ(1u, vk_test::Occurrences(added, "|ERROR|database " + DbFile() +
                                                  " cannot be read by SQLite,renamed to " + aside +
                                                  ",a new one created\n"))
        << added;
    ASSERT_EQ(0, db().Upgrade(Product("P")));
    EXPECT_EQ(1, Int("select count(*) from t_secsoft"));
}

// A reader that holds the file for as long as it likes (a backup,
// korvanectl show) neither fails nor holds up a write: the file keeps a
// write-ahead log.
TEST_F(StoreTest, ReaderNeverFailsAWrite) {
    SQLite::Database reader(DbFile(), SQLite::OPEN_READONLY);
    reader.exec("BEGIN");
    SQLite::Statement q(reader, "select count(*) from t_secsoft");
    ASSERT_TRUE(q.executeStep());  // a read transaction, held through the writes
    EXPECT_EQ(kMoxOk, db().Upgrade(Product("R")));
    EXPECT_EQ(kMoxOk, db().Upgrade(Stat("R", "{\"r\":1}")));
    EXPECT_EQ(kMoxOk, db().CleanSecInfo("R"));
    EXPECT_EQ(kMoxOk, db().Upgrade(Product("S")));
    q.reset();
    reader.exec("COMMIT");
    EXPECT_EQ(0, Int("select count(*) from t_secsoft where uuid='R'"));
    EXPECT_EQ(1, Int("select count(*) from t_secsoft where uuid='S'"));
}

namespace {

// A small file system of its own mounted on a directory for one test
// (root only), unmounted when it goes.
class SmallMount {
public:
    SmallMount(const std::string &dir, const char *size) : m_dir(dir) {
        const std::string opts = std::string("size=") + size + ",mode=0755";
        m_ok = mount("vk-test", dir.c_str(), "tmpfs", 0, opts.c_str()) == 0;
    }
    ~SmallMount() {
        if (m_ok) umount2(m_dir.c_str(), MNT_DETACH);
    }
    bool ok() const { return m_ok; }

private:
    std::string m_dir;
    bool m_ok = false;
};

// Fills the file system that holds `path` until it has no room left.
void FillUp(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
}

}  // namespace

// With group commit, a pass's writes become durable at its end; a commit
// the file system refuses (no room left) undoes all of them, in the file and
// in what the store serves, and says so.
TEST(StoreGroupCommitTest, FailedCommitUndoesThePassInMemoryToo) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: a small tmpfs mounted for the database";
    vk_test::TempRoot root;
    vk_test::ScopedRootEnv env(root.path());
    ScopedLog log(root.Under("/store.log"));
    ASSERT_TRUE(log.ok());
    const std::string dir = root.Under(vk_paths::kDbDir);
    ASSERT_EQ(0, system(("mkdir -p '" + dir + "'").c_str()));
    SmallMount small(dir, "2m");
    if (!small.ok()) GTEST_SKIP() << "tmpfs mounts are not allowed here";
    CMoxDb &db = *Singleton<CMoxDb>::Instance();
    {
        ASSERT_EQ(0, MoxDbInit());
        ASSERT_EQ(0, db.Upgrade(Front("A")));
        ASSERT_EQ(0, db.Upgrade(Product(kDef, 1, "{\"d\":1}")));
        ASSERT_EQ(0, db.Upgrade(Product("P")));
        ASSERT_EQ(0, db.Upgrade(Stat("P", "{\"p\":1}")));
        const std::string held = Held(db);

        db.SetGroupCommit(true);
        FillUp(dir + "/filler");
        // One request that changes the status and the default record, one
        // that unregisters the product: both taken, neither committed yet.
        const std::string big = "{\"p\":\"" + std::string(256 * 1024, 'x') + "\"}";
        db.BeginRequest();
        EXPECT_EQ(kMoxOk, db.Upgrade(Stat("P", big)));
        EXPECT_EQ(kMoxOk, db.SetDefSecSoft(Product(kDef, 3, "{\"d\":2}")));
        EXPECT_EQ(kMoxOk, db.EndRequest());
        db.BeginRequest();
        EXPECT_EQ(kMoxOk, db.CleanSecInfo("P"));
        EXPECT_EQ(kMoxOk, db.EndRequest());
        EXPECT_NE(held, Held(db));

        EXPECT_FALSE(db.CommitPass());
        EXPECT_NE(std::string::npos, log.Text().find("|ERROR|commit to ")) << log.Text();
        EXPECT_EQ(held, Held(db));

        // Room again: the next pass commits.
        ASSERT_EQ(0, unlink((dir + "/filler").c_str()));
        EXPECT_EQ(kMoxOk, db.Upgrade(Stat("P", "{\"p\":2}")));
        EXPECT_TRUE(db.CommitPass());
        MoxDbUninit();
        ASSERT_EQ(0, MoxDbInit());
        std::string expected = held;
        for (int i = 0; i < 2; ++i) expected.replace(expected.find("{\"p\":1}"), 7, "{\"p\":2}");
        EXPECT_EQ(expected, Held(db));
        MoxDbUninit();
    }
}

// What a status report costs the file: the same text again writes nothing;
// the time of the report reaches the file at most once a minute of the
// clock, and at stop, while the store answers the newest at once.
TEST_F(StoreTest, RepeatedReportsWriteLittle) {
    struct FakeClock {
        FakeClock() { EXPECT_EQ(0, vk_clock_fake(1000000)); }
        ~FakeClock() { vk_clock_real(); }
    } clock;
    ASSERT_EQ(0, db().Upgrade(Product("P")));
    ASSERT_EQ(0, db().Upgrade(Stat("P", "{\"p\":1}")));
    ASSERT_EQ(0, db().RecordSecStatReport("P"));  // the first is written
    EXPECT_EQ(1, Int("select count(*) from t_product_state where uuid='P'"));

    // Changed behind the store's back: what the store writes shows.
    Sql("update t_secsoft set secstat='behind' where uuid='P'");
    Sql("delete from t_product_state");
    EXPECT_EQ(0, db().Upgrade(Stat("P", "{\"p\":1}")));
    EXPECT_EQ("behind", Value("select secstat from t_secsoft where uuid='P'"));
    vk_clock_advance_ms(59 * 1000);
    EXPECT_EQ(0, db().RecordSecStatReport("P"));
    EXPECT_EQ(0, Int("select count(*) from t_product_state"));
    CSecSoftState state;
    state.uuid = "P";
    ASSERT_EQ(0, db().GetSecSoftState(state));
    EXPECT_GE(state.last_report, time(nullptr) - 5);

    // A changed text is written; its time still waits for the minute.
    EXPECT_EQ(0, db().Upgrade(Stat("P", "{\"p\":2}")));
    EXPECT_EQ("{\"p\":2}", Value("select secstat from t_secsoft where uuid='P'"));
    EXPECT_EQ(0, db().RecordSecStatReport("P"));
    EXPECT_EQ(0, Int("select count(*) from t_product_state"));

    vk_clock_advance_ms(1000);
    EXPECT_EQ(0, db().RecordSecStatReport("P"));
    EXPECT_EQ(1, Int("select count(*) from t_product_state"));

    // Kept in memory only, then written at stop.
    Sql("delete from t_product_state");
    EXPECT_EQ(0, db().RecordSecStatReport("P"));
    EXPECT_EQ(0, Int("select count(*) from t_product_state"));
    MoxDbUninit();
    EXPECT_EQ(1, Int("select count(*) from t_product_state"));
    ASSERT_EQ(0, MoxDbInit());
}
