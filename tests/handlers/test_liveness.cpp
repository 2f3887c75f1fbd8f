// Liveness end to end: the real daemon under a temporary root, products
// played by copies of sleep that the tests start and kill, front UIs by
// forked processes that register themselves. What happens as the grace and
// the periods pass is tested on a fake clock in test_liveness_clock.cpp.
#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/korvane_client.h"
#include "db/records.h"
#include "support/as_user.h"
#include "support/child_process.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using korvane::Client;
using korvane::Endpoint;
using korvane::Message;
using vk_test::ChildProcess;

namespace {

const std::string kDef = kDefSecSoftUuid;
const std::string kDefBody = R"({"name":"Default AV","exec":"/opt/palemoss/palemoss"})";
const std::string kUi = "ui-0001";
const std::string kAv = "av-0001";
const std::string kOther = "av-0002";

std::string Body(const std::string &name, const std::string &exec) {
    return R"({"name":")" + name + R"(","exec":")" + exec + R"("})";
}

std::string UiBody(int pid, bool replace = false) {
    return R"({"name":"ui","login_uid":-1,"euid":)" + std::to_string(geteuid()) + R"(,"pid":)" +
           std::to_string(pid) + (replace ? R"(,"replace":true})" : "}");
}

// The time a lost product may take to be noticed: the grace and one
// period of the scan, with room for a loaded machine.
constexpr int kNoticeMs = 1000 + 5000 + 4000;

class LivenessTest : public ::testing::Test {
protected:
    void Start(const std::string &conf = "[liveness]\ngrace = 1\n") {
        if (!conf.empty()) vk_test::WriteDaemonSettings(root_, conf);
        Restart();
    }
    void Restart() {
        daemon_.reset();
        daemon_ = std::make_unique<vk_test::DaemonProcess>(root_.path());
        ASSERT_TRUE(daemon_->WaitListening());
    }

    // A copy of sleep under the root: a product's program.
    std::string Program(const std::string &name) {
        return vk_test::SleepProgram(root_.path(), name);
    }
    std::unique_ptr<ChildProcess> Run(const std::string &program) {
        return vk_test::RunSleeping(program);
    }

    std::unique_ptr<Client> Connect(Endpoint ep) {
        return vk_test::TryOutConnect(root_.path(), ep);
    }

    Message Ask(Client &c, const std::string &uuid, uint32_t type,
                const std::optional<std::string> &data = std::nullopt) {
        uint64_t id = ++next_id_;
        EXPECT_TRUE(c.SendRequest(uuid, id, type, data)) << c.error();
        auto m = c.ReadMessage(5000);
        while (m && !m->has_result) m = c.ReadMessage(5000);
        EXPECT_TRUE(m.has_value()) << "no reply to type " << type << ": " << c.error();
        return m ? *m : Message();
    }
    int Result(Client &c, const std::string &uuid, uint32_t type,
               const std::optional<std::string> &data = std::nullopt) {
        return Ask(c, uuid, type, data).result;
    }

    // The next notification, or an empty message after timeout_ms.
    static Message Note(Client &watcher, int timeout_ms = 5000) {
        auto m = watcher.ReadMessage(timeout_ms);
        while (m && m->has_result) m = watcher.ReadMessage(timeout_ms);
        return m ? *m : Message();
    }

    // Product kAv running a copy of sleep, registered while the default
    // product is current: the front UI has had its 1500.
    std::unique_ptr<ChildProcess> RunAndRegister(Client &sec, Client &ui, std::string *program) {
        *program = Program("avd");
        auto product = Run(*program);
        EXPECT_EQ(Result(sec, kAv, 2000, Body("Acme AV", *program)), 0);
        EXPECT_EQ(Note(ui).type, 1500u);
        return product;
    }

    // A front UI registered from this test's own process (it lives as long
    // as the test), watching notifications.
    std::unique_ptr<Client> Ui() {
        auto ui = Connect(Endpoint::kFrontUi);
        EXPECT_EQ(Result(*ui, kUi, 1000, UiBody(getpid())), 0);
        return ui;
    }

