// The bus end to end: the real daemon under a temporary root, a private
// dbus-daemon whose configuration includes the shipped policy file, and a
// small sd-bus client reading properties and collecting signals. The values
// are compared with what request 1005 answers on the socket and with the
// stored rows, at every step.
#include <SQLiteCpp/SQLiteCpp.h>
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/korvane_client.h"
#include "db/records.h"
#include "support/as_user.h"
#include "support/bus_client.h"
#include "support/child_process.h"
#include "support/daemon_process.h"
#include "support/private_bus.h"
#include "support/shell.h"
#include "support/temp_root.h"

using korvane::Client;
using korvane::Endpoint;
using korvane::Message;
using vk_test::BusClient;
using vk_test::BusSignal;
using vk_test::BusValues;

namespace {

std::string Compact(const std::string &json) {
    cJSON *tree = cJSON_Parse(json.c_str());
    if (tree == nullptr) return json;
    char *text = cJSON_PrintUnformatted(tree);
    std::string out = text != nullptr ? text : json;
    cJSON_free(text);
    cJSON_Delete(tree);
    return out;
}

const std::string kUi = "ui-0001";
const std::string kAv = "av-0001";
constexpr const char *kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

std::string Body(const std::string &name, const std::string &exec) {
    return R"({"name":")" + name + R"(","exec":")" + exec + R"("})";
}

std::string UiBody(int pid) {
    return R"({"name":"ui","login_uid":-1,"euid":)" + std::to_string(geteuid()) + R"(,"pid":)" +
           std::to_string(pid) + "}";
}

std::string JsonText(const cJSON *item) {
    return cJSON_IsString(item) ? item->valuestring : "";
}

class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!vk_test::Have("dbus-daemon"))
            GTEST_SKIP() << "dbus-daemon is not installed (scripts/setup.sh installs it)";
        bus_ = std::make_unique<vk_test::PrivateBus>();
        ASSERT_TRUE(bus_->ok()) << bus_->error();
        daemon_bus_ = std::make_unique<vk_test::ScopedDaemonBus>(bus_->address());
    }

    void Start(const std::string &conf = "[liveness]\ngrace = 1\n", bool expect_name = true) {
        vk_test::WriteDaemonSettings(root_, conf);
        daemon_ = std::make_unique<vk_test::DaemonProcess>(root_.path());
        ASSERT_TRUE(daemon_->WaitListening());
        if (!expect_name) return;
        watcher_ = std::make_unique<BusClient>(bus_->address());
        ASSERT_TRUE(watcher_->ok()) << watcher_->error();
        ASSERT_TRUE(vk_test::WaitFor([this] { return watcher_->HasOwner(vk_test::kRegistryName); }))
            << daemon_->Log();
        ui_ = Connect(Endpoint::kFrontUi);
        ASSERT_EQ(Result(*ui_, kUi, 1000, UiBody(getpid())), 0);
        sec_ = Connect(Endpoint::kSecSoft);
    }

    std::unique_ptr<Client> Connect(Endpoint ep) {
        return vk_test::TryOutConnect(root_.path(), ep);
    }

    Message Ask(Client &c, const std::string &uuid, uint32_t type,
                const std::optional<std::string> &data = std::nullopt) {
        EXPECT_TRUE(c.SendRequest(uuid, ++next_id_, type, data)) << c.error();
        auto m = c.ReadMessage(5000);
        while (m && !m->has_result) {
            if (&c == ui_.get()) ui_notes_.push_back(*m);
            m = c.ReadMessage(5000);
        }
        EXPECT_TRUE(m.has_value()) << "no reply to type " << type << ": " << c.error();
        return m ? *m : Message();
    }
    int Result(Client &c, const std::string &uuid, uint32_t type,
               const std::optional<std::string> &data = std::nullopt) {
        return Ask(c, uuid, type, data).result;
    }

    // What request 1005 and the store say, as the bus should show it.
    BusValues Expected() {
        BusValues v;
        Message m = Ask(*ui_, kUi, 1005);
        EXPECT_EQ(m.result, 0);
        cJSON *root = cJSON_Parse(m.data.c_str());
        EXPECT_NE(root, nullptr) << m.data;
        if (root == nullptr) return v;
        v["Verdict"] = JsonText(cJSON_GetObjectItem(root, "verdict"));
        const cJSON *reason;
        cJSON_ArrayForEach(reason, cJSON_GetObjectItem(root, "reasons")) {
            v["Reasons"] += JsonText(reason) + "\n";
        }
        const cJSON *code;
        cJSON_ArrayForEach(code, cJSON_GetObjectItem(root, "codes")) {
            v["Codes"] += JsonText(code) + "\n";
        }
        v["ActiveProduct"] = JsonText(cJSON_GetObjectItem(root, "product"));
        v["ActiveProductName"] = JsonText(cJSON_GetObjectItem(root, "name"));
        const cJSON *alive = cJSON_GetObjectItem(root, "alive");
        v["Alive"] = cJSON_IsBool(alive) ? (cJSON_IsTrue(alive) ? "yes" : "no") : "unwatched";
        const cJSON *last = cJSON_GetObjectItem(root, "last_report");
        v["LastReport"] =
            cJSON_IsNumber(last) ? std::to_string(static_cast<long long>(last->valuedouble)) : "0";
        v["DefaultProduct"] = JsonText(cJSON_GetObjectItem(root, "default"));
        cJSON_Delete(root);
        v["Detail"] = v["Status"] = "";
        if (!v["ActiveProduct"].empty()) {
            SQLite::Database db(root_.Under("/etc/korvane/korvaned.db"), SQLite::OPEN_READONLY);
            SQLite::Statement q(db, "select secsoft,secstat from t_secsoft where uuid=?");
            q.bind(1, v["ActiveProduct"]);
            if (q.executeStep()) {
                // One line on the bus, as the store's text prints compact.
                v["Detail"] = Compact(q.getColumn(0).getString());
                v["Status"] = Compact(q.getColumn(1).getString());
            }
        }
        return v;
    }

    // Reads the properties after what the test just did: they equal what
    // the socket says; the signals since `before` carried changed values
    // only, each signal at least one, and lead from `before` to them.
    // Returns the new values and the number of PropertiesChanged.
    int Settle(BusValues &values) {
        EXPECT_TRUE(watcher_->Sync()) << watcher_->error();
        std::optional<BusValues> now = watcher_->GetAll();
        EXPECT_TRUE(now.has_value()) << watcher_->error();
        if (!now) return -1;
        EXPECT_EQ(*now, Expected());
        int changes = 0;
        BusValues state = values;
        for (const BusSignal &s : watcher_->Take()) {
            if (s.member == "Notification") {
                notifications_.push_back(s);
                continue;
            }
            EXPECT_EQ(s.member, "PropertiesChanged");
            EXPECT_TRUE(s.invalidated.empty());
            EXPECT_FALSE(s.changed.empty());
            ++changes;
            for (const auto &kv : s.changed) {
                EXPECT_NE(state[kv.first], kv.second) << kv.first << " sent unchanged";
                state[kv.first] = kv.second;
            }
        }
        EXPECT_EQ(state, *now) << "the signals do not lead to the values read";
        values = *now;
        return changes;
    }

    // Every Notification signal so far is one front-UI notification, in
    // order and with the same content.
    void ExpectNotificationsMirrored() {
        // Whatever the front UI got besides replies is read by Ask; take
        // what may still wait.
        while (auto m = ui_->ReadMessage(ui_notes_.size() < notifications_.size() ? 5000 : 0))
            if (!m->has_result) ui_notes_.push_back(*m);
        ASSERT_EQ(ui_notes_.size(), notifications_.size());
        for (size_t i = 0; i < ui_notes_.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(notifications_[i].type, ui_notes_[i].type);
            EXPECT_EQ(notifications_[i].uuid, ui_notes_[i].uuid);
            cJSON *a = cJSON_Parse(notifications_[i].data.c_str());
            cJSON *b = cJSON_Parse(ui_notes_[i].data.c_str());
            EXPECT_TRUE((a == nullptr && !ui_notes_[i].has_data) || cJSON_Compare(a, b, cJSON_True))
                << notifications_[i].data << " vs " << ui_notes_[i].data;
            cJSON_Delete(a);
            cJSON_Delete(b);
        }
    }

    vk_test::TempRoot root_;
    std::unique_ptr<vk_test::PrivateBus> bus_;
    std::unique_ptr<vk_test::ScopedDaemonBus> daemon_bus_;
    std::unique_ptr<vk_test::DaemonProcess> daemon_;
    std::unique_ptr<BusClient> watcher_;
    std::unique_ptr<Client> ui_, sec_;
    std::vector<Message> ui_notes_;
    std::vector<BusSignal> notifications_;
    uint64_t next_id_ = 100;
};

