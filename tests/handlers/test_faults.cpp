// Faults around the running daemon: the database locked by another process,
// its directory gone, the log directory gone. The daemon keeps serving from
// memory, answers with the failure codes, logs, and recovers afterwards.
#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/mount.h>

#include <memory>
#include <string>

#include "client/korvane_client.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using korvane::Client;

namespace {

const std::string kFui = "fui-faults";
const std::string kAv = "av-faults";

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        daemon_ = std::make_unique<vk_test::DaemonProcess>(root_.path());
        ASSERT_TRUE(daemon_->WaitListening());
        ui_ = Connect("/tmp/.zelluskkorvanefui");
        av_ = Connect("/tmp/.zelluskkorvane");
        ASSERT_EQ(Ask(*ui_, kFui, 1000, R"({"name":"ui","login_uid":0,"euid":0,"pid":1})").result,
                  0);
        ASSERT_EQ(Ask(*av_, kAv, 2000, R"({"name":"AV","exec":"/av"})").result, 0);
    }

    std::unique_ptr<Client> Connect(const std::string &sock) {
        auto c = std::make_unique<Client>();
        EXPECT_TRUE(c->Connect("@" + root_.path() + sock)) << c->error();
        return c;
    }

    korvane::Message Ask(Client &c, const std::string &uuid, uint32_t type,
                         const std::optional<std::string> &data = std::nullopt) {
        EXPECT_TRUE(c.SendRequest(uuid, ++id_, type, data)) << c.error();
        auto m = c.ReadMessage(10000);
        while (m && !m->has_result) m = c.ReadMessage(10000);
        EXPECT_TRUE(m.has_value()) << c.error();
        return m ? *m : korvane::Message();
    }

    std::string Db() { return root_.path() + "/etc/korvane/korvaned.db"; }

    vk_test::TempRoot root_;
    std::unique_ptr<vk_test::DaemonProcess> daemon_;
    std::unique_ptr<Client> ui_, av_;
    uint64_t id_ = 0;
};

TEST_F(FaultTest, LockedDatabaseFailsWritesAtOnceServesFromMemoryAndRecovers) {
    {
        SQLite::Database holder(Db(), SQLite::OPEN_READWRITE);
        holder.exec("BEGIN EXCLUSIVE");
        EXPECT_EQ(Ask(*av_, kAv, 2002, R"({"on":1})").result, 1);
        EXPECT_EQ(Ask(*ui_, kFui, 1003, R"({"c":1})").result, 1);
        // The cache took both; queries are answered from memory.
        EXPECT_EQ(Ask(*ui_, kFui, 1002).data, R"([{"on":1,"uuid":"av-faults"}])");
        EXPECT_EQ(Ask(*ui_, kFui, 1001).result, 0);
        EXPECT_TRUE(daemon_->WaitLog("|ERROR|upgrade secStat: failed to execute sql:"));
        EXPECT_TRUE(daemon_->WaitLog("|ERROR|upgrade fuiConf: failed to execute sql:"));
        holder.exec("ROLLBACK");
    }
    EXPECT_EQ(Ask(*av_, kAv, 2002, R"({"on":2})").result, 0);
    SQLite::Database db(Db(), SQLite::OPEN_READONLY);
    SQLite::Statement q(db, "select secstat from t_secsoft where uuid='av-faults'");
    ASSERT_TRUE(q.executeStep());
    EXPECT_NE(q.getColumn(0).getString().find("\"on\":\t2"), std::string::npos)
        << q.getColumn(0).getString();
}

TEST_F(FaultTest, DatabaseDirectoryGoneAndBack) {
    std::string dir = root_.path() + "/etc/korvane";
    ASSERT_EQ(rename(dir.c_str(), (dir + ".away").c_str()), 0);
    EXPECT_EQ(Ask(*ui_, kFui, 1003, R"({"c":"lost"})").result, 1);
    EXPECT_EQ(Ask(*ui_, kFui, 1004).data, R"({"c":"lost","uuid":"fui-faults"})")
        << "answered from memory";
    EXPECT_TRUE(daemon_->WaitLog("|ERROR|upgrade fuiConf: failed to execute sql:"));

    ASSERT_EQ(rename((dir + ".away").c_str(), dir.c_str()), 0);
    EXPECT_EQ(Ask(*ui_, kFui, 1003, R"({"c":"kept"})").result, 0);
    daemon_->Stop();
    daemon_ = std::make_unique<vk_test::DaemonProcess>(root_.path());
    ASSERT_TRUE(daemon_->WaitListening());
    ui_ = Connect("/tmp/.zelluskkorvanefui");
    EXPECT_EQ(Ask(*ui_, kFui, 1004).data, R"({"c":"kept","uuid":"fui-faults"})");
}

// The database directory made read-only by a bind mount (root needs a
// read-only file system: permissions do not stop it).
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

TEST_F(FaultTest, DatabaseDirectoryReadOnlyAndWritableAgain) {
    ReadOnlyMount ro(root_.path() + "/etc/korvane");
    if (!ro.ok()) GTEST_SKIP() << "cannot make a read-only bind mount here";
    EXPECT_EQ(Ask(*av_, kAv, 2002, R"({"ro":1})").result, 1);
    EXPECT_EQ(Ask(*ui_, kFui, 1002).data, R"([{"ro":1,"uuid":"av-faults"}])") << "from memory";
    EXPECT_TRUE(daemon_->WaitLog("|ERROR|upgrade secStat: failed to execute sql:"));
    ro.Release();
    EXPECT_EQ(Ask(*av_, kAv, 2002, R"({"ro":2})").result, 0);
}

TEST_F(FaultTest, LogDirectoryGoneIsRecreated) {
    ASSERT_EQ(system(("rm -rf '" + root_.path() + "/var/log'").c_str()), 0);
    // Requests are served meanwhile; within about a second the log is
    // opened anew and receives the next lines.
    EXPECT_TRUE(vk_test::WaitFor([&] {
        if (Ask(*ui_, kFui, 1004).result != 103) return false;
        auto fresh = Connect("/tmp/.zelluskkorvane");
        return daemon_->Log().find("try to handle client") != std::string::npos;
    }));
}

}  // namespace