    int StoredStatus(const std::string &uuid) {
        SQLite::Database db(root_.Under("/etc/korvane/korvaned.db"), SQLite::OPEN_READONLY);
        SQLite::Statement q(db, "select status from t_secsoft where uuid=?");
        q.bind(1, uuid);
        return q.executeStep() ? q.getColumn(0).getInt() : -1;
    }

    vk_test::TempRoot root_;
    std::unique_ptr<vk_test::DaemonProcess> daemon_;
    uint64_t next_id_ = 100;
};

TEST_F(LivenessTest, KilledProductIsUnregisteredAndTheDefaultStarted) {
    // The name the front UIs are told is the daemon's setting.
    Start("[liveness]\ngrace = 1\n[default]\nname = Default AV\n");
    auto ui = Ui();
    auto sec = Connect(Endpoint::kSecSoft);
    ASSERT_EQ(Result(*sec, kDef, 2000, kDefBody), 0);
    ASSERT_EQ(Note(*ui).type, 1500u);
    ASSERT_EQ(Result(*sec, kDef, 2002, R"({"protection":"on"})"), 0);
    ASSERT_EQ(Note(*ui).type, 1501u);

    std::string avd = Program("avd");
    auto product = Run(avd);
    ASSERT_EQ(Result(*sec, kAv, 2000, Body("Acme AV", avd)), 0);
    EXPECT_EQ(Note(*ui).type, 1504u);
    EXPECT_EQ(Note(*ui).type, 1500u);
    ASSERT_EQ(Result(*sec, kAv, 2002, R"({"protection":"on","signatures":"up-to-date"})"), 0);
    EXPECT_EQ(Note(*ui).type, 1501u);
    // The look at /proc that finds its program follows the registration.
    Message health;
    EXPECT_TRUE(vk_test::WaitFor([&] {
        health = Ask(*ui, "anyone", 1005);
        return health.data.find(R"("alive":true)") != std::string::npos;
    })) << health.data;
    EXPECT_NE(health.data.find(R"("verdict":"protected")"), std::string::npos) << health.data;

    product->Kill();
    Message gone = Note(*ui, kNoticeMs);
    EXPECT_EQ(gone.type, 1502u) << gone.json;
    EXPECT_EQ(gone.uuid, kAv);
    Message start = Note(*ui);
    EXPECT_EQ(start.type, 1503u) << start.json;
    EXPECT_EQ(start.uuid, kDef);
    EXPECT_EQ(Note(*ui).type, 1501u);
    EXPECT_TRUE(daemon_->WaitLog("product " + kAv + " (Acme AV) lost: no process of " + avd +
                                 " for 1 s, unregistered on its behalf"));

    // Answered as after a 2001 of its own.
    EXPECT_EQ(StoredStatus(kAv), -1);
    EXPECT_EQ(StoredStatus(kDef), 2);
    EXPECT_NE(Ask(*ui, kUi, 1001).data.find("Default AV"), std::string::npos);
    EXPECT_EQ(Result(*sec, kAv, 2002, R"({"protection":"on"})"), 101);
    // Another product may take its place at once.
    EXPECT_EQ(Result(*sec, kOther, 2000, Body("Other AV", "/opt/other/bin/other")), 0);
}

TEST_F(LivenessTest, ProductGoneWhileTheDaemonWasDownIsLostAfterTheRestart) {
    Start();
    std::string avd = Program("avd");
    auto product = Run(avd);
    {
        auto sec = Connect(Endpoint::kSecSoft);
        ASSERT_EQ(Result(*sec, kAv, 2000, Body("Acme AV", avd)), 0);
        // Watched once a look at /proc has found its program running.
        auto asker = Connect(Endpoint::kFrontUi);
        ASSERT_TRUE(vk_test::WaitFor([&] {
            return Ask(*asker, "anyone", 1005).data.find(R"("alive":true)") != std::string::npos;
        }));
    }
    daemon_.reset();
    product->Kill();
    Restart();
    auto ui = Ui();
    EXPECT_TRUE(daemon_->WaitLog("product " + kAv + " (Acme AV) lost", kNoticeMs));
    EXPECT_EQ(Result(*ui, kUi, 1001), 101);
}

// A product whose program runs nowhere when it registers is never failed
// over, whatever its "exec" says; one WARNING names it.
TEST_F(LivenessTest, UnwatchedProductsStay) {
    Start();
    auto ui = Ui();
    auto sec = Connect(Endpoint::kSecSoft);
    std::string idle = Program("idle");  // exists, never started
    struct Case {
        std::string uuid;
        std::string exec;
    };
    const std::vector<Case> cases = {
        {"av-missing", "/opt/nowhere/bin/av"},
        {"av-relative", "bin/av"},
        {"av-idle", idle},
        {"av-directory", root_.Under("/opt")},
    };
    for (const Case &c : cases) {
        int rc = Result(*sec, c.uuid, 2000, Body("AV", c.exec));
        EXPECT_TRUE(rc == 0 || rc == 501) << c.uuid;
        EXPECT_TRUE(daemon_->WaitLog("product " + c.uuid +
                                     " (AV) is not watched: no process runs " + c.exec))
            << c.uuid;
    }
    // That none is lost however long the clock runs: test_liveness_clock.cpp.
    EXPECT_EQ(vk_test::Occurrences(daemon_->Log(), " lost: "), 0u);
    for (const Case &c : cases) EXPECT_EQ(StoredStatus(c.uuid), 1) << c.uuid;
    Message health = Ask(*ui, kUi, 1005);
    EXPECT_NE(health.data.find(R"("alive":null)"), std::string::npos) << health.data;
}

// The setting reaches the watcher; that it then never fails a product over
// however long the clock runs: test_liveness_clock.cpp.
TEST_F(LivenessTest, ModeOffNeverWatches) {
    Start("[liveness]\nmode = off\ngrace = 1\n");
    EXPECT_TRUE(daemon_->WaitLog("liveness: off,products are not watched"));
    auto ui = Ui();
    auto sec = Connect(Endpoint::kSecSoft);
    std::string avd;
    auto product = RunAndRegister(*sec, *ui, &avd);
    product->Kill();
    EXPECT_EQ(StoredStatus(kAv), 1);
    EXPECT_EQ(vk_test::Occurrences(daemon_->Log(), "is not watched"), 0u);
    Message health = Ask(*ui, kUi, 1005);
    EXPECT_NE(health.data.find(R"("alive":null)"), std::string::npos) << health.data;
}

// A front UI played by a forked process: it registers itself under `uuid`,
// saves `conf` when given, reads its configuration back when `read_back`,
// reports
// how it went, and waits to be killed. Run by root, the process becomes
// kUiUser first: root's registrations take the current front UI's place.
constexpr uid_t kUiUser = 5151;

class UiProcess {
public:
    UiProcess(const std::string &root, const std::string &uuid, const std::string &conf = "",
              bool read_back = false) {
        int fds[2];
        if (pipe(fds) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            close(fds[0]);
            std::string report = "-1 -1 ";
            if (geteuid() != 0 || vk_test::BecomeUser({kUiUser, kUiUser, {}})) {
                Client c = vk_test::TryOutClient();
                if (c.Connect("@" + root + "/tmp/.zelluskkorvanefui"))
                    report = Run(c, uuid, conf, read_back);
            }
            if (write(fds[1], report.data(), report.size()) < 0) _exit(1);
            close(fds[1]);
            pause();
            _exit(0);
        }
        close(fds[1]);
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof(buf))) > 0) m_report.append(buf, n);
        close(fds[0]);
        if (sscanf(m_report.c_str(), "%d %d", &m_results[0], &m_results[1]) != 2) m_results[0] = -2;
        size_t at = m_report.find(' ', m_report.find(' ') + 1);
        m_data = at == std::string::npos ? "" : m_report.substr(at + 1);
    }
    ~UiProcess() { Kill(); }
    void Kill() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    pid_t pid() const { return m_pid; }
    int registered() const { return m_results[0]; }
    // Of the save, or of the read back.
    int second() const { return m_results[1]; }
    // The data of the last reply: the 104's or the configuration read.
    const std::string &data() const { return m_data; }

