// The liveness watcher in this process on a fake clock: the store under a
// temporary root, requests through dispatch, products played by copies of
// sleep that the tests start and kill (or by a made-up /proc whose entries
// say what a case needs), notifications heard by the observer. The grace
// passes when the test moves the clock, and the test makes the watcher look
// as its timer would; the loop runs only for the pidfds.
#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "access/access_policy.h"
#include "base/korvane_codes.h"
#include "base/paths.h"
#include "base/vk_clock.h"
#include "config/daemon_config.h"
#include "db/moxdb.h"
#include "handlers/dispatch.h"
#include "handlers/health.h"
#include "handlers/liveness.h"
#include "log/mylog.h"
#include "net/ae/ae.h"
#include "proto/notify.h"
#include "support/child_process.h"
#include "support/daemon_process.h"
#include "support/in_process.h"
#include "support/peer_connection.h"
#include "support/process_log.h"
#include "support/temp_root.h"

using vk_test::ChildProcess;

namespace {

const std::string kDef = kDefSecSoftUuid;
const std::string kAv = "av-0001";
constexpr long long kStartMs = 1000000;  // the fake clock's start; any value will do

std::string Body(const std::string &name, const std::string &exec) {
    return R"({"name":")" + name + R"(","exec":")" + exec + R"("})";
}

// Notifications handed to the broadcast, as (type, uuid).
std::vector<std::pair<int, std::string>> g_notes;

void Observe(int type, const std::string &uuid, const std::string &) {
    g_notes.emplace_back(type, uuid);
}

class LivenessClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vk_clock_fake(kStartMs), 0);
        MyLog *log = Singleton<MyLog>::Instance();
        log->Close();
        log->SetLogLevel(INFO);
        ASSERT_TRUE(log->Open(root_.Under("/liveness.log").c_str()));
        ASSERT_EQ(MoxDbInit(), 0);
        el_ = aeCreateEventLoop(1024);
        ASSERT_NE(el_, nullptr);
        g_notes.clear();
        mox_set_notify_observer(Observe);
    }
    void TearDown() override {
        daemon_config_set(daemon_config_t());
        MoxLivenessUninit();
        mox_set_notify_observer(nullptr);
        if (el_ != nullptr) aeDeleteEventLoop(el_);
        MoxDbUninit();
        Singleton<MyLog>::Instance()->Close();
        vk_clock_real();
    }

    void Start(int grace, bool failover = true, const char *procdir = "/proc") {
        liveness_config_t config;
        config.failover = failover;
        config.grace = grace;
        ASSERT_EQ(MoxLivenessInit(el_, config, procdir), 0);
    }

    // A copy of sleep under the root: a product's program.
    std::string Program(const std::string &name) {
        return vk_test::SleepProgram(root_.path(), name);
    }
    std::unique_ptr<ChildProcess> Run(const std::string &program) {
        return vk_test::RunSleeping(program);
    }

    int Request(const std::string &uuid, uint32_t type, const std::string &data = "") {
        return vk_test::HandleInProcess(uuid, type, data).result;
    }

    // kAv running a copy of sleep, registered after the default product,
    // with a front UI of this process that the default product's moves
    // are told to: `program` is its path. The notifications so far are
    // dropped.
    std::unique_ptr<ChildProcess> RunAndRegister(std::string *program) {
        const std::string ui = R"({"name":"ui","login_uid":-1,"euid":)" +
                               std::to_string(geteuid()) + R"(,"pid":)" + std::to_string(getpid()) +
                               "}";
        EXPECT_EQ(Request("ui-0001", KORVANE_REQ_FUI_REGISTER, ui), 0);
        EXPECT_EQ(Request(kDef, KORVANE_REQ_SECSOFT_REGISTER, Body("Default AV", "/opt/def")), 0);
        EXPECT_EQ(Request(kDef, KORVANE_REQ_SECSTAT_UPDATE, R"({"protection":"on"})"), 0);
        *program = Program("avd");
        auto product = Run(*program);
        EXPECT_EQ(Request(kAv, KORVANE_REQ_SECSOFT_REGISTER, Body("Acme AV", *program)), 0);
        EXPECT_EQ(liveness_next_wait_ms(), 1) << "a look as soon as possible";
        liveness_scan_now();
        EXPECT_EQ(liveness_secsoft_alive(kAv), 1);
        g_notes.clear();
        return product;
    }

    // Kills the product and lets the loop hand its pidfd to the watcher.
    void KillAndNotice(ChildProcess &product) {
        ASSERT_TRUE(product.Kill());
        ASSERT_TRUE(vk_test::WaitFor([&] {
            aeProcessEvents(el_, AE_PROCESS_FILES | AE_PROCESS_NOWAIT);
            return liveness_secsoft_alive(kAv) == 0;
        })) << Log();
    }

    // The stored status of a product, -1 when it has no row.
    int StoredStatus(const std::string &uuid) {
        SQLite::Database db(root_.Under(vk_paths::kDbFile), SQLite::OPEN_READONLY);
        SQLite::Statement q(db, "select status from t_secsoft where uuid=?");
        q.bind(1, uuid);
        return q.executeStep() ? q.getColumn(0).getInt() : -1;
    }

    std::string Log() const { return vk_test::ReadFile(root_.Under("/liveness.log")); }

    vk_test::TempRoot root_;
    vk_test::ScopedRootEnv env_{root_.path()};
    aeEventLoop *el_ = nullptr;
};

