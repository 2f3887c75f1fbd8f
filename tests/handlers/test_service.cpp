// The service end to end: the real daemon under a temporary root, spoken to
// through the client library on both sockets.
#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "client/korvane_client.h"
#include "db/records.h"
#include "support/as_user.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using korvane::Client;
using korvane::Endpoint;
using korvane::Message;

namespace {

const std::string kDef = kDefSecSoftUuid;
const std::string kFui = "fui-0001";
const std::string kAv = "av-0001";
const std::string kAvBody = R"({"name":"AV","exec":"/opt/av/av"})";
const std::string kAvStored = R"({"name":"AV","exec":"/opt/av/av","uuid":"av-0001"})";
const std::string kFuiBody = R"({"name":"ui","login_uid":1000,"euid":1000,"pid":4242})";

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { Start(); }

    void Start() {
        daemon_ = std::make_unique<vk_test::DaemonProcess>(root_.path());
        ASSERT_TRUE(daemon_->WaitListening());
    }

    // A connected client; the root is passed explicitly so that the test
    // process itself needs no environment.
    std::unique_ptr<Client> Connect(Endpoint ep) {
        auto c = vk_test::TryOutConnect(root_.path(), ep);
        // One round trip: the daemon has accepted the connection once it
        // answers, so a later broadcast reaches it.
        EXPECT_EQ(Result(*c, "ping", 1004), 100);
        return c;
    }

    Message Ask(Client &c, const std::string &uuid, uint32_t type,
                const std::optional<std::string> &data = std::nullopt) {
        uint64_t id = ++next_id_;
        EXPECT_TRUE(c.SendRequest(uuid, id, type, data)) << c.error();
        // A front UI also receives notifications; they are not the reply.
        auto m = c.ReadMessage(5000);
        while (m && !m->has_result) m = c.ReadMessage(5000);
        EXPECT_TRUE(m.has_value()) << "no reply to type " << type << ": " << c.error();
        if (!m) return Message();
        EXPECT_TRUE(m->has_result);
        EXPECT_EQ(m->id, id);
        EXPECT_EQ(m->type, type);
        EXPECT_EQ(m->uuid, uuid);
        return *m;
    }

    int Result(Client &c, const std::string &uuid, uint32_t type,
               const std::optional<std::string> &data = std::nullopt) {
        return Ask(c, uuid, type, data).result;
    }

    Message Note(Client &watcher) {
        auto m = watcher.ReadMessage(5000);
        EXPECT_TRUE(m.has_value()) << "no notification: " << watcher.error();
        if (!m) return Message();
        EXPECT_FALSE(m->has_result) << m->json;
        return *m;
    }

    // The database as the daemon left it.
    int StoredStatus(const std::string &uuid) {
        SQLite::Database db(root_.path() + "/etc/korvane/korvaned.db", SQLite::OPEN_READONLY);
        SQLite::Statement q(db, "select status from t_secsoft where uuid=?");
        q.bind(1, uuid);
        return q.executeStep() ? q.getColumn(0).getInt() : -1;
    }

    std::string Db() const { return root_.path() + "/etc/korvane/korvaned.db"; }
    void Sql(const std::string &sql) {
        SQLite::Database db(Db(), SQLite::OPEN_READWRITE);
        db.exec(sql);
    }
    // The first column of the first row as text ("" without a row).
    std::string Sql1(const std::string &sql) {
        SQLite::Database db(Db(), SQLite::OPEN_READONLY);
        SQLite::Statement q(db, sql);
        return q.executeStep() ? q.getColumn(0).getString() : std::string();
    }
    static long long FileSize(const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    }

    vk_test::TempRoot root_;
    std::unique_ptr<vk_test::DaemonProcess> daemon_;
    uint64_t next_id_ = 100;
};

