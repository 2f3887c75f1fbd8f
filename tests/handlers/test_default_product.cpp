// The built-in default product's state across requests and restarts, in
// this process: the store under a temporary root, requests through
// dispatch, a front UI registered so that the default product's moves are
// told. Each row sets the stage (the default product not installed,
// registered and active, stopped by another product, or started again),
// sends one request, restarts the store or not, and then probes what the
// state leads to: the active product leaving (must the default product be
// started, with its newest detail and status?) or another registering (must
// it be stopped?).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/korvane_codes.h"
#include "config/daemon_config.h"
#include "db/moxdb.h"
#include "handlers/dispatch.h"
#include "handlers/handlers.h"
#include "handlers/health.h"
#include "log/mylog.h"
#include "support/in_process.h"
#include "support/temp_root.h"

namespace {

const std::string kDef = kDefSecSoftUuid;
const char *const kP = "p-active";
const char *const kQ = "q-other";

std::string Body(const std::string &name, const std::string &extra = "") {
    return R"({"name":")" + name + R"(","exec":"/opt/)" + name + "\"" + extra + "}";
}

struct Sent {
    int result = -1;
    std::string notices;  // "1504,1500"
    std::vector<mox_notice_t> list;
};

enum class Stage {
    kNotInstalled,  // a front UI, no default product
    kRegistered,    // the default product registered itself and is active
    kStopped,       // P registered after it: told to stop, P active
    kStarted,       // P left again: told to start, active
};

enum class Probe {
    kPLeaves,     // P unregisters
    kQRegisters,  // Q registers
};

struct Row {
    const char *name;
    Stage stage;
    const char *uuid;  // of the request; "" is the default's
    uint32_t type;
    std::string body;
    bool restart;
    int result;
    const char *notices;
    int mark;            // the default's mark afterwards (0 not installed)
    const char *active;  // the active product afterwards, "" none
    Probe probe;
    const char *probe_notices;
    const char *detail;  // a text the 1503 of the probe must carry, if any
};

const std::string kDefV2 = Body("Def", R"(,"v":2)");
const std::string kStat2 = R"({"protection":"on","n":2})";

const Row kRows[] = {
    // The default product's own update never moves its mark, with or
    // without a restart.
    {"stopped, its own update, restart", Stage::kStopped, "", 2003, kDefV2, true, 0, "", 3, kP,
     Probe::kPLeaves, "1502,1503,1501", R"("v":2)"},
    {"stopped, its own update", Stage::kStopped, "", 2003, kDefV2, false, 0, "", 3, kP,
     Probe::kPLeaves, "1502,1503,1501", R"("v":2)"},
    {"stopped, its own status, restart", Stage::kStopped, "", 2002, kStat2, true, 0, "", 3, kP,
     Probe::kPLeaves, "1502,1503,1501", R"("n":2)"},
    {"started, its own update, restart", Stage::kStarted, "", 2003, kDefV2, true, 0, "1500", 2,
     kDef.c_str(), Probe::kQRegisters, "1504,1500", R"("v":2)"},
    {"registered, its own status", Stage::kRegistered, "", 2002, kStat2, false, 0, "1501", 1,
     kDef.c_str(), Probe::kQRegisters, "1504,1500", nullptr},
    // Uninstalled: no product active, and nothing arbitrated for it.
    {"registered, its own unregistration", Stage::kRegistered, "", 2001, "", false, 0, "", 0, "",
     Probe::kQRegisters, "1500", nullptr},
    {"registered, its own unregistration, restart", Stage::kRegistered, "", 2001, "", true, 0, "",
     0, "", Probe::kQRegisters, "1500", nullptr},
    {"stopped, its own unregistration", Stage::kStopped, "", 2001, "", false, 0, "", 0, kP,
     Probe::kPLeaves, "1502", nullptr},
    {"stopped, its own unregistration, restart", Stage::kStopped, "", 2001, "", true, 0, "", 0, kP,
     Probe::kPLeaves, "1502", nullptr},
    // A first detail update is a registration.
    {"registered, another's first update", Stage::kRegistered, kQ, 2003, Body("Q"), false, 0,
     "1504,1500", 3, kQ, Probe::kPLeaves, "", nullptr},
    {"stopped, another's first update", Stage::kStopped, kQ, 2003, Body("Q"), false, 501, "", 3, kP,
     Probe::kPLeaves, "1502,1503,1501", nullptr},
    {"not installed, its own first update", Stage::kNotInstalled, "", 2003, kDefV2, true, 0, "1500",
     1, kDef.c_str(), Probe::kQRegisters, "1504,1500", nullptr},
    // Registering while another product is active: stored, and stopped.
    {"not installed, it registers beside P", Stage::kNotInstalled, "", 2000, Body("Def"), false,
     501, "1504", 3, kP, Probe::kPLeaves, "1502,1503", nullptr},
    {"started, another registers, restart", Stage::kStarted, kQ, 2000, Body("Q"), true, 0,
     "1504,1500", 3, kQ, Probe::kPLeaves, "", nullptr},
};

