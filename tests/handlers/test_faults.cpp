// Faults around the running daemon: the database locked by another process
// or made read-only, its file or directory gone or replaced, the log
// directory gone. A write the database refuses changes nothing: the answer,
// what the daemon serves and what the file holds agree, before and after a
// restart. A database that lost its tables gets them back, with the entries
// the daemon serves, and the write goes through.
#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/mount.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "client/korvane_client.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using korvane::Client;

namespace {

const std::string kFui = "fui-faults";
const std::string kAv = "av-faults";
const std::string kFuiBody = R"({"name":"ui","login_uid":0,"euid":0,"pid":1})";
const std::string kAvBody = R"({"name":"AV","exec":"/av"})";

// One request: the socket it goes to (front UI or security software), and
// the answer it must get.
struct Request {
    bool ui;
    std::string uuid;
    uint32_t type;
    std::optional<std::string> data;
    int answer;
};

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override { Start(); }

    void Start() {
        daemon_ = std::make_unique<vk_test::DaemonProcess>(root_.path());
        ASSERT_TRUE(daemon_->WaitListening());
        ui_ = Connect("/tmp/.zelluskkorvanefui");
        av_ = Connect("/tmp/.zelluskkorvane");
    }
    void Restart() {
        daemon_->Stop();
        Start();
    }

    std::unique_ptr<Client> Connect(const std::string &sock) {
        auto c = std::make_unique<Client>(vk_test::TryOutClient());
        EXPECT_TRUE(c->Connect("@" + root_.path() + sock)) << c->error();
        return c;
    }

    korvane::Message Ask(Client &c, const std::string &uuid, uint32_t type,
                         const std::optional<std::string> &data = std::nullopt) {
        EXPECT_TRUE(c.SendRequest(uuid, ++id_, type, data)) << c.error();
        auto m = c.ReadMessage(10000);
        while (m && !m->has_result) m = c.ReadMessage(10000);  // skip notifications
        EXPECT_TRUE(m.has_value()) << c.error();
        return m ? *m : korvane::Message();
    }
    int Send(const Request &r) { return Ask(r.ui ? *ui_ : *av_, r.uuid, r.type, r.data).result; }

    // What the front UI is served: the answers to 1001, 1002 and 1004.
    std::string Served() {
        std::string out;
        for (uint32_t type : {1001u, 1002u, 1004u}) {
            korvane::Message m = Ask(*ui_, kFui, type);
            out += std::to_string(type) + ": " + std::to_string(m.result) + " " + m.data + "\n";
        }
        return out;
    }

    std::string Dir() { return root_.path() + "/etc/korvane"; }
    std::string Db() { return Dir() + "/korvaned.db"; }
    // Every row of both tables but the times.
    std::string Stored() {
        SQLite::Database db(Db(), SQLite::OPEN_READONLY);
        std::string out;
        for (const char *sql : {"select uuid,name,pid,euid,loginuid,data from t_frontui",
                                "select uuid,name,exec,secsoft,secstat,status from t_secsoft"}) {
            SQLite::Statement q(db, std::string(sql) + " order by uuid");
            while (q.executeStep()) {
                for (int i = 0; i < q.getColumnCount(); ++i)
                    out += (q.isColumnNull(i) ? "<null>" : q.getColumn(i).getString()) + "|";
                out += "\n";
            }
        }
        return out;
    }

    vk_test::TempRoot root_;
    std::unique_ptr<vk_test::DaemonProcess> daemon_;
    std::unique_ptr<Client> ui_, av_;
    uint64_t id_ = 0;
};

// The database directory made read-only by a bind mount (root needs a
// read-only file system: permissions do not stop it). Descriptors opened
// before stay writable; the daemon must look at the path.
class ReadOnlyMount {
public:
    explicit ReadOnlyMount(const std::string &dir) : m_dir(dir) {
        m_bound = mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0;
        m_ok = m_bound &&
               mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    }
    ~ReadOnlyMount() { Release(); }
    void Release() {
        if (m_bound) umount2(m_dir.c_str(), MNT_DETACH);
        m_bound = false;
    }
    bool ok() const { return m_ok; }

private:
    std::string m_dir;
    bool m_bound = false;
    bool m_ok = false;
};