TEST_F(ServiceTest, FrontUiLife) {
    auto ui = Connect(Endpoint::kFrontUi);
    // Unknown front UI: queries answer 100, a save answers 3.
    EXPECT_EQ(Result(*ui, kFui, 1001), 100);
    EXPECT_EQ(Result(*ui, kFui, 1002), 100);
    EXPECT_EQ(Result(*ui, kFui, 1004), 100);
    EXPECT_EQ(Result(*ui, kFui, 1003, R"({"a":1})"), 3);

    struct BodyCase {
        std::optional<std::string> body;
        int result;
    };
    const BodyCase bodies[] = {
        {std::nullopt, 3},
        {R"({"name":"ui","login_uid":1000,"euid":1000})", 3},
        {R"({"name":"ui","euid":1000,"pid":1})", 3},
        {R"({"name":"ui","login_uid":1000,"euid":1000,"pid":"1"})", 3},
        {R"({"name":7,"login_uid":1000,"euid":1000,"pid":1})", 3},
        {R"(["name","ui"])", 3},
        {kFuiBody, 0},
    };
    for (const auto &b : bodies)
        EXPECT_EQ(Result(*ui, kFui, 1000, b.body), b.result) << b.body.value_or("none");

    EXPECT_EQ(Result(*ui, kFui, 1004), 103) << "no configuration saved yet";
    EXPECT_EQ(Result(*ui, kFui, 1002), 102) << "no status reported yet";
    EXPECT_EQ(Result(*ui, kFui, 1001), 101) << "no product at all";

    EXPECT_EQ(Result(*ui, kFui, 1003, R"({"theme":"dark"})"), 0);
    Message conf = Ask(*ui, kFui, 1004);
    EXPECT_EQ(conf.result, 0);
    EXPECT_EQ(conf.data, R"({"theme":"dark","uuid":"fui-0001"})");

    // Re-registration keeps the configuration.
    EXPECT_EQ(Result(*ui, kFui, 1000, kFuiBody), 0);
    EXPECT_EQ(Ask(*ui, kFui, 1004).data, R"({"theme":"dark","uuid":"fui-0001"})");

    // A second front UI answers 104 and stays unknown, root's too unless it
    // asks to take the place (tests/handlers/test_access.cpp shows users).
    auto other = Connect(Endpoint::kFrontUi);
    EXPECT_EQ(Result(*other, "fui-0002", 1000, kFuiBody), 104);
    EXPECT_EQ(Result(*other, "fui-0002", 1004), 100);
    if (geteuid() != 0) return;
    const std::string replacing = std::string(kFuiBody).insert(1, R"("replace":true,)");
    EXPECT_EQ(Result(*other, "fui-0002", 1000, replacing), 0);
    EXPECT_EQ(Result(*other, "fui-0002", 1004), 103);
}