// The store under a temporary root with a log of its own, for one test.
class InProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        MyLog *log = Singleton<MyLog>::Instance();
        log->Close();
        log->SetLogLevel(INFO);
        ASSERT_TRUE(log->Open(root_.Under("/store.log").c_str()));
        ASSERT_EQ(MoxDbInit(), 0);
    }
    void TearDown() override {
        MoxDbUninit();
        Singleton<MyLog>::Instance()->Close();
    }
    // A front UI of this process, which the default product's moves are
    // told to.
    int RegisterUi() {
        const std::string ui = R"({"name":"ui","login_uid":-1,"euid":)" +
                               std::to_string(geteuid()) + R"(,"pid":)" + std::to_string(getpid()) +
                               "}";
        return vk_test::HandleInProcess("ui-0001", KORVANE_REQ_FUI_REGISTER, ui).result;
    }

    vk_test::TempRoot root_;
    vk_test::ScopedRootEnv env_{root_.path()};
};

class DefaultProductTest : public InProcessTest, public ::testing::WithParamInterface<Row> {
protected:
    void SetUp() override {
        InProcessTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(RegisterUi(), 0);
    }

    Sent Send(const std::string &uuid, uint32_t type, const std::string &data = "") {
        const mox_packet_t packet =
            vk_test::HandleInProcess(uuid.empty() ? kDef : uuid, type, data);
        Sent s;
        s.result = packet.result;
        for (const mox_notice_t &n : packet.notices)
            s.notices += (s.notices.empty() ? "" : ",") + std::to_string(n.type);
        s.list = packet.notices;
        return s;
    }

    void SetStage(Stage stage) {
        if (stage == Stage::kNotInstalled) {
            if (GetParam().uuid[0] == '\0' && GetParam().type == 2000) {
                // The default registering beside an active product.
                ASSERT_EQ(Send(kP, 2000, Body("P")).result, 0);
            }
            return;
        }
        ASSERT_EQ(Send(kDef, 2000, Body("Def")).result, 0);
        ASSERT_EQ(Send(kDef, 2002, R"({"protection":"on","n":1})").result, 0);
        if (stage == Stage::kRegistered) return;
        ASSERT_EQ(Send(kP, 2000, Body("P")).notices, "1504,1500");
        if (stage == Stage::kStopped) return;
        ASSERT_EQ(Send(kP, 2001).notices, "1502,1503,1501");
    }

    int Mark() {
        CSecSoftInfo def;
        return db().GetDefSecSoft(def) == kMoxOk ? def.status : 0;
    }
    std::string Active() {
        CSecSoftInfo cur;
        return db().Get(cur) == kMoxOk ? cur.uuid : "";
    }
    CMoxDb &db() { return *Singleton<CMoxDb>::Instance(); }
};