private:
    static std::string Run(Client &c, const std::string &uuid, const std::string &conf,
                           bool read_back) {
        auto reply = [&c](uint64_t id) {
            auto m = c.ReadMessage(5000);
            while (m && (!m->has_result || m->id != id)) m = c.ReadMessage(5000);
            return m ? *m : Message();
        };
        int results[2] = {-1, -1};
        std::string data;
        if (c.SendRequest(uuid, 1, 1000, UiBody(getpid()))) {
            Message m = reply(1);
            results[0] = m.has_result ? m.result : -1;
            data = m.data;
        }
        if (!conf.empty() && c.SendRequest(uuid, 2, 1003, conf)) results[1] = reply(2).result;
        if (read_back && c.SendRequest(uuid, 3, 1004)) {
            Message m = reply(3);
            results[1] = m.result;
            data = m.data;
        }
        return std::to_string(results[0]) + " " + std::to_string(results[1]) + " " + data;
    }

    pid_t m_pid = -1;
    int m_results[2] = {-1, -1};
    std::string m_report, m_data;
};

TEST_F(LivenessTest, FrontUiIsCurrentWhileItsProcessLives) {
    Start();
    auto first = std::make_unique<UiProcess>(root_.path(), "ui-first", R"({"token":"s3cret"})");
    ASSERT_EQ(first->registered(), 0);
    ASSERT_EQ(first->second(), 0);

    // Another one is refused with a code of its own that names the holder.
    auto other = std::make_unique<UiProcess>(root_.path(), "ui-second");
    EXPECT_EQ(other->registered(), 104);
    EXPECT_EQ(other->data(), R"({"pid":)" + std::to_string(first->pid()) + "}");
    EXPECT_TRUE(
        daemon_->WaitLog("frontUI register uuid: ui-second refused,frontUI ui-first of pid " +
                         std::to_string(first->pid()) + " is the current one"));
    other.reset();

    // Once its process has gone, the place is free; its row and
    // configuration stay for when it comes back.
    first->Kill();
    EXPECT_TRUE(daemon_->WaitLog("frontUI ui-first: its process"));
    auto back = std::make_unique<UiProcess>(root_.path(), "ui-first", "", true);
    ASSERT_EQ(back->registered(), 0);
    EXPECT_EQ(back->second(), 0);
    EXPECT_NE(back->data().find("s3cret"), std::string::npos) << back->data();
    back->Kill();
    auto ui = Connect(Endpoint::kFrontUi);
    ASSERT_TRUE(
        vk_test::WaitFor([&] { return Result(*ui, "ui-second", 1000, UiBody(getpid())) == 0; }));

    // A restart keeps a living front UI current.
    Restart();
    other = std::make_unique<UiProcess>(root_.path(), "ui-third");
    EXPECT_EQ(other->registered(), 104);
}