// A product is lost at the timer's first look once its grace has run out:
// at the grace's end to the millisecond, or, for a grace shorter than the
// period, one period after the look before; never two looks within a
// period. The loss is told as after a 2001 of its own.
class GraceTest : public LivenessClockTest, public ::testing::WithParamInterface<int> {};

TEST_P(GraceTest, LostAtTheFirstLookPastTheGrace) {
    const int grace = GetParam();
    Start(grace);
    std::string avd;
    auto product = RunAndRegister(&avd);
    KillAndNotice(*product);
    EXPECT_NE(Log().find("product " + kAv + " (Acme AV): no process of " + avd + ",lost in " +
                         std::to_string(grace) + " s unless one comes back"),
              std::string::npos)
        << Log();
    const long long grace_ms = grace * 1000LL;
    const long long due = kStartMs + std::max<long long>(grace_ms, kLivenessPeriodMs);

    long long last = kStartMs;  // the look of RunAndRegister
    for (;;) {
        const long long wait = liveness_next_wait_ms();
        ASSERT_GT(wait, 0);
        vk_clock_advance_ms(wait);
        EXPECT_GE(vk_clock_now_ms() - last, kLivenessPeriodMs);
        last = vk_clock_now_ms();
        liveness_scan_now();
        if (!g_notes.empty()) break;
        ASSERT_LT(vk_clock_now_ms(), due) << "not lost by " << vk_clock_now_ms() - kStartMs;
        EXPECT_EQ(liveness_secsoft_alive(kAv), 0);
    }
    EXPECT_EQ(vk_clock_now_ms(), due);
    const std::vector<std::pair<int, std::string>> told = {
        {KORVANE_NOTIFY_UNREGISTER, kAv},
        {KORVANE_NOTIFY_START_DEFAULT, kDef},
        {KORVANE_NOTIFY_SECSTAT, kDef},
    };
    EXPECT_EQ(g_notes, told);
    EXPECT_NE(Log().find("product " + kAv + " (Acme AV) lost: no process of " + avd + " for " +
                         std::to_string(grace) + " s, unregistered on its behalf"),
              std::string::npos)
        << Log();
    EXPECT_EQ(liveness_secsoft_alive(kAv), -1);
    EXPECT_EQ(StoredStatus(kAv), -1);
    EXPECT_EQ(StoredStatus(kDef), 2) << Log();
}

INSTANTIATE_TEST_SUITE_P(Graces, GraceTest, ::testing::Values(1, 5, 6, 30, 3600),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return "Grace" + std::to_string(info.param);
                         });

