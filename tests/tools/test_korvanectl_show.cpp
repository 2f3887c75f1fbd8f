// korvanectl show on databases the test writes itself: one of an older
// daemon, without the tables of the current product and of the products'
// state, and ones with those tables empty or filled. No daemon runs: show
// reads only the file.
#include <SQLiteCpp/SQLiteCpp.h>
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <utility>
#include <vector>

#include "base/utils.h"
#include "proto/codec/json.h"
#include "support/temp_root.h"
#include "tools/ctl_json.h"
#include "tools/ctl_runner.h"

namespace {

using vk_test::CtlResult;
using vk_test::RunCtl;
using vk_test::Str;
using vk_test::TempRoot;

// The tables as a daemon stored them before the current product and the
// products' state were recorded.
const char kOldSchema[] =
    "CREATE TABLE t_frontui (uuid VARCHAR(36) NOT NULL, name TEXT NOT NULL, pid INT NOT NULL,"
    " euid INT NOT NULL, loginuid INT NOT NULL, data TEXT DEFAULT NULL,"
    " timestamp INTEGER NOT NULL DEFAULT (strftime('%s','now')), PRIMARY KEY(uuid));"
    "CREATE TABLE t_secsoft (uuid VARCHAR(36) NOT NULL, name TEXT NOT NULL, exec TEXT NOT NULL,"
    " secsoft TEXT NOT NULL, secstat TEXT DEFAULT NULL, status INT NOT NULL DEFAULT 1,"
    " ctime INTEGER NOT NULL DEFAULT (strftime('%s','now')),"
    " mtime INTERGER NOT NULL DEFAULT (strftime('%s','now')), PRIMARY KEY(uuid));"
    "INSERT INTO t_secsoft (uuid,name,exec,secsoft,status,ctime,mtime) VALUES"
    " ('3c9e51f2-4a7d-5b16-9e04-7d2a6c8f1b35','Ambrel','/opt/p','{}',3,100,100),"
    " ('av-1','Acme','/opt/a','{}',2,200,300),"
    " ('av-2','Other','/opt/o','{}',1,400,400);";

const char kNewTables[] =
    "CREATE TABLE t_current (slot INTEGER NOT NULL PRIMARY KEY CHECK (slot = 1),"
    " uuid VARCHAR(36) NOT NULL);"
    "CREATE TABLE t_product_state (uuid VARCHAR(36) NOT NULL PRIMARY KEY,"
    " watched INT NOT NULL DEFAULT 0, alive INT DEFAULT NULL,"
    " last_report INTEGER DEFAULT NULL);";

const long long kReport = 1796904000;

std::string Time(long long t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char buf[64];
    localtime_r(&tt, &tm);
    strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S %z", &tm);
    return buf;
}

struct ShowCase {
    const char *label;
    std::string sql;                                        // run after the old schema and its rows
    std::vector<std::string> lines;                         // parts of the readable output
    std::vector<std::pair<std::string, std::string>> json;  // path -> value
};

std::vector<ShowCase> Cases() {
    const std::string filled = std::string(kNewTables) +
                               "INSERT INTO t_current VALUES (1,'av-1');"
                               "INSERT INTO t_product_state VALUES ('av-1',1,1," +
                               std::to_string(kReport) +
                               "),('av-2',1,0,NULL),"
                               "('3c9e51f2-4a7d-5b16-9e04-7d2a6c8f1b35',0,NULL,NULL);";
    return {
        {"older database",
         "",
         {"  3c9e51f2-4a7d-5b16-9e04-7d2a6c8f1b35  Ambrel  (default product)\n",
          "exec /opt/p, status 3 (front UIs told to stop it), ",
          "exec /opt/a, status 2 (detail updated), ", "exec /opt/o, status 1 (registered), ",
          "    last report and program: not recorded (the database predates them)\n",
          "current product: not recorded (the database predates it)\n",
          "default product: Ambrel, stopped (status 3)\n"},
         {{"current", "null"},
          {"secsofts/1/current", "false"},
          {"secsofts/1/status_text", "detail updated"},
          {"secsofts/1/liveness", "null"},
          {"secsofts/1/last_report", "null"}}},
        {"tables empty",
         kNewTables,
         {"    last report: never, program: not watched (as last seen by the daemon)\n",
          "current product: not recorded\n"},
         {{"current", "null"},
          {"secsofts/1/liveness", "not watched"},
          {"secsofts/1/last_report", "null"}}},
        {"tables filled",
         filled,
         {"  av-1  Acme  (current)\n", "  av-2  Other\n",
          "    last report: " + Time(kReport) + ", program: running (as last seen by the daemon)\n",
          "    last report: never, program: not running (as last seen by the daemon)\n",
          "    last report: never, program: not watched (as last seen by the daemon)\n",
          "current product: av-1  Acme\n"},
         {{"current", "av-1"},
          {"secsofts/1/current", "true"},
          {"secsofts/1/liveness", "running"},
          {"secsofts/1/last_report", std::to_string(kReport)},
          {"secsofts/2/current", "false"},
          {"secsofts/2/liveness", "not running"},
          {"secsofts/0/liveness", "not watched"}}},
        {"current product not stored",
         std::string(kNewTables) + "INSERT INTO t_current VALUES (1,'gone');",
         {"current product: gone (not stored)\n"},
         {{"current", "gone"}}},
    };
}

TEST(CtlShowDatabase, NewerTablesAbsentEmptyOrFilled) {
    for (const ShowCase &c : Cases()) {
        SCOPED_TRACE(c.label);
        TempRoot root;
        const std::string path = root.path() + "/etc/korvane/korvaned.db";
        ASSERT_TRUE(Utils::make_parent_dirs(path));
        {
            SQLite::Database db(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            db.exec(kOldSchema);
            if (!c.sql.empty()) db.exec(c.sql);
        }
        CtlResult r = RunCtl(root.path(), {"show"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        for (const std::string &line : c.lines)
            EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
        // Every product is still shown.
        EXPECT_EQ(vk_test::Occurrences(r.out, "    detail: "), 3u);

        CtlResult j = RunCtl(root.path(), {"--json", "show"});
        ASSERT_EQ(j.exit_code, 0) << j.err;
        JsonPtr tree = json_parse(j.out);
        ASSERT_TRUE(tree) << j.out;
        for (const auto &m : c.json) EXPECT_EQ(Str(tree.get(), m.first), m.second) << m.first;
    }
}

}  // namespace