TEST_F(LivenessTest, StoredFrontUiWithoutItsProcessIsNotCurrentAfterARestart) {
    Start();
    auto first = std::make_unique<UiProcess>(root_.path(), "ui-first");
    ASSERT_EQ(first->registered(), 0);
    daemon_.reset();
    first->Kill();
    Restart();
    EXPECT_TRUE(daemon_->WaitLog("frontUI ui-first: no process"));
    auto ui = Connect(Endpoint::kFrontUi);
    EXPECT_EQ(Result(*ui, "ui-second", 1000, UiBody(getpid())), 0);
}

// Registered by root on another's behalf, a pid naming no process is not
// watched: that front UI stays current for users' front UIs.
TEST_F(LivenessTest, FrontUiOfNoProcessStaysCurrent) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: only root may declare another pid";
    Start();
    auto ui = Connect(Endpoint::kFrontUi);
    ASSERT_EQ(Result(*ui, "ui-first", 1000,
                     R"({"name":"ui","login_uid":1000,"euid":1000,"pid":2147483000})"),
              0);
    EXPECT_TRUE(daemon_->WaitLog("frontUI ui-first: pid 2147483000 names no process,not watched"));
    UiProcess user(root_.path(), "ui-second");
    EXPECT_EQ(user.registered(), 104);
}