// The default product told to start is watched like any product: its
// program has the grace to appear; past it, with none running, the verdict
// is at-risk (its status from before it was stopped counts for nothing),
// and it is never unregistered on its behalf. Once its program runs and it
// reports again, it protects.
TEST_F(LivenessClockTest, DefaultProductToldToStartIsWatched) {
    const int grace = 5;
    Start(grace);
    std::string avd;
    auto product = RunAndRegister(&avd);
    const std::string defd = Program("defd");
    // Its name and program are the daemon's settings.
    daemon_config_t settings;
    settings.default_name = "Default AV";
    settings.default_exec = defd;
    daemon_config_set(settings);
    ASSERT_EQ(Request(kDef, KORVANE_REQ_SECSOFT_UPDATE, Body("Default AV", defd)), 0);
    KillAndNotice(*product);
    vk_clock_advance_ms(grace * 1000LL);
    liveness_scan_now();  // kAv lost: 1503 for the default product
    ASSERT_EQ(g_notes.size(), 3u) << Log();
    auto judged = [] {
        health_facts_t f;
        health_gather(f);
        return health_judge(f);
    };
    EXPECT_STREQ(judged().verdict, "unknown") << "its status is from before it was stopped";

    vk_clock_advance_ms(grace * 1000LL - 1);
    liveness_scan_now();
    EXPECT_EQ(liveness_secsoft_alive(kDef), -1) << "still within its grace";
    vk_clock_advance_ms(1);
    liveness_scan_now();
    EXPECT_EQ(liveness_secsoft_alive(kDef), 0);
    health_verdict_t v = judged();
    EXPECT_STREQ(v.verdict, "at-risk");
    ASSERT_FALSE(v.reasons.empty());
    EXPECT_EQ(v.reasons.back(),
              "Default AV is not running: no process of " + defd + " for the whole grace");
    EXPECT_NE(Log().find("default product " + kDef + " (Default AV): told to start " +
                         std::to_string(grace) + " s ago,no process of " + defd + " runs"),
              std::string::npos)
        << Log();
    // Never lost: the front UIs are the ones to start it.
    for (int look = 0; look < 5; ++look) {
        vk_clock_advance_ms(kLivenessPeriodMs);
        liveness_scan_now();
    }
    EXPECT_EQ(StoredStatus(kDef), 2);
    EXPECT_EQ(g_notes.size(), 3u);

    auto started = Run(defd);
    liveness_scan_now();
    EXPECT_EQ(liveness_secsoft_alive(kDef), 1);
    EXPECT_STREQ(judged().verdict, "unknown");
    ASSERT_EQ(Request(kDef, KORVANE_REQ_SECSTAT_UPDATE, R"({"protection":"on"})"), 0);
    EXPECT_STREQ(judged().verdict, "protected");
}

TEST_F(LivenessClockTest, ProductRestartedWithinTheGraceStays) {
    Start(4);
    std::string avd;
    auto product = RunAndRegister(&avd);
    KillAndNotice(*product);
    vk_clock_advance_ms(3999);
    product = Run(avd);
    liveness_scan_now();
    EXPECT_NE(Log().find("product " + kAv + " (Acme AV) runs again: " + avd + " runs in pid " +
                         std::to_string(product->pid())),
              std::string::npos)
        << Log();
    EXPECT_EQ(liveness_secsoft_alive(kAv), 1);
    EXPECT_EQ(liveness_next_wait_ms(), kLivenessPeriodMs);

    // Well past the grace, looked at every period.
    for (int look = 0; look < 20; ++look) {
        vk_clock_advance_ms(kLivenessPeriodMs);
        liveness_scan_now();
    }
    EXPECT_TRUE(g_notes.empty());
    EXPECT_EQ(vk_test::Occurrences(Log(), " lost: "), 0u);
    EXPECT_EQ(StoredStatus(kAv), 1);
}

// A product whose program runs nowhere when it registers is never failed
// over, however long the clock runs.
TEST_F(LivenessClockTest, UnwatchedProductsStay) {
    Start(1);
    std::string idle = Program("idle");  // exists, never started
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"av-missing", "/opt/nowhere/bin/av"},
        {"av-relative", "bin/av"},
        {"av-idle", idle},
        {"av-directory", root_.Under("/opt")},
    };
    for (const auto &c : cases) {
        int rc = Request(c.first, KORVANE_REQ_SECSOFT_REGISTER, Body("AV", c.second));
        EXPECT_TRUE(rc == 0 || rc == 501) << c.first;
        EXPECT_EQ(liveness_secsoft_alive(c.first), -1) << c.first;
    }
    g_notes.clear();
    for (int look = 0; look < 10; ++look) {
        vk_clock_advance_ms(3600 * 1000LL);
        liveness_scan_now();
    }
    EXPECT_TRUE(g_notes.empty());
    EXPECT_EQ(vk_test::Occurrences(Log(), " lost: "), 0u);
    for (const auto &c : cases) {
        EXPECT_EQ(liveness_secsoft_alive(c.first), -1) << c.first;
        EXPECT_EQ(StoredStatus(c.first), 1) << c.first;
    }
}