// Registrations and saves answered with a failure store nothing, however
// many and however large: the file neither grows nor gains a row, and after
// a restart the front UI that was current is current again. Root's
// registrations take the place instead, so run as root only the saves are
// tried here (tests/db/test_store.cpp refuses both in process).
TEST_F(ServiceTest, FailedFrontUiWritesStoreNothing) {
    // The current front UI declares this process, so that it stays current
    // across the restart below.
    const std::string live = R"({"name":"ui","login_uid":1000,"euid":)" +
                             std::to_string(geteuid()) + R"(,"pid":)" + std::to_string(getpid()) +
                             "}";
    {
        auto first = Connect(Endpoint::kFrontUi);
        EXPECT_EQ(Result(*first, kFui, 1000, live), 0);
        EXPECT_EQ(Result(*first, kFui, 1003, R"({"k":"v"})"), 0);
    }
    // A row an older build stored for a front UI that never was current,
    // found by the daemon at its start.
    Sql("insert into t_frontui (uuid,name,pid,euid,loginuid,timestamp) "
        "values('legacy','l',1,1000,1000,1)");
    daemon_->Stop();
    Start();
    EXPECT_TRUE(daemon_->WaitLog("load FrontUI for " + kFui));
    auto ui = Connect(Endpoint::kFrontUi);
    auto intruder = Connect(Endpoint::kFrontUi);

    const std::string big = R"({"pad":")" + std::string(4000, 'x') + "\"}";
    const std::string bigReg =
        R"({"name":")" + std::string(4000, 'n') + R"(","login_uid":1000,"euid":1000,"pid":1})";
    const struct {
        const char *what;
        std::string uuid;  // "#" is replaced by a counter
        uint32_t type;
        std::string body;
        int result;
    } cases[] = {
        {"registration under a new uuid each time", "flood-#", 1000, bigReg, 104},
        {"registration of the stored row", "legacy", 1000, bigReg, 104},
        {"save from the stored row", "legacy", 1003, big, 1},
    };
    const std::string rows = Sql1(
        "select group_concat(uuid||name||ifnull(data,'-')||timestamp) "
        "from (select * from t_frontui order by uuid)");
    const long long size = FileSize(Db());
    int n = 0;
    for (const auto &c : cases) {
        if (c.type == 1000 && geteuid() == 0) {
            // Root's registration would replace the current front UI: as
            // root, the intruder is nobody declaring itself.
            const std::string name = "@" + root_.path() + "/tmp/.zelluskkorvanefui";
            auto flood = [&, uuid0 = c.uuid] {
                Client other = vk_test::TryOutClient();
                if (!other.Connect(name)) return std::string("connect failed");
                const std::string body = R"({"name":")" + std::string(4000, 'n') +
                                         R"(","login_uid":65534,"euid":65534,"pid":)" +
                                         std::to_string(getpid()) + "}";
                std::string results;
                for (int i = 0; i < 30; i++) {
                    std::string uuid = uuid0;
                    if (uuid.back() == '#') uuid.replace(uuid.size() - 1, 1, std::to_string(i));
                    auto m = other.SendRequest(uuid, 1 + i, 1000, body) ? other.ReadMessage(5000)
                                                                        : std::nullopt;
                    results += (m ? std::to_string(m->result) : std::string("none")) + " ";
                }
                return results;
            };
            std::optional<std::string> got = vk_test::RunAs(vk_test::kNobodyIdentity, flood);
            std::string expected;
            for (int i = 0; i < 30; i++) expected += std::to_string(c.result) + " ";
            ASSERT_TRUE(got.has_value()) << c.what;
            EXPECT_EQ(*got, expected) << c.what;
        } else {
            for (int i = 0; i < 30; i++) {
                std::string uuid = c.uuid;
                if (uuid.back() == '#') uuid.replace(uuid.size() - 1, 1, std::to_string(n++));
                ASSERT_EQ(Result(*intruder, uuid, c.type, c.body), c.result) << c.what;
            }
        }
        EXPECT_EQ(Sql1("select group_concat(uuid||name||ifnull(data,'-')||timestamp) "
                       "from (select * from t_frontui order by uuid)"),
                  rows)
            << c.what;
        EXPECT_EQ(FileSize(Db()), size) << c.what;
    }
    EXPECT_EQ(Result(*intruder, "flood-0", 1004), 100);

    // The current front UI registers again, then the daemon restarts: it
    // is the one loaded, not a row left by an older build.
    EXPECT_EQ(Result(*ui, kFui, 1000, live), 0);
    ui.reset();
    intruder.reset();
    daemon_->Stop();
    Start();
    EXPECT_TRUE(daemon_->WaitLog("load FrontUI for " + kFui));
    ui = Connect(Endpoint::kFrontUi);
    EXPECT_EQ(Ask(*ui, kFui, 1004).data, R"({"k":"v","uuid":"fui-0001"})");
    if (geteuid() != 0) {
        EXPECT_EQ(Result(*ui, "flood-1", 1000, kFuiBody), 104);
    }
    EXPECT_EQ(Result(*ui, kFui, 1000, kFuiBody), 0);
}