// Root's registration takes the place of a living front UI, and the
// watcher follows the new one: when root's declared process ends, the
// place is free again.
TEST_F(LivenessTest, RootReplacesTheCurrentFrontUi) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: only root replaces a front UI";
    Start();
    UiProcess user(root_.path(), "ui-user");
    ASSERT_EQ(user.registered(), 0);
    UiProcess helper(root_.path(), "ui-helper");  // as kUiUser: refused
    ASSERT_EQ(helper.registered(), 104);
    helper.Kill();
    auto watcher = Connect(Endpoint::kFrontUi);

    // A child of root's that registers itself: refused like anyone's until
    // it asks to replace the current one.
    int answers[2] = {-1, -1};
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t child = fork();
    if (child == 0) {
        Client c = vk_test::TryOutClient();
        int got[2] = {-1, -1};
        if (c.Connect("@" + root_.path() + "/tmp/.zelluskkorvanefui"))
            for (int i = 0; i < 2; ++i)
                if (c.SendRequest("ui-root", static_cast<uint64_t>(i + 1), 1000,
                                  UiBody(getpid(), i == 1))) {
                    auto m = c.ReadMessage(5000);
                    while (m && !m->has_result) m = c.ReadMessage(5000);
                    if (m) got[i] = m->result;
                }
        if (write(pipefd[1], got, sizeof(got)) != sizeof(got)) _exit(1);
        pause();
        _exit(0);
    }
    ASSERT_GT(child, 0);
    close(pipefd[1]);
    ASSERT_EQ(read(pipefd[0], answers, sizeof(answers)), static_cast<ssize_t>(sizeof(answers)));
    close(pipefd[0]);
    EXPECT_EQ(answers[0], 104) << "a plain registration of root's replaces nothing";
    EXPECT_EQ(answers[1], 0);
    // Every front UI hears of it: the new current one and its pid.
    Message n = Note(*watcher);
    EXPECT_EQ(n.type, 1505u);
    EXPECT_EQ(n.uuid, "ui-root");
    EXPECT_NE(n.json.find("\"pid\":\t" + std::to_string(child)), std::string::npos) << n.json;
    EXPECT_TRUE(daemon_->WaitLog("|INFO|frontUI ui-root of pid: " + std::to_string(child) +
                                 ",euid: 0,registered by uid: 0,replaces frontUI ui-user of pid: " +
                                 std::to_string(user.pid()) + ",euid: " + std::to_string(kUiUser)))
        << daemon_->Log();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(
        daemon_->WaitLog("frontUI ui-root: its process " + std::to_string(child) + " ended"));
    // The replaced one is not current either: the place is free.
    UiProcess next(root_.path(), "ui-next");
    EXPECT_EQ(next.registered(), 0);
}