TEST_F(LivenessClockTest, ModeOffNeverWatches) {
    Start(1, false);
    EXPECT_EQ(liveness_next_wait_ms(), -1);
    std::string avd = Program("avd");
    auto product = Run(avd);
    ASSERT_EQ(Request(kAv, KORVANE_REQ_SECSOFT_REGISTER, Body("Acme AV", avd)), 0);
    g_notes.clear();
    product->Kill();
    vk_clock_advance_ms(3600 * 1000LL);
    liveness_scan_now();
    aeProcessEvents(el_, AE_PROCESS_FILES | AE_PROCESS_NOWAIT);
    EXPECT_TRUE(g_notes.empty());
    EXPECT_EQ(liveness_secsoft_alive(kAv), -1);
    EXPECT_EQ(StoredStatus(kAv), 1);
    EXPECT_EQ(vk_test::Occurrences(Log(), "is not watched"), 0u);
}

// Time while the watcher was stopped does not count: a product watched
// before gets its whole grace from the start.
TEST_F(LivenessClockTest, GraceStartsAnewAfterARestart) {
    Start(30);
    std::string avd;
    auto product = RunAndRegister(&avd);
    MoxLivenessUninit();
    product->Kill();
    vk_clock_advance_ms(3600 * 1000LL);
    Start(30);
    EXPECT_EQ(liveness_secsoft_alive(kAv), 0);
    vk_clock_advance_ms(30 * 1000LL - 1);
    liveness_scan_now();
    EXPECT_TRUE(g_notes.empty());
    EXPECT_EQ(StoredStatus(kAv), 1);
    vk_clock_advance_ms(1);
    liveness_scan_now();
    ASSERT_FALSE(g_notes.empty());
    EXPECT_EQ(g_notes.front(), std::make_pair(static_cast<int>(KORVANE_NOTIFY_UNREGISTER), kAv));
    EXPECT_EQ(StoredStatus(kAv), -1);
}

// A front UI that registers from its own connection is pinned to the
// process that connected: refused (403, logged, nothing stored) once that
// process has exited, reaped or not, though its connection is still open
// (a child it forked may hold it); else current while that very process
// lives, after its connection closes too, and no longer once it exits.
TEST_F(LivenessClockTest, FrontUiIsPinnedToTheProcessThatConnected) {
    Start(30);
    struct Case {
        const char *uuid;
        bool exited_first;
        bool reaped;
    } cases[] = {
        {"ui-exited", true, false}, {"ui-reaped", true, true}, {"ui-living", false, false}};
    for (const Case &c : cases) {
        vk_test::PeerConnection conn;
        ASSERT_TRUE(conn.ok()) << c.uuid;
        if (c.exited_first) {
            ASSERT_TRUE(conn.Kill(c.reaped));
        }
        mox_packet_t packet;
        packet.id = 1;
        packet.type = KORVANE_REQ_FUI_REGISTER;
        packet.uuid = c.uuid;
        packet.data = R"({"name":"ui","login_uid":-1,"euid":)" + std::to_string(conn.peer().uid) +
                      R"(,"pid":)" + std::to_string(conn.pid()) + "}";
        packet.peer = &conn.peer();
        handle_request(packet);
        if (c.exited_first) {
            EXPECT_EQ(packet.result, KORVANE_RESULT_NOT_PERMITTED) << c.uuid;
            EXPECT_FALSE(Singleton<CMoxDb>::Instance()->FrontUIValid(c.uuid)) << c.uuid;
            EXPECT_NE(Log().find("refuse request type: 1000,uuid: " + std::string(c.uuid) +
                                 ",from pid: " + std::to_string(conn.pid()) +
                                 ",uid: " + std::to_string(conn.peer().uid) +
                                 ",exe: ?,rule: frontui-process-exited"),
                      std::string::npos)
                << Log();
            continue;
        }
        ASSERT_EQ(packet.result, 0) << Log();
        conn.CloseConnection();
        EXPECT_EQ(liveness_frontui_pid(c.uuid), conn.pid());
        EXPECT_EQ(Request("ui-other", KORVANE_REQ_FUI_REGISTER,
                          R"({"name":"ui","login_uid":-1,"euid":0,"pid":1})"),
                  KORVANE_RESULT_OTHER_FUI);
        ASSERT_TRUE(conn.Kill(false));
        EXPECT_EQ(liveness_frontui_pid(c.uuid), -1);
        ASSERT_TRUE(vk_test::WaitFor([&] {
            aeProcessEvents(el_, AE_PROCESS_FILES | AE_PROCESS_NOWAIT);
            return Log().find("frontUI " + std::string(c.uuid) + ": its process " +
                              std::to_string(conn.pid()) + " ended") != std::string::npos;
        })) << Log();
    }
    // The place is free for the real front UI.
    EXPECT_EQ(
        Request("ui-real", KORVANE_REQ_FUI_REGISTER,
                R"({"name":"ui","login_uid":-1,"euid":0,"pid":)" + std::to_string(getpid()) + "}"),
        0);
}