TEST_F(BusTest, ValuesFollowTheRegistryWithOneSignalPerChange) {
    ASSERT_NO_FATAL_FAILURE(Start());
    BusValues values = *watcher_->GetAll();
    EXPECT_EQ(values, Expected());
    EXPECT_EQ(values["Verdict"], "unknown");
    EXPECT_EQ(values["ActiveProduct"], "");

    struct Step {
        const char *name;
        uint32_t type;
        std::string data;
        bool changes;  // whether some property must change
    };
    const std::string on = R"({"protection":"on","signatures":"up-to-date"})";
    const std::vector<Step> steps = {
        {"register", 2000, Body("Acme AV", "/opt/acme/avd"), true},
        {"report on", 2002, on, true},
        {"report off", 2002, R"({"protection":"off"})", true},
        {"report on again", 2002, on, true},
        {"detail", 2003, Body("Acme AV Pro", "/opt/acme/avd"), true},
        {"unregister", 2001, "", true},
        {"unregister again", 2001, "", false},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        Ask(*sec_, kAv, s.type, s.data.empty() ? std::nullopt : std::optional<std::string>(s.data));
        BusValues before = values;
        int signals = Settle(values);
        EXPECT_EQ(signals, before != values ? 1 : 0);
        if (s.changes) {
            EXPECT_NE(before, values);
        }
    }
    EXPECT_EQ(values["ActiveProduct"], "");
    ExpectNotificationsMirrored();
    EXPECT_FALSE(notifications_.empty());
}