// The attack on the front UI's place: a process connects, forks and exits,
// and its child registers on that connection declaring the parent's pid,
// which is the connection's. The parent is played by a child of the test
// (as another uid when the test runs as root), the registrant by its child,
// which the test reaps as their subreaper.
class ForkedRegistrant {
public:
    ForkedRegistrant(const std::string &root, const std::string &uuid, bool other_user,
                     bool parent_exits_first) {
        int report[2], go[2];
        if (pipe(report) != 0) return;
        if (pipe(go) != 0) {
            close(report[0]);
            close(report[1]);
            return;
        }
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        m_parent = fork();
        if (m_parent == 0) {
            close(report[0]);
            close(go[1]);
            Client c = vk_test::TryOutClient();
            if ((other_user && !vk_test::BecomeUser({kUiUser, kUiUser, {}})) ||
                !c.Connect("@" + root + "/tmp/.zelluskkorvanefui"))
                _exit(1);
            const int parent = getpid();
            const pid_t child = fork();
            if (child == 0) {
                char byte;
                int result = -1;
                if (read(go[0], &byte, 1) == 1 && c.SendRequest(uuid, 1, 1000, UiBody(parent))) {
                    auto m = c.ReadMessage(5000);
                    while (m && !m->has_result) m = c.ReadMessage(5000);
                    if (m) result = m->result;
                }
                if (write(report[1], &result, sizeof(result)) != sizeof(result)) _exit(1);
                pause();
                _exit(0);
            }
            if (write(report[1], &child, sizeof(child)) != sizeof(child)) _exit(1);
            if (parent_exits_first) _exit(0);
            pause();
            _exit(0);
        }
        close(report[1]);
        close(go[0]);
        m_report = report[0];
        m_go = go[1];
        if (m_parent < 0 || read(m_report, &m_child, sizeof(m_child)) != sizeof(m_child))
            m_child = -1;
        if (parent_exits_first) waitpid(m_parent, nullptr, 0);
    }
    ~ForkedRegistrant() {
        for (pid_t *pid : {&m_parent, &m_child}) {
            if (*pid <= 0) continue;
            kill(*pid, SIGKILL);
            waitpid(*pid, nullptr, 0);
        }
        if (m_report >= 0) close(m_report);
        if (m_go >= 0) close(m_go);
        prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    pid_t parent() const { return m_parent; }
    // Lets the child register: its result, or -1.
    int Register() {
        int result = -1;
        if (m_child <= 0 || write(m_go, "g", 1) != 1 ||
            read(m_report, &result, sizeof(result)) != sizeof(result))
            return -1;
        return result;
    }
    // Ends the parent (the child keeps the connection).
    void KillParent() {
        kill(m_parent, SIGKILL);
        waitpid(m_parent, nullptr, 0);
    }

private:
    pid_t m_parent = -1, m_child = -1;
    int m_report = -1, m_go = -1;
};

// No front UI stays current without the process that connected: one
// registered for a process that has exited is refused (403, logged), one
// whose process exits while its child holds the connection stops being
// current then; either way the real front UI registers next.
void ExpectNoFrontUiWithoutItsProcess(const std::string &root, const vk_test::DaemonProcess &daemon,
                                      bool other_user) {
    const std::string uid = std::to_string(other_user ? kUiUser : geteuid());
    for (bool parent_exits_first : {true, false}) {
        const std::string uuid = std::string("ui-") + (parent_exits_first ? "exited" : "outlived");
        ForkedRegistrant attacker(root, uuid, other_user, parent_exits_first);
        const std::string parent = std::to_string(attacker.parent());
        if (parent_exits_first) {
            EXPECT_EQ(attacker.Register(), 403);
            EXPECT_TRUE(daemon.WaitLog("refuse request type: 1000,uuid: " + uuid +
                                       ",from pid: " + parent + ",uid: " + uid + ",exe: "));
            EXPECT_NE(daemon.Log().find(",rule: frontui-process-exited"), std::string::npos);
        } else {
            ASSERT_EQ(attacker.Register(), 0);
            attacker.KillParent();
            EXPECT_TRUE(daemon.WaitLog("frontUI " + uuid + ": its process " + parent + " ended"));
        }
        const std::string real = uuid + "-real";
        UiProcess ui(root, real);
        EXPECT_EQ(ui.registered(), 0) << real;
        ui.Kill();
        ASSERT_TRUE(daemon.WaitLog("frontUI " + real + ": its process")) << real;
    }
}

TEST_F(LivenessTest, FrontUiOfAForkedAndExitedProcessIsNotCurrent) {
    Start();
    ExpectNoFrontUiWithoutItsProcess(root_.path(), *daemon_, false);
}

TEST_F(LivenessTest, FrontUiOfAForkedAndExitedProcessOfAnotherUserIsNotCurrent) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the attacker runs as another uid";
    Start();
    ExpectNoFrontUiWithoutItsProcess(root_.path(), *daemon_, true);
}