// ---------------------------------------------------------------------------
// Who keeps a product alive, on a made-up /proc: one process directory,
// named by this test's own pid (so that its pidfd is of a process that
// lives as long as the test), whose exe, ids and arguments are a case's.

constexpr uid_t kListed = 2000;       // listed in [products] by uid
constexpr gid_t kListedGroup = 3000;  // listed in [products] by group
constexpr uid_t kOther = 65534;

std::string Args(std::initializer_list<std::string> args) {
    std::string out;
    for (const std::string &a : args) out += a + '\0';
    return out;
}

class LivenessOwnerTest : public LivenessClockTest {
protected:
    void SetUp() override {
        LivenessClockTest::SetUp();
        access_policy_t policy;
        policy.owner_uid = 0;
        policy.products.users = {kListed};
        policy.products.groups = {kListedGroup};
        access_policy_set(policy);
        dir_ = root_.Under("/x");
        proc_ = dir_ + "/proc";
        for (const char *d : {"", "/proc", "/opt", "/bin"})
            ASSERT_EQ(mkdir((dir_ + d).c_str(), 0755), 0) << d;
        avd_ = Executable("/opt/avd", "ELF");
        sh_ = Executable("/bin/sh", "ELF");
        script_ = Executable("/opt/acme-sh", "#!" + sh_ + "\nsleep 600\n");
        escript_ = Executable("/opt/acme-e", "#!" + sh_ + " -e\nsleep 600\n");
    }
    void TearDown() override {
        LivenessClockTest::TearDown();
        access_policy_t policy;
        policy.owner_uid = geteuid();
        access_policy_set(policy);
    }

    std::string Executable(const std::string &rel, const std::string &text) {
        const std::string path = dir_ + rel;
        vk_test::WriteFile(path, text);
        EXPECT_EQ(chmod(path.c_str(), 0755), 0);
        return path;
    }

    // The process directory of pid `pid`: exe, status with these ids,
    // cmdline and cwd.
    void Process(int pid, const std::string &exe, const uid_t (&uids)[3], const gid_t (&gids)[3],
                 const std::string &groups, const std::string &cmdline) {
        const std::string d = proc_ + "/" + std::to_string(pid);
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        ASSERT_EQ(symlink(exe.c_str(), (d + "/exe").c_str()), 0);
        ASSERT_EQ(symlink((dir_ + "/opt").c_str(), (d + "/cwd").c_str()), 0);
        vk_test::WriteFile(d + "/cmdline", cmdline);
        vk_test::WriteFile(d + "/status", "Name:\tx\nState:\tS (sleeping)\nUid:\t" + Ids(uids) +
                                              "\nGid:\t" + Ids(gids) + "\nGroups:\t" + groups +
                                              "\n");
    }
    static std::string Ids(const unsigned (&ids)[3]) {
        return std::to_string(ids[0]) + "\t" + std::to_string(ids[1]) + "\t" +
               std::to_string(ids[2]) + "\t" + std::to_string(ids[1]);
    }

    std::string dir_, proc_, avd_, sh_, script_, escript_;
};

struct OwnerCase {
    std::string label;
    uid_t uids[3];  // real, effective, saved
    gid_t gids[3];
    std::string groups;
    bool want;
};