// A product that reports the same status every second moves only
// LastReport: Get shows it at once, but no signal goes out for it until a
// minute after the last one that carried it, or until something else
// changes, which takes it along.
TEST_F(BusTest, ARepeatedStatusMovesLastReportWithoutASignal) {
    ASSERT_NO_FATAL_FAILURE(Start());
    BusValues values = *watcher_->GetAll();
    ASSERT_EQ(Result(*sec_, kAv, 2000, Body("Acme AV", "/opt/acme/avd")), 0);
    EXPECT_EQ(Settle(values), 1);
    const std::string on = R"({"protection":"on"})";
    ASSERT_EQ(Result(*sec_, kAv, 2002, on), 0);
    EXPECT_EQ(Settle(values), 1);
    const std::string first = values["LastReport"];
    ASSERT_NE(first, "0");

    // LastReport counts seconds: the next report must fall in a later one.
    const time_t reported = time(nullptr);
    ASSERT_TRUE(vk_test::WaitFor([&] { return time(nullptr) > reported; }, 3000));
    ASSERT_EQ(Result(*sec_, kAv, 2002, on), 0);
    ASSERT_TRUE(watcher_->Sync()) << watcher_->error();
    std::optional<BusValues> now = watcher_->GetAll();
    ASSERT_TRUE(now.has_value()) << watcher_->error();
    EXPECT_EQ(*now, Expected());
    for (const BusSignal &s : watcher_->Take()) {
        EXPECT_EQ(s.member, "Notification") << "a change of LastReport alone was signalled";
        notifications_.push_back(s);
    }
    BusValues unsignalled = values;
    unsignalled["LastReport"] = (*now)["LastReport"];
    EXPECT_EQ(*now, unsignalled) << "only LastReport may have moved";

    // Another property changes: one signal, LastReport with it.
    ASSERT_EQ(Result(*sec_, kAv, 2002, R"({"protection":"off"})"), 0);
    EXPECT_EQ(Settle(values), 1);
    EXPECT_NE(values["LastReport"], first);
    ExpectNotificationsMirrored();
}