// Another connection holding an exclusive transaction: every statement of
// the daemon fails at once with "database is locked".
class LockedDatabase {
public:
    explicit LockedDatabase(const std::string &file)
        : m_db(std::make_unique<SQLite::Database>(file, SQLite::OPEN_READWRITE)) {
        m_db->exec("BEGIN EXCLUSIVE");
    }
    void Release() {
        if (m_db) m_db->exec("ROLLBACK");
        m_db.reset();
    }

private:
    std::unique_ptr<SQLite::Database> m_db;
};

enum class Refusal { kLocked, kReadOnly };

struct WriteCase {
    const char *name;
    std::vector<Request> before;  // sets the stage
    Request write;                // answers `write.answer` while refused, 0 afterwards
    const char *error_line;
    const char *served;  // to the front UI before the write, and after it was refused
};

const char kNothingServed[] = "1001: 101 \n1002: 102 \n1004: 103 \n";
const char kAvServed[] =
    "1001: 0 [{\"name\":\"AV\",\"exec\":\"/av\",\"uuid\":\"av-faults\"}]\n"
    "1002: 0 [{\"on\":0,\"uuid\":\"av-faults\"}]\n"
    "1004: 103 \n";

const Request kRegisterUi{true, kFui, 1000, kFuiBody, 0};
const Request kSaveConf{true, kFui, 1003, R"({"c":0})", 0};
const Request kRegisterAv{false, kAv, 2000, kAvBody, 0};
const Request kReportStat{false, kAv, 2002, R"({"on":0})", 0};

const WriteCase kWriteCases[] = {
    {"FrontUiRegistration",
     {},
     {true, kFui, 1000, kFuiBody, 1},
     "|ERROR|upgrade frontUI: failed to execute sql:",
     "1001: 100 \n1002: 100 \n1004: 100 \n"},
    {"ConfigurationSave",
     {kRegisterUi, kSaveConf},
     {true, kFui, 1003, R"({"c":1})", 1},
     "|ERROR|upgrade fuiConf: failed to execute sql:",
     "1001: 101 \n1002: 102 \n1004: 0 {\"c\":0,\"uuid\":\"fui-faults\"}\n"},
    {"ProductRegistration",
     {kRegisterUi},
     {false, kAv, 2000, kAvBody, 1},
     "|ERROR|upgrade secsoft: failed to execute sql:",
     kNothingServed},
    {"ProductUnregistration",
     {kRegisterUi, kRegisterAv, kReportStat},
     {false, kAv, 2001, std::nullopt, 1},
     "|ERROR|delete CleanSecInfo failed fron table: t_secsoft",
     kAvServed},
    {"StatusReport",
     {kRegisterUi, kRegisterAv, kReportStat},
     {false, kAv, 2002, R"({"on":1})", 1},
     "|ERROR|upgrade secStat: failed to execute sql:",
     kAvServed},
    {"DetailUpdate",
     {kRegisterUi, kRegisterAv, kReportStat},
     {false, kAv, 2003, R"({"name":"AV","exec":"/av","v":2})", 1},
     "|ERROR|upgrade secsoft: failed to execute sql:",
     kAvServed},
};

// Test names and failure messages show the case by name.
void PrintTo(Refusal r, std::ostream *os) {
    *os << (r == Refusal::kLocked ? "Locked" : "ReadOnly");
}
void PrintTo(const WriteCase &c, std::ostream *os) {
    *os << c.name;
}

class RefusedWriteTest : public DaemonTest,
                         public ::testing::WithParamInterface<std::tuple<Refusal, WriteCase>> {};

TEST_P(RefusedWriteTest, ChangesNothingAnywhere) {
    const Refusal refusal = std::get<0>(GetParam());
    const WriteCase &c = std::get<1>(GetParam());
    if (refusal == Refusal::kReadOnly && geteuid() != 0)
        GTEST_SKIP() << "needs root: a read-only bind mount of the database directory";
    for (const Request &r : c.before) ASSERT_EQ(r.answer, Send(r)) << r.type;
    const std::string served = Served();
    ASSERT_EQ(c.served, served);
    const std::string stored = Stored();

    std::unique_ptr<ReadOnlyMount> ro;
    std::unique_ptr<LockedDatabase> lock;
    if (refusal == Refusal::kReadOnly) {
        ro = std::make_unique<ReadOnlyMount>(Dir());
        if (!ro->ok()) GTEST_SKIP() << "read-only bind mounts are not allowed here";
    } else {
        lock = std::make_unique<LockedDatabase>(Db());
    }
    EXPECT_EQ(c.write.answer, Send(c.write));
    // The daemon's connection stays open: a read-only mount is seen at the
    // path before the write, not by the statement.
    EXPECT_TRUE(daemon_->WaitLog(refusal == Refusal::kReadOnly
                                     ? "cannot be written,because: Read-only file system"
                                     : c.error_line));
    EXPECT_EQ(served, Served()) << "served while refused";
    if (ro) ro->Release();
    if (lock) lock->Release();
    EXPECT_EQ(stored, Stored());

    Restart();
    EXPECT_EQ(served, Served()) << "served after a restart";

    // The same write goes through now, and shows: the checks above are
    // not blind.
    EXPECT_EQ(0, Send(c.write));
    EXPECT_NE(served, Served());
    EXPECT_NE(stored, Stored());
}