std::vector<OwnerCase> OwnerCases() {
    // Every triple of root, a listed uid and another's: it counts only
    // when none is another's.
    const std::pair<uid_t, const char *> who[] = {
        {0, "root"}, {kListed, "listed"}, {kOther, "other"}};
    std::vector<OwnerCase> out;
    for (const auto &r : who)
        for (const auto &e : who)
            for (const auto &v : who) {
                const bool want = r.first != kOther && e.first != kOther && v.first != kOther;
                out.push_back({std::string(r.second) + " " + e.second + " " + v.second,
                               {r.first, e.first, v.first},
                               {kOther, kOther, kOther},
                               "",
                               want});
            }
    // By group: a member counts whoever it is; a setgid program of that
    // group started by another does not.
    out.push_back({"other, member by a supplementary group",
                   {kOther, kOther, kOther},
                   {kOther, kOther, kOther},
                   "27 3000",
                   true});
    out.push_back({"other, gids all listed",
                   {kOther, kOther, kOther},
                   {kListedGroup, kListedGroup, kListedGroup},
                   "",
                   true});
    out.push_back({"other, setgid to the listed group",
                   {kOther, kOther, kOther},
                   {kOther, kListedGroup, kListedGroup},
                   "",
                   false});
    out.push_back({"other, listed effective gid only",
                   {kOther, kOther, kOther},
                   {kListedGroup, kListedGroup, kOther},
                   "",
                   false});
    // su waiting for a password, started by another: effective and saved root.
    out.push_back(
        {"setuid root started by another", {kOther, 0, 0}, {kOther, kOther, kOther}, "", false});
    return out;
}

class OwnerTest : public LivenessOwnerTest, public ::testing::WithParamInterface<OwnerCase> {};

TEST_P(OwnerTest, BinaryProduct) {
    const OwnerCase &c = GetParam();
    Process(getpid(), avd_, c.uids, c.gids, c.groups, Args({avd_}));
    Start(5, true, proc_.c_str());
    ASSERT_EQ(Request(kAv, KORVANE_REQ_SECSOFT_REGISTER, Body("Acme AV", avd_)), 0);
    liveness_scan_now();
    EXPECT_EQ(liveness_secsoft_alive(kAv), c.want ? 1 : -1) << Log();
}

INSTANTIATE_TEST_SUITE_P(Ids, OwnerTest, ::testing::ValuesIn(OwnerCases()),
                         [](const ::testing::TestParamInfo<OwnerCase> &info) {
                             return vk_test::ParamName(info.param.label.c_str());
                         });

// A script product: a process of its own interpreter, with the script's
// path where that interpreter takes it, and of a real owner.
struct ScriptCase {
    const char *label;
    const char *exe;                // "sh" for the script's interpreter
    const char *program;            // "s" the plain script, "e" the one of "#!... -e"
    std::vector<std::string> argv;  // "@" the script's path
    uid_t ruid;
    bool want;
};

void PrintTo(const ScriptCase &c, std::ostream *os) {
    *os << c.label;
}

class ScriptOwnerTest : public LivenessOwnerTest,
                        public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(ScriptOwnerTest, ScriptProduct) {
    const ScriptCase &c = GetParam();
    const std::string program = std::string(c.program) == "e" ? escript_ : script_;
    std::string cmdline;
    for (const std::string &a : c.argv) cmdline += (a == "@" ? program : a) + '\0';
    const std::string exe = std::string(c.exe) == "sh" ? sh_ : std::string(c.exe);
    Process(getpid(), exe, {c.ruid, 0, 0}, {0, 0, 0}, "", cmdline);
    Start(5, true, proc_.c_str());
    ASSERT_EQ(Request(kAv, KORVANE_REQ_SECSOFT_REGISTER, Body("Acme AV", program)), 0);
    liveness_scan_now();
    EXPECT_EQ(liveness_secsoft_alive(kAv), c.want ? 1 : -1) << Log();
}