TEST_P(DefaultProductTest, StateAcrossRequestsAndRestarts) {
    const Row &r = GetParam();
    SetStage(r.stage);
    if (HasFatalFailure()) return;
    const Sent sent = Send(r.uuid, r.type, r.body);
    EXPECT_EQ(r.result, sent.result);
    EXPECT_EQ(r.notices, sent.notices);
    if (r.restart) {
        MoxDbUninit();
        ASSERT_EQ(MoxDbInit(), 0);
    }
    EXPECT_EQ(r.mark, Mark());
    EXPECT_EQ(std::string(r.active), Active());

    const Sent probe = r.probe == Probe::kPLeaves ? Send(kP, 2001) : Send(kQ, 2000, Body("Q"));
    EXPECT_EQ(r.probe_notices, probe.notices);
    if (r.detail != nullptr) {
        std::string told;
        for (const mox_notice_t &n : probe.list)
            if (n.uuid == kDef) told += n.data;
        if (r.probe == Probe::kQRegisters) {
            // The 1504 carries the default product's detail.
            CSecSoftInfo def;
            ASSERT_EQ(db().GetDefSecSoft(def), kMoxOk);
            told += def.secsoft + def.secstat;
        }
        EXPECT_NE(std::string::npos, told.find(r.detail)) << told;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DefaultProductTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             std::string name;
                             for (const char *c = info.param.name; *c; ++c)
                                 name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

// An empty uuid is no product and no front UI: refused, nothing stored.
TEST_F(InProcessTest, EmptyUuidIsRefusedForEveryRequest) {
    for (uint32_t type : {1000u, 1001u, 1002u, 1003u, 1004u, 1005u, 2000u, 2001u, 2002u, 2003u}) {
        const mox_packet_t packet = vk_test::HandleInProcess("", type, Body("E"));
        EXPECT_EQ(KORVANE_RESULT_BAD_BODY, packet.result) << type;
        EXPECT_TRUE(packet.notices.empty()) << type;
    }
    CSecSoftInfo cur;
    EXPECT_EQ(kMoxNotFound, Singleton<CMoxDb>::Instance()->Get(cur));
    EXPECT_FALSE(Singleton<CMoxDb>::Instance()->SecSoftValid(""));
    EXPECT_FALSE(Singleton<CMoxDb>::Instance()->FrontUIValid(""));
}

}  // namespace

namespace {

// A status counts toward "protected" only when it came after the product's
// latest start: the default product told to start again by 1503 is not
// protecting because of what it reported before it was stopped, nor is a
// product that registered again.
TEST_F(InProcessTest, OnlyAStatusReportedAfterTheStartCounts) {
    auto send = [](const std::string &uuid, uint32_t type, const std::string &data = "") {
        return vk_test::HandleInProcess(uuid, type, data).result;
    };
    auto verdict = [] {
        health_facts_t f;
        health_gather(f);
        return std::string(health_judge(f).verdict) + " " + f.uuid;
    };
    const std::string on = R"({"protection":"on"})";
    ASSERT_EQ(0, RegisterUi());
    ASSERT_EQ(0, send(kDef, 2000, Body("Def")));
    EXPECT_EQ("unknown " + kDef, verdict());
    ASSERT_EQ(0, send(kDef, 2002, on));
    EXPECT_EQ("protected " + kDef, verdict());

    ASSERT_EQ(0, send(kP, 2000, Body("P")));  // 1504: the default is stopped
    ASSERT_EQ(0, send(kP, 2002, on));
    EXPECT_EQ(std::string("protected ") + kP, verdict());
    ASSERT_EQ(0, send(kP, 2000, Body("P")));  // started again
    EXPECT_EQ(std::string("unknown ") + kP, verdict());
    ASSERT_EQ(0, send(kP, 2002, on));
    EXPECT_EQ(std::string("protected ") + kP, verdict());

    ASSERT_EQ(0, send(kP, 2001));  // 1503: the default is started again
    EXPECT_EQ("unknown " + kDef, verdict()) << "its status is from before it was stopped";
    ASSERT_EQ(0, send(kDef, 2002, on));
    EXPECT_EQ("protected " + kDef, verdict());
}

}  // namespace

namespace {

// What the front UIs are told to start and stop is the program the
// daemon's settings name, whoever registered the default product and
// whatever an earlier configuration stored.
class DefaultProgramTest : public InProcessTest {
protected:
    void SetUp() override {
        InProcessTest::SetUp();
        Configure("Acme Default", "/opt/acme/default");
    }
    void TearDown() override {
        daemon_config_set(daemon_config_t());
        InProcessTest::TearDown();
    }
    static void Configure(const std::string &name, const std::string &exec) {
        daemon_config_t cfg;
        cfg.default_name = name;
        cfg.default_exec = exec;
        daemon_config_set(cfg);
    }
    // The data of the first notification of `type` about the default.
    static std::string Told(const mox_packet_t &packet, int type) {
        for (const mox_notice_t &n : packet.notices)
            if (n.uuid == kDef && n.type == type) return n.data;
        return "(none)";
    }
};

TEST_F(DefaultProgramTest, FrontUisAreToldTheConfiguredProgram) {
    ASSERT_EQ(0, RegisterUi());
    // Every "exec" and "name" the body repeats goes, not just the first.
    const mox_packet_t reg = vk_test::HandleInProcess(
        kDef, 2000, R"({"name":"Evil","exec":"/tmp/evil-default","v":1,"exec":"/tmp/evil-2"})");
    ASSERT_EQ(0, reg.result);
    // (In this process the body is taken as given: no "uuid" is appended.)
    const std::string expected = R"({"name":"Acme Default","exec":"/opt/acme/default","v":1})";
    EXPECT_EQ(expected, Told(reg, KORVANE_NOTIFY_SECSOFT));

    EXPECT_EQ(expected, Told(vk_test::HandleInProcess(kP, 2000, Body("P")), 1504));
    EXPECT_EQ(expected, Told(vk_test::HandleInProcess(kP, 2001, ""), 1503));
    CSecSoftInfo def;
    ASSERT_EQ(kMoxOk, Singleton<CMoxDb>::Instance()->GetDefSecSoft(def));
    EXPECT_EQ("Acme Default", def.name);
    EXPECT_EQ("/opt/acme/default", def.exec);
    EXPECT_EQ(expected, def.secsoft);
    EXPECT_NE(std::string::npos,
              vk_test::ReadFile(root_.Under("/store.log"))
                  .find("default sec-soft sent exec /tmp/evil-default,the configured "
                        "/opt/acme/default is kept"));
}

// A row stored under an earlier configuration (or by whoever could register
// the default product before) says the configured program after a start.
TEST_F(DefaultProgramTest, StoredRowTakesTheConfigurationAtStart) {
    ASSERT_EQ(0, RegisterUi());
    ASSERT_EQ(0, vk_test::HandleInProcess(kDef, 2000, Body("Def", R"(,"v":1)")).result);
    ASSERT_EQ(0, vk_test::HandleInProcess(kP, 2000, Body("P")).result);  // stopped: mark 3

    MoxDbUninit();
    Configure("Ambrel", "/usr/lib/ambrel/ui");
    ASSERT_EQ(0, MoxDbInit());
    EXPECT_TRUE(secsoft_default_settings_apply());
    CSecSoftInfo def;
    ASSERT_EQ(kMoxOk, Singleton<CMoxDb>::Instance()->GetDefSecSoft(def));
    EXPECT_EQ(3, def.status) << "the mark stays";
    EXPECT_EQ("/usr/lib/ambrel/ui", def.exec);
    const std::string expected = R"({"name":"Ambrel","exec":"/usr/lib/ambrel/ui","v":1})";
    EXPECT_EQ(expected, def.secsoft);
    EXPECT_EQ(expected, Told(vk_test::HandleInProcess(kP, 2001, ""), 1503));

    // Not installed: nothing to correct, nothing written.
    ASSERT_EQ(0, vk_test::HandleInProcess(kDef, 2001, "").result);
    EXPECT_TRUE(secsoft_default_settings_apply());
    EXPECT_EQ(kMoxNotFound, Singleton<CMoxDb>::Instance()->GetDefSecSoft(def));
}

}  // namespace