// Under umask 0 (as in daemon mode) the database and the log are created
// readable by their owner only; a log a former build left readable by all
// is narrowed, and that is said in it.
TEST(ServiceFiles, PrivateUnderUmaskZero) {
    vk_test::TempRoot root;
    const std::string log = root.path() + "/var/log/veskkorvaned.log";
    ASSERT_EQ(system(("mkdir -p '" + root.path() + "/var/log'").c_str()), 0);
    vk_test::WriteFile(log, "");
    ASSERT_EQ(chmod(log.c_str(), 0644), 0);
    const mode_t old_mask = umask(0);
    auto daemon = std::make_unique<vk_test::DaemonProcess>(root.path());
    umask(old_mask);
    ASSERT_TRUE(daemon->WaitListening());
    EXPECT_TRUE(daemon->WaitLog("|INFO|log file " + log + " had mode 0644,narrowed to 0600\n"));
    for (const std::string &f : {log, root.path() + "/etc/korvane/korvaned.db"}) {
        struct stat st;
        ASSERT_EQ(stat(f.c_str(), &st), 0) << f;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << f;
    }
}

TEST_F(ServiceTest, ProductLifeAndDefaultArbitration) {
    auto watcher = Connect(Endpoint::kFrontUi);
    auto ui = Connect(Endpoint::kFrontUi);
    auto av = Connect(Endpoint::kSecSoft);
    auto def = Connect(Endpoint::kSecSoft);

    // No default record yet: a registration posts only 1500.
    EXPECT_EQ(Result(*av, kAv, 2000, kAvBody), 0);
    Message n = Note(*watcher);
    EXPECT_EQ(n.type, 1500u);
    EXPECT_EQ(n.uuid, kAv);
    EXPECT_EQ(n.data, kAvStored);
    uint64_t first_id = n.id;

    // A second product is stored, answers 501 and posts nothing; a status
    // from it answers 0 and posts nothing either. The active product's
    // status is posted.
    EXPECT_EQ(Result(*av, "q-0001", 2000, R"({"name":"Q","exec":"/q"})"), 501);
    EXPECT_EQ(Result(*av, "q-0001", 2002, R"({"on":false})"), 0);
    EXPECT_EQ(Result(*av, "nobody", 2002, R"({"on":true})"), 101);
    EXPECT_EQ(Result(*av, kAv, 2002, R"({"on":true})"), 0);
    n = Note(*watcher);
    EXPECT_EQ(n.type, 1501u) << "nothing was posted before the active product's status";
    EXPECT_EQ(n.id, first_id + 1) << "ids are consecutive";
    EXPECT_EQ(n.data, R"({"on":true,"uuid":"av-0001"})");

    // Bad bodies answer 3 and store nothing.
    EXPECT_EQ(Result(*av, "bad", 2000, R"({"name":"x"})"), 3);
    EXPECT_EQ(Result(*av, "bad", 2000, R"({"name":1,"exec":"/x"})"), 3);
    EXPECT_EQ(Result(*av, "bad", 2000), 3);
    EXPECT_EQ(Result(*av, "bad", 2001), 500);

    // The front UI sees the active product.
    EXPECT_EQ(Result(*ui, kFui, 1000, kFuiBody), 0);
    Message detail = Ask(*ui, kFui, 1001);
    EXPECT_EQ(detail.result, 0);
    EXPECT_EQ(detail.data, "[" + kAvStored + "]");
    EXPECT_EQ(Ask(*ui, kFui, 1002).data, R"([{"on":true,"uuid":"av-0001"}])");

    // Unregistering: 1502 only, since the default never registered.
    EXPECT_EQ(Result(*av, "nobody", 2001), 500);
    EXPECT_EQ(Result(*av, kAv, 2001), 0);
    n = Note(*watcher);
    EXPECT_EQ(n.type, 1502u);
    EXPECT_EQ(n.uuid, kAv);
    EXPECT_FALSE(n.has_data);

    // The default product registers itself: 1500, no stop; its status is
    // kept in its record.
    const std::string def_body = R"({"name":"Ambrel","exec":"/opt/palemoss/palemoss"})";
    EXPECT_EQ(Result(*def, kDef, 2000, def_body), 0);
    n = Note(*watcher);
    EXPECT_EQ(n.type, 1500u);
    EXPECT_EQ(n.uuid, kDef);
    EXPECT_EQ(Result(*def, kDef, 2002, R"({"def":1})"), 0);
    EXPECT_EQ(Note(*watcher).type, 1501u);
    EXPECT_EQ(StoredStatus(kDef), 1);

    // Another product registers while a front UI is known: stop the default
    // (1504 with its detail), then 1500, consecutive ids.
    EXPECT_EQ(Result(*av, kAv, 2000, kAvBody), 0);
    Message stop = Note(*watcher);
    Message reg = Note(*watcher);
    EXPECT_EQ(stop.type, 1504u);
    EXPECT_EQ(stop.uuid, kDef);
    // Its name and program are the daemon's settings (the built-in ones
    // here), whatever it registered with.
    EXPECT_EQ(stop.data, std::string(R"({"name":")") + kDefSecSoftName +
                             R"(","exec":"/opt/palemoss/palemoss","uuid":")" + kDef + "\"}");
    EXPECT_EQ(reg.type, 1500u);
    EXPECT_EQ(reg.id, stop.id + 1);
    EXPECT_EQ(StoredStatus(kDef), 3);

    // Registering again: 1500 only; the default is already stopped.
    EXPECT_EQ(Result(*av, kAv, 2000, kAvBody), 0);
    EXPECT_EQ(Note(*watcher).type, 1500u);
    EXPECT_TRUE(daemon_->WaitLog("has been stopped,so we don't do it again"));

    // Unregistering: 1502, start the default (1503), its status (1501).
    EXPECT_EQ(Result(*av, kAv, 2001), 0);
    Message gone = Note(*watcher), start = Note(*watcher), stat = Note(*watcher);
    EXPECT_EQ(gone.type, 1502u);
    EXPECT_EQ(start.type, 1503u);
    EXPECT_EQ(start.uuid, kDef);
    EXPECT_EQ(stat.type, 1501u);
    EXPECT_EQ(stat.data, R"({"def":1,"uuid":")" + kDef + "\"}");
    EXPECT_EQ(start.id, gone.id + 1);
    EXPECT_EQ(stat.id, start.id + 1);
    EXPECT_EQ(StoredStatus(kDef), 2);

    // Unregistering the default uuid deletes its row and never posts 1502;
    // the next notification is the default's registration below.
    EXPECT_EQ(Result(*def, kDef, 2001), 0);
    EXPECT_EQ(StoredStatus(kDef), -1);
    EXPECT_EQ(Result(*def, kDef, 2000, def_body), 0);
    EXPECT_EQ(Note(*watcher).type, 1500u);
}