INSTANTIATE_TEST_SUITE_P(EveryWrite, RefusedWriteTest,
                         ::testing::Combine(::testing::Values(Refusal::kLocked, Refusal::kReadOnly),
                                            ::testing::ValuesIn(kWriteCases)),
                         [](const ::testing::TestParamInfo<RefusedWriteTest::ParamType> &info) {
                             return ::testing::PrintToString(std::get<0>(info.param)) +
                                    std::get<1>(info.param).name;
                         });

// A front UI with a configuration and a product with a status, registered.
class FaultTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        for (const Request &r : {kRegisterUi, kSaveConf, kRegisterAv, kReportStat})
            ASSERT_EQ(r.answer, Send(r)) << r.type;
    }
};

// The tables gone at run time: the next statement creates them again, with
// the entries the daemon serves, and goes through.
TEST_F(FaultTest, LostTablesAreCreatedAgainWithWhatIsServed) {
    const struct {
        const char *what;
        std::function<void()> lose;
    } cases[] = {
        {"file removed", [this] { ASSERT_EQ(0, unlink(Db().c_str())); }},
        {"directory removed", [this] { ASSERT_EQ(0, system(("rm -rf '" + Dir() + "'").c_str())); }},
        {"file replaced by an empty database",
         [this] {
             const std::string fresh = Dir() + "/fresh.db";
             SQLite::Database(fresh, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE)
                 .exec("PRAGMA user_version=7");
             ASSERT_EQ(0, rename(fresh.c_str(), Db().c_str()));
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, Send(kSaveConf));
        ASSERT_EQ(0, Send(kReportStat));
        const std::string stored = Stored();
        const size_t logged = vk_test::Occurrences(daemon_->Log(), "schema created again");
        c.lose();

        EXPECT_EQ(0, Send({false, kAv, 2002, R"({"on":2})", 0}));
        EXPECT_EQ(logged + 1, vk_test::Occurrences(daemon_->Log(), "schema created again"));
        EXPECT_EQ(0, Send({true, kFui, 1003, R"({"c":2})", 0}));
        std::string now = stored;
        for (auto [from, to] : {std::pair<std::string, std::string>{"\"on\":\t0", "\"on\":\t2"},
                                {"\"c\":\t0", "\"c\":\t2"}}) {
            size_t at = now.find(from);
            ASSERT_NE(std::string::npos, at) << now;
            now.replace(at, from.size(), to);
        }
        EXPECT_EQ(now, Stored());

        Restart();
        EXPECT_EQ(
            "1001: 0 [{\"name\":\"AV\",\"exec\":\"/av\",\"uuid\":\"av-faults\"}]\n"
            "1002: 0 [{\"on\":2,\"uuid\":\"av-faults\"}]\n"
            "1004: 0 {\"c\":2,\"uuid\":\"fui-faults\"}\n",
            Served());
    }
    // An unregistration after the loss is one the front UIs hear of.
    ASSERT_EQ(0, unlink(Db().c_str()));
    EXPECT_EQ(0, Send({false, kAv, 2001, std::nullopt, 0}));
    EXPECT_EQ(std::string::npos, Stored().find(kAv));
}

TEST_F(FaultTest, LogDirectoryGoneIsRecreated) {
    ASSERT_EQ(system(("rm -rf '" + root_.path() + "/var/log'").c_str()), 0);
    // Requests are served meanwhile; within about a second the log is
    // opened anew and receives the next lines.
    EXPECT_TRUE(vk_test::WaitFor([&] {
        if (Ask(*ui_, kFui, 1004).result != 0) return false;
        auto fresh = Connect("/tmp/.zelluskkorvane");
        return daemon_->Log().find("try to handle client") != std::string::npos;
    }));
}

}  // namespace