TEST_F(BusTest, FailoverIsShownAndSignalled) {
    ASSERT_NO_FATAL_FAILURE(Start());
    mkdir(root_.Under("/opt").c_str(), 0755);
    const std::string program = root_.Under("/opt/avd");
    ASSERT_TRUE(vk_test::CopyProgram("/bin/sleep", program));
    auto product =
        std::make_unique<vk_test::ChildProcess>(std::vector<std::string>{program, "600"});
    ASSERT_TRUE(product->WaitExec(program));
    BusValues values = *watcher_->GetAll();
    ASSERT_EQ(Result(*sec_, kAv, 2000, Body("Acme AV", program)), 0);
    // Registered at once; its running program is found by the next look at
    // /proc, a moment later: one signal each, or one for both.
    ASSERT_TRUE(vk_test::WaitFor([this] {
        watcher_->Sync();
        auto v = watcher_->Get("Alive");
        return v && *v == "yes";
    })) << daemon_->Log();
    const int registered = Settle(values);
    EXPECT_GE(registered, 1);
    EXPECT_LE(registered, 2);
    ASSERT_EQ(Result(*sec_, kAv, 2002, R"({"protection":"on"})"), 0);
    EXPECT_EQ(Settle(values), 1);
    EXPECT_EQ(values["Verdict"], "protected");
    EXPECT_EQ(values["Alive"], "yes");

    product->Kill();
    // Gone, then lost after the grace: the default product again.
    ASSERT_TRUE(vk_test::WaitFor(
        [this] {
            watcher_->Sync();
            auto v = watcher_->Get("ActiveProduct");
            return v && *v != kAv;
        },
        15000))
        << daemon_->Log();
    EXPECT_GE(Settle(values), 1);
    EXPECT_NE(values["ActiveProduct"], kAv);
    ExpectNotificationsMirrored();
}

TEST_F(BusTest, IntrospectionShowsTheInterfaceAndOnlyReadsAreAllowed) {
    ASSERT_NO_FATAL_FAILURE(Start());
    if (vk_test::Have("busctl")) {
        vk_test::ShellOutput o = vk_test::Sh("busctl --address=" + vk_test::Quote(bus_->address()) +
                                             " introspect org.korvane.Registry1 "
                                             "/org/korvane/Registry1 org.korvane.Registry1");
        ASSERT_EQ(o.status, 0) << o.text;
        for (const char *line : {".Verdict", ".Reasons", ".ActiveProduct", ".ActiveProductName",
                                 ".Detail", ".Status", ".Alive", ".LastReport", ".DefaultProduct",
                                 ".Codes", ".Notification", "emits-change", "qss"})
            EXPECT_NE(o.text.find(line), std::string::npos) << line << " in\n" << o.text;
        EXPECT_EQ(o.text.find(" method "), std::string::npos) << o.text;
        o = vk_test::Sh("busctl --address=" + vk_test::Quote(bus_->address()) +
                        " get-property org.korvane.Registry1 /org/korvane/Registry1 "
                        "org.korvane.Registry1 Verdict");
        EXPECT_EQ(o.text, "s \"unknown\"\n");
    }
    std::string xml = watcher_->Introspect();
    EXPECT_NE(xml.find("<interface name=\"org.korvane.Registry1\">"), std::string::npos) << xml;
    // Nothing but reads reaches the daemon, whoever calls.
    struct Refused {
        const char *interface, *member, *signature;
        std::string arg;
    };
    const Refused refused[] = {
        {"org.freedesktop.DBus.Properties", "Set", nullptr, ""},
        {"org.korvane.Registry1", "Unregister", "s", kAv},
        {"org.freedesktop.DBus.Introspectable", "Other", nullptr, ""},
    };
    for (const Refused &r : refused)
        EXPECT_EQ(watcher_->Call(r.interface, r.member, r.signature, r.arg), kAccessDenied)
            << r.interface << "." << r.member;
    EXPECT_EQ(watcher_->Call("org.freedesktop.DBus.Peer", "Ping"), "");
}