// What 1001 and 1002 answer and what the default record says must not
// change over a restart, in each state the arbitration can be in.
struct RestartCase {
    const char *name;
    std::vector<std::pair<std::string, uint32_t>> steps;  // uuid, 2000 or 2001
};

class RestartTest : public LivenessTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartTest, KeepsTheActiveProduct) {
    Start();
    auto ui = Ui();
    auto sec = Connect(Endpoint::kSecSoft);
    ASSERT_EQ(Result(*sec, kDef, 2000, kDefBody), 0);
    ASSERT_EQ(Result(*sec, kDef, 2002, R"({"protection":"on"})"), 0);
    for (const auto &step : GetParam().steps) {
        const std::string &uuid = step.first;
        if (step.second == 2000) {
            Result(*sec, uuid, 2000, Body("AV " + uuid, "/opt/" + uuid + "/bin/av"));
            Result(*sec, uuid, 2002, R"({"protection":"on","by":")" + uuid + R"("})");
        } else {
            ASSERT_EQ(Result(*sec, uuid, 2001), 0);
        }
    }
    auto answers = [&](Client &c) {
        return std::vector<std::string>{Ask(c, kUi, 1001).data, Ask(c, kUi, 1002).data,
                                        std::to_string(StoredStatus(kDef))};
    };
    std::vector<std::string> before = answers(*ui);
    ui.reset();
    sec.reset();
    Restart();
    auto again = Connect(Endpoint::kFrontUi);
    EXPECT_EQ(answers(*again), before);
}

INSTANTIATE_TEST_SUITE_P(
    States, RestartTest,
    ::testing::Values(RestartCase{"DefaultCurrent", {}},
                      RestartCase{"ProductCurrent", {{"av-p", 2000}}},
                      RestartCase{"ProductUnregistered", {{"av-p", 2000}, {"av-p", 2001}}},
                      RestartCase{"RefusedProductStored", {{"av-p", 2000}, {"av-q", 2000}}},
                      RestartCase{"RefusedProductStoredDefaultStarted",
                                  {{"av-p", 2000}, {"av-q", 2000}, {"av-p", 2001}}},
                      RestartCase{"RefusedProductLeftAlone",
                                  {{"av-p", 2000}, {"av-q", 2000}, {"av-q", 2001}}}),
    [](const ::testing::TestParamInfo<RestartCase> &info) { return std::string(info.param.name); });

// A product that got 501 leaving does not start the default product while
// the active one still protects.
TEST_F(LivenessTest, RefusedProductLeavingKeepsTheDefaultStopped) {
    Start();
    auto ui = Ui();
    auto sec = Connect(Endpoint::kSecSoft);
    ASSERT_EQ(Result(*sec, kDef, 2000, kDefBody), 0);
    ASSERT_EQ(Result(*sec, kAv, 2000, Body("P", "/opt/p/p")), 0);
    ASSERT_EQ(Result(*sec, kOther, 2000, Body("Q", "/opt/q/q")), 501);
    while (Note(*ui, 200).type != 0) {
    }
    ASSERT_EQ(Result(*sec, kOther, 2001), 0);
    EXPECT_EQ(Note(*ui).type, 1502u);
    EXPECT_EQ(Note(*ui, 500).type, 0u);
    EXPECT_EQ(StoredStatus(kDef), 3);
}

}  // namespace