INSTANTIATE_TEST_SUITE_P(
    Starts, ScriptOwnerTest,
    ::testing::Values(
        ScriptCase{"started by its path", "sh", "s", {"/bin/sh", "@"}, 0, true},
        ScriptCase{"sh script, relative", "sh", "s", {"sh", "acme-sh"}, 0, true},
        ScriptCase{"sh -e script: not where sh takes it", "sh", "s", {"sh", "-e", "@"}, 0, false},
        ScriptCase{"-e script as its line says", "sh", "e", {"/bin/sh", "-e", "@"}, 0, true},
        ScriptCase{"-e script without its line's argument", "sh", "e", {"sh", "@"}, 0, false},
        ScriptCase{"sh -c script", "sh", "s", {"sh", "-c", "@"}, 0, false},
        ScriptCase{"another interpreter", "/usr/bin/bash", "s", {"bash", "@"}, 0, false},
        ScriptCase{"su -c script, effective root", "/usr/bin/su", "s", {"su", "-c", "@"}, 0, false},
        ScriptCase{"su -c script started by another",
                   "/usr/bin/su",
                   "s",
                   {"su", "-c", "@"},
                   kOther,
                   false},
        ScriptCase{"its interpreter, setuid from another", "sh", "s", {"sh", "@"}, kOther, false},
        ScriptCase{"its interpreter, a listed owner", "sh", "s", {"sh", "@"}, kListed, true}),
    [](const ::testing::TestParamInfo<ScriptCase> &info) {
        return vk_test::ParamName(info.param.label);
    });

// A watched process's exit touches only the products it ran and starts no
// look, however many exit at once: a look now would find product B gone
// (its entry is removed first), yet B stays alive until the timer's next
// look, a period after the last one.
TEST_F(LivenessOwnerTest, ExitsRecheckOnlyTheirProduct) {
    const std::string bvd = Executable("/opt/bvd", "ELF");
    std::vector<std::unique_ptr<ChildProcess>> children;
    const std::string sleeper = Program("sleeper");
    for (int i = 0; i < 20; ++i) {
        children.push_back(Run(sleeper));
        Process(children.back()->pid(), avd_, {0, 0, 0}, {0, 0, 0}, "", Args({avd_}));
    }
    Process(getpid(), bvd, {0, 0, 0}, {0, 0, 0}, "", Args({bvd}));
    Start(5, true, proc_.c_str());
    ASSERT_EQ(Request(kAv, KORVANE_REQ_SECSOFT_REGISTER, Body("A", avd_)), 0);
    // Stored though refused (501): another product is the active one.
    ASSERT_EQ(Request("bv-0001", KORVANE_REQ_SECSOFT_REGISTER, Body("B", bvd)), 501);
    liveness_scan_now();
    ASSERT_EQ(liveness_secsoft_alive(kAv), 1) << Log();
    ASSERT_EQ(liveness_secsoft_alive("bv-0001"), 1) << Log();
    ASSERT_EQ(unlink((proc_ + "/" + std::to_string(getpid()) + "/exe").c_str()), 0);

    // One of A's processes ends (killed and reaped: its pidfd is readable
    // at once): the others still run it.
    ASSERT_TRUE(children[0]->Kill());
    for (int pass = 0; pass < 5; ++pass) aeProcessEvents(el_, AE_PROCESS_FILES | AE_PROCESS_NOWAIT);
    EXPECT_EQ(liveness_secsoft_alive(kAv), 1);
    // All the others at once.
    for (size_t i = 1; i < children.size(); ++i) ASSERT_TRUE(children[i]->Kill());
    ASSERT_TRUE(vk_test::WaitFor([&] {
        aeProcessEvents(el_, AE_PROCESS_FILES | AE_PROCESS_NOWAIT);
        return liveness_secsoft_alive(kAv) == 0;
    })) << Log();
    for (int pass = 0; pass < 5; ++pass) aeProcessEvents(el_, AE_PROCESS_FILES | AE_PROCESS_NOWAIT);
    EXPECT_EQ(liveness_secsoft_alive("bv-0001"), 1) << "no look at /proc";
    EXPECT_EQ(vk_test::Occurrences(Log(), "no process of " + avd_ + ",lost in"), 1u) << Log();
    EXPECT_EQ(liveness_next_wait_ms(), kLivenessPeriodMs);

    // The timer's look, a period after the last: A is lost, B is missing.
    vk_clock_advance_ms(liveness_next_wait_ms());
    liveness_scan_now();
    EXPECT_EQ(liveness_secsoft_alive(kAv), -1);
    EXPECT_EQ(liveness_secsoft_alive("bv-0001"), 0);
}

}  // namespace