TEST_F(BusTest, OtherUsersReadAndListenButNeitherOwnNorCall) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: reads the bus as another user";
    ASSERT_NO_FATAL_FAILURE(Start());
    const std::string address = bus_->address();
    const std::string ready = "/tmp/vk-bus-ready-" + std::to_string(getpid());
    unlink(ready.c_str());
    vk_test::OtherUserProcess other([address, ready] {
        BusClient c(address);
        if (!c.ok()) return "no connection: " + c.error();
        std::string out;
        auto verdict = c.Get("Verdict");
        out += "verdict " + (verdict ? *verdict : "error " + c.error()) + "\n";
        out += "all " + std::string(c.GetAll() ? "read" : "error " + c.error()) + "\n";
        out += "introspect " + std::string(c.Introspect().empty() ? "error" : "read") + "\n";
        out += "ping [" + c.Call("org.freedesktop.DBus.Peer", "Ping") + "]\n";
        out += "own [" + c.RequestName(vk_test::kRegistryName) + "]\n";
        out += "set [" + c.Call("org.freedesktop.DBus.Properties", "Set") + "]\n";
        out += "other [" + c.Call("org.korvane.Registry1", "Stop") + "]\n";
        vk_test::WriteFile(ready, "");
        std::vector<BusSignal> got;
        vk_test::WaitFor([&] {
            c.Sync();
            for (const BusSignal &s : c.Take()) got.push_back(s);
            return !got.empty();
        });
        out += "signal " + (got.empty() ? std::string("none") : got.front().member) + "\n";
        return out;
    });
    ASSERT_TRUE(vk_test::WaitFor([&] { return vk_test::FileExists(ready); }));
    unlink(ready.c_str());
    ASSERT_EQ(Result(*sec_, kAv, 2000, Body("Acme AV", "/opt/acme/avd")), 0);
    auto text = other.WaitResult();
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, std::string("verdict unknown\nall read\nintrospect read\nping []\n") +
                         "own [" + kAccessDenied + "]\nset [" + kAccessDenied + "]\nother [" +
                         kAccessDenied + "]\nsignal Notification\n");
}

TEST_F(BusTest, SocketsKeepServingWhenTheBusDiesAndTheNameComesBack) {
    ASSERT_NO_FATAL_FAILURE(Start());
    bus_->Kill();
    ASSERT_TRUE(daemon_->WaitLog("|bus: the system bus went away")) << daemon_->Log();
    EXPECT_EQ(Result(*sec_, kAv, 2000, Body("Acme AV", "/opt/acme/avd")), 0);
    Message health = Ask(*ui_, kUi, 1005);
    EXPECT_EQ(health.result, 0);
    EXPECT_NE(health.data.find(kAv), std::string::npos) << health.data;

    // The bus comes back on the same socket: the daemon takes its name again.
    ASSERT_TRUE(bus_->Start()) << bus_->error();
    watcher_ = std::make_unique<BusClient>(bus_->address());
    ASSERT_TRUE(watcher_->ok()) << watcher_->error();
    ASSERT_TRUE(
        vk_test::WaitFor([this] { return watcher_->HasOwner(vk_test::kRegistryName); }, 20000))
        << daemon_->Log();
    EXPECT_EQ(*watcher_->GetAll(), Expected());
    EXPECT_EQ(vk_test::Occurrences(daemon_->Log(), "|bus: the system bus went away"), 1u);
    EXPECT_TRUE(daemon_->Running());
}