TEST_F(ServiceTest, UpdateAndStatusOfInactiveOrNewProducts) {
    auto watcher = Connect(Endpoint::kFrontUi);
    auto av = Connect(Endpoint::kSecSoft);
    // An update from a product never registered is taken as its
    // registration: with none active, it becomes the active one.
    EXPECT_EQ(Result(*av, kAv, 2003, kAvBody), 0);
    Message n = Note(*watcher);
    EXPECT_EQ(n.type, 1500u);
    EXPECT_EQ(n.data, kAvStored);
    // While it is active, another product's first update is stored and
    // answered as a registration would be: not the active one.
    EXPECT_EQ(Result(*av, "q-0001", 2003, R"({"name":"Q","exec":"/q"})"), 501);
    EXPECT_EQ(Result(*av, "q-0001", 2001), 0) << "stored, so it can unregister";
    EXPECT_EQ(Note(*watcher).type, 1502u) << "nothing was posted for the inactive update";
    EXPECT_EQ(Result(*av, kAv, 2003, R"({"name":"AV"})"), 3);
}

// A registration reaches every front UI still there, whether it came from
// the product socket or from a front-UI socket whose peer hangs up before
// the reply; a front UI gone before it is skipped.
TEST_F(ServiceTest, BroadcastReachesEveryFrontUiLeft) {
    const struct {
        const char *name;
        Endpoint door;
        bool hangs_up;  // the requester closes before its reply
    } cases[] = {
        {"product socket", Endpoint::kSecSoft, false},
        {"front-UI socket, requester hangs up", Endpoint::kFrontUi, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto a = Connect(Endpoint::kFrontUi);
        auto b = Connect(Endpoint::kFrontUi);
        auto d = Connect(Endpoint::kFrontUi);
        b->Close();
        auto requester = Connect(c.door);
        if (c.hangs_up) {
            ASSERT_TRUE(requester->SendRequest(kAv, 1, 2000, kAvBody));
            requester.reset();
        } else {
            EXPECT_EQ(Result(*requester, kAv, 2000, kAvBody), 0);
        }
        for (Client *ui : {a.get(), d.get()}) {
            Message n = Note(*ui);
            EXPECT_EQ(n.type, 1500u);
            EXPECT_EQ(n.uuid, kAv);
        }
        auto ui = Connect(Endpoint::kFrontUi);
        EXPECT_EQ(Result(*ui, kFui, 1000, kFuiBody), 0) << "the daemon still serves";
    }
}

TEST_F(ServiceTest, RestartBringsTheRegistryBack) {
    {
        auto ui = Connect(Endpoint::kFrontUi);
        auto av = Connect(Endpoint::kSecSoft);
        EXPECT_EQ(Result(*ui, kFui, 1000, kFuiBody), 0);
        EXPECT_EQ(Result(*ui, kFui, 1003, R"({"k":"v"})"), 0);
        EXPECT_EQ(Result(*av, kAv, 2000, kAvBody), 0);
        EXPECT_EQ(Result(*av, kAv, 2002, R"({"ok":1})"), 0);
        EXPECT_EQ(Result(*av, "later", 2000, R"({"name":"L","exec":"/l"})"), 501);
    }
    daemon_->Stop();
    Start();
    EXPECT_TRUE(daemon_->WaitLog("load FrontUI for fui-0001"));
    EXPECT_TRUE(daemon_->WaitLog("load SecSoft for av-0001"));
    auto ui = Connect(Endpoint::kFrontUi);
    EXPECT_EQ(Ask(*ui, kFui, 1004).data, R"({"k":"v","uuid":"fui-0001"})");
    EXPECT_EQ(Ask(*ui, kFui, 1001).data, "[" + kAvStored + "]");
    EXPECT_EQ(Ask(*ui, kFui, 1002).data, R"([{"ok":1,"uuid":"av-0001"}])");
}

TEST_F(ServiceTest, PeersAreIdentifiedAndMisdeclaredFrontUisFlagged) {
    auto ui = Connect(Endpoint::kFrontUi);
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    std::string who = ",pid: " + std::to_string(getpid()) + ",uid: " + std::to_string(geteuid()) +
                      ",gid: " + std::to_string(getegid()) + ",exe: " + exe + "\n";
    EXPECT_TRUE(daemon_->WaitLog(who)) << "each connection's peer is logged";

    std::string honest = R"({"name":"ui","login_uid":0,"euid":)" + std::to_string(geteuid()) +
                         R"(,"pid":)" + std::to_string(getpid()) + "}";
    EXPECT_EQ(Result(*ui, "honest", 1000, honest), 0);
    // Root's registration that asks takes the place; anyone else's gets 104.
    EXPECT_EQ(Result(*ui, "liar", 1000,
                     R"({"name":"ui","login_uid":0,"euid":4321,"pid":1,"replace":true})"),
              geteuid() == 0 ? 0 : 104);
    EXPECT_TRUE(
        daemon_->WaitLog("|ERROR|frontUI register uuid: liar declares pid: 1,euid: 4321,"
                         "but its peer is pid: " +
                         std::to_string(getpid())));
    EXPECT_EQ(daemon_->Log().find("uuid: honest declares"), std::string::npos);
}

}  // namespace