TEST_F(BusTest, WithoutABusOrWithModeOffTheSocketsServeAsBefore) {
    struct Case {
        const char *name;
        std::string conf;
        std::string address;  // "" for the private bus
        const char *log;
    };
    const Case cases[] = {
        {"no bus", "", "unix:path=" + root_.Under("/run/nothing"),
         "|bus: no system bus at unix:path="},
        {"mode off", "[dbus]\nmode = off\n", "", "|bus: off,not connecting"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vk_test::ScopedDaemonBus address(c.address.empty() ? bus_->address() : c.address);
        ASSERT_NO_FATAL_FAILURE(Start(c.conf, false));
        ui_ = Connect(Endpoint::kFrontUi);
        ASSERT_EQ(Result(*ui_, kUi, 1000, UiBody(getpid())), 0);
        sec_ = Connect(Endpoint::kSecSoft);
        EXPECT_EQ(Result(*sec_, kAv, 2000, Body("Acme AV", "/opt/acme/avd")), 0);
        EXPECT_EQ(Ask(*ui_, kUi, 1005).result, 0);
        EXPECT_EQ(vk_test::Occurrences(daemon_->Log(), c.log), 1u) << daemon_->Log();
        BusClient look(bus_->address(), false);
        EXPECT_FALSE(look.HasOwner(vk_test::kRegistryName));
        ui_.reset();
        sec_.reset();
        EXPECT_EQ(daemon_->Stop(), 0);
        daemon_.reset();
    }
}

// A bus that reads nothing (stopped) fills the daemon's queue: signals are
// dropped and logged once, the sockets keep answering, and once the bus
// reads again the properties catch up.
TEST_F(BusTest, StalledBusDropsSignalsWithoutStallingTheSockets) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(Result(*sec_, kAv, 2000, Body("Acme AV", "/opt/acme/avd")), 0);
    ASSERT_EQ(kill(bus_->pid(), SIGSTOP), 0);
    const std::string filler(4000, 'x');
    bool logged = false;
    for (int i = 0; i < 2000 && !logged; ++i) {
        std::string status = R"({"protection":")" + std::string(i % 2 ? "on" : "off") +
                             R"(","note":")" + filler + std::to_string(i) + R"("})";
        ASSERT_EQ(Result(*sec_, kAv, 2002, status), 0) << i;
        if (i % 50 == 49)
            logged = daemon_->Log().find("signals dropped until") != std::string::npos;
    }
    EXPECT_TRUE(logged) << "the queue never passed its bound";
    ASSERT_EQ(kill(bus_->pid(), SIGCONT), 0);
    EXPECT_EQ(Result(*sec_, kAv, 2002, R"({"protection":"on"})"), 0);
    ASSERT_TRUE(vk_test::WaitFor(
        [this] {
            watcher_->Sync();
            watcher_->Take();
            auto v = watcher_->GetAll();
            return v && *v == Expected();
        },
        20000));
    EXPECT_EQ(vk_test::Occurrences(daemon_->Log(), "signals dropped until"), 1u);
    EXPECT_EQ(daemon_->Stop(), 0);
    EXPECT_NE(daemon_->Log().find("|bus: "), std::string::npos);
    EXPECT_NE(daemon_->Log().find("signals dropped in all"), std::string::npos) << daemon_->Log();
}

}  // namespace
