// The access policy against real processes of other users: the test
// process (root) sets up a registry, then a child switched to another uid
// sends one request. A refusal answers 403, changes no stored row, sends no
// notification to a watching front UI, logs who was refused and keeps the
// connection open.
#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/korvane_client.h"
#include "daemon/run_to_end.h"
#include "db/records.h"
#include "peer/logbudget.h"
#include "support/as_user.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using korvane::Client;
using korvane::Endpoint;

namespace {

const std::string kDef = kDefSecSoftUuid;
const std::string kOwnerUi = "ui-owner";
const std::string kAv = "av-1";
constexpr uid_t kUiOwnerUid = 5151;  // the euid the current front UI declared

const vk_test::Identity kStranger = {65534, 65534, {}};
const vk_test::Identity kUiOwner = {kUiOwnerUid, kUiOwnerUid, {}};
const vk_test::Identity kListedUser = {4242, 4242, {}};
const vk_test::Identity kGroupMember = {4343, 4343, {4444}};
const vk_test::Identity kNotMember = {4343, 4343, {}};

std::string SelfExe() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// What the child declares in a front-UI registration.
enum class Declares { kNothing, kItself, kPidOne, kEuidZero };

std::string UiBody(Declares d) {
    long pid = d == Declares::kPidOne ? 1 : getpid();
    long euid = d == Declares::kEuidZero ? 0 : geteuid();
    return R"({"name":"ui","login_uid":1000,"euid":)" + std::to_string(euid) + R"(,"pid":)" +
           std::to_string(pid) + "}";
}

std::optional<std::string> BodyFor(uint32_t type, Declares d) {
    switch (type) {
        case 1000:
            return UiBody(d);
        case 1003:
            return std::string(R"({"theme":"stolen"})");
        case 2000:
        case 2003:
            return std::string(R"({"name":"Fake AV","exec":"/tmp/fake"})");
        case 2002:
            return std::string(R"({"protected":true})");
        default:
            return std::nullopt;
    }
}

// Sends one request and waits for its reply (notifications skipped): its
// result, or -1.
int Send(Client &c, const std::string &uuid, uint32_t type,
         const std::optional<std::string> &body = std::nullopt) {
    if (!c.SendRequest(uuid, 1, type, body)) return -1;
    auto m = c.ReadMessage(10000);
    while (m && !m->has_result) m = c.ReadMessage(10000);
    return m ? m->result : -1;
}

// A daemon under a fresh root, with an optional policy file.
class Service {
public:
    // `seat`: null, no logind (no /run/systemd/seats); "" logind with no
    // one active (no seat0 file); else the content of seat0.
    explicit Service(const std::string &policy, const char *seat = nullptr) {
        if (seat != nullptr) {
            for (const char *d : {"/run", "/run/systemd", "/run/systemd/seats"})
                mkdir(m_root.Under(d).c_str(), 0755);
            if (seat[0] != '\0') vk_test::WriteFile(m_root.Under("/run/systemd/seats/seat0"), seat);
        }
        if (!policy.empty()) {
            std::string path = m_root.Under("/etc/korvane/access.conf");
            mkdir(m_root.Under("/etc").c_str(), 0755);
            mkdir(m_root.Under("/etc/korvane").c_str(), 0755);
            vk_test::WriteFile(path, policy);
            chmod(path.c_str(), 0644);
        }
        m_daemon = std::make_unique<vk_test::DaemonProcess>(m_root.path());
    }

    bool Listening() const { return m_daemon->WaitListening(); }
    // Stops the daemon and starts it again on the same root.
    bool Restart() {
        m_daemon.reset();
        m_daemon = std::make_unique<vk_test::DaemonProcess>(m_root.path());
        return m_daemon->WaitListening();
    }
    const vk_test::DaemonProcess &daemon() const { return *m_daemon; }

    std::string Name(Endpoint ep) const { return vk_test::TryOutName(m_root.path(), ep); }

    // As root: a current front UI of uid 5151 with a configuration, the
    // default product and an active product with a status. False when a
    // step was not answered 0.
    bool SetUpRegistry() const {
        Client ui, av;
        if (!ui.Connect(Name(Endpoint::kFrontUi)) || !av.Connect(Name(Endpoint::kSecSoft)))
            return false;
        // Registered on the user's behalf with a pid naming no process: not
        // watched, so the uuid is the user's, not one process's.
        std::string ui_body = R"({"name":"ui","login_uid":5151,"euid":5151,"pid":2147483000})";
        return Send(ui, kOwnerUi, 1000, ui_body) == 0 &&
               Send(ui, kOwnerUi, 1003, std::string(R"({"theme":"dark"})")) == 0 &&
               Send(av, kDef, 2000, std::string(R"({"name":"Ambrel","exec":"/opt/p"})")) == 0 &&
               Send(av, kAv, 2000, std::string(R"({"name":"AV","exec":"/opt/av"})")) == 0 &&
               Send(av, kAv, 2002, std::string(R"({"protected":true})")) == 0;
    }

    // Every stored row, as text.
    std::string Dump() const {
        SQLite::Database db(m_root.Under("/etc/korvane/korvaned.db"), SQLite::OPEN_READONLY);
        std::string out;
        for (const char *sql :
             {"select * from t_frontui order by uuid", "select * from t_secsoft order by uuid"}) {
            SQLite::Statement q(db, sql);
            while (q.executeStep()) {
                for (int i = 0; i < q.getColumnCount(); ++i)
                    out += q.getColumn(i).getString() + "|";
                out += "\n";
            }
            out += "--\n";
        }
        return out;
    }

private:
    vk_test::TempRoot m_root;
    std::unique_ptr<vk_test::DaemonProcess> m_daemon;
};

class AccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: requests are sent by children switched to other uids";
    }
};

// The child's side: one request, then a status query on the same
// connection. "<result> <follow-up result> <pid>".
std::string RequestAsChild(const std::string &socket, const std::string &uuid, uint32_t type,
                           Declares declares) {
    Client c = vk_test::TryOutClient();
    if (!c.Connect(socket)) return "connect: " + c.error();
    auto reply = [&](int64_t id) -> int {
        auto m = c.ReadMessage(10000);
        while (m && !m->has_result) m = c.ReadMessage(10000);
        return m && m->id == static_cast<uint64_t>(id) ? m->result : -1;
    };
    if (!c.SendRequest(uuid, 7, type, BodyFor(type, declares))) return "send: " + c.error();
    int first = reply(7);
    if (!c.SendRequest(kOwnerUi, 8, 1002)) return "send: " + c.error();
    int second = reply(8);
    return std::to_string(first) + " " + std::to_string(second) + " " + std::to_string(getpid());
}

enum PolicyKind { kNoPolicy, kListed, kExecutable, kUiListed, kOpen, kDefaultNamed };

std::string PolicyText(PolicyKind kind) {
    switch (kind) {
        case kListed:
            return "[products]\nusers = 4242\ngroups = 4444\n";
        case kExecutable:
            return "[products]\nexecutables = " + SelfExe() + "\n";
        case kUiListed:
            return "[frontui]\nusers = 4242\n";
        case kOpen:
            return "[access]\nmode = open\n";
        case kDefaultNamed:
            return "[products]\nusers = 4242\n[default-product]\ngroups = 4444\n";
        default:
            return "";
    }
}

struct Case {
    const char *name;
    PolicyKind policy;
    const vk_test::Identity *who;  // null: root
    uint32_t type;
    std::string uuid;
    Declares declares;
    int result;
    const char *rule;  // the refusing rule, null when allowed
};

const Case kCases[] = {
    // Product requests: root only by default.
    {"root registers a second product", kNoPolicy, nullptr, 2000, "av-2", Declares::kNothing, 501,
     nullptr},
    {"stranger registers", kNoPolicy, &kStranger, 2000, "fake", Declares::kNothing, 403,
     "products"},
    {"stranger unregisters the active product", kNoPolicy, &kStranger, 2001, kAv,
     Declares::kNothing, 403, "products"},
    {"stranger reports for it", kNoPolicy, &kStranger, 2002, kAv, Declares::kNothing, 403,
     "products"},
    {"stranger updates it", kNoPolicy, &kStranger, 2003, kAv, Declares::kNothing, 403, "products"},
    // Root registered kAv: its uuid is not the listed users' to speak for.
    {"listed uid reports for root's product", kListed, &kListedUser, 2002, kAv, Declares::kNothing,
     403, "product-uuid-owner"},
    {"listed group updates root's product", kListed, &kGroupMember, 2003, kAv, Declares::kNothing,
     403, "product-uuid-owner"},
    {"listed uid registers its own", kListed, &kListedUser, 2000, "av-l", Declares::kNothing, 501,
     nullptr},
    {"same uid without the group", kListed, &kNotMember, 2003, kAv, Declares::kNothing, 403,
     "products"},
    {"listed executable unregisters root's product", kExecutable, &kStranger, 2001, kAv,
     Declares::kNothing, 403, "product-uuid-owner"},
    {"open mode: stranger unregisters", kOpen, &kStranger, 2001, kAv, Declares::kNothing, 0,
     nullptr},
    // The default product is what the front UIs start: root's, or whom
    // [default-product] names.
    {"listed uid registers the default product", kListed, &kListedUser, 2000, kDefSecSoftUuid,
     Declares::kNothing, 403, "default-product"},
    {"listed uid reports for the default product", kListed, &kListedUser, 2002, kDefSecSoftUuid,
     Declares::kNothing, 403, "default-product"},
    {"listed product uid, another named for the default", kDefaultNamed, &kListedUser, 2000,
     kDefSecSoftUuid, Declares::kNothing, 403, "default-product"},
    // Named for it, but root registered it: still root's.
    {"named for the default product, root's registration", kDefaultNamed, &kGroupMember, 2003,
     kDefSecSoftUuid, Declares::kNothing, 403, "product-uuid-owner"},

    // Reads stay open.
    {"stranger reads the product", kNoPolicy, &kStranger, 1001, kOwnerUi, Declares::kNothing, 0,
     nullptr},
    {"stranger reads the status", kNoPolicy, &kStranger, 1002, kOwnerUi, Declares::kNothing, 0,
     nullptr},

    // Configuration: the current front UI's euid only.
    {"stranger reads the configuration", kNoPolicy, &kStranger, 1004, kOwnerUi, Declares::kNothing,
     403, "frontui-config-owner"},
    {"stranger overwrites the configuration", kNoPolicy, &kStranger, 1003, kOwnerUi,
     Declares::kNothing, 403, "frontui-config-owner"},
    {"owner reads its configuration", kNoPolicy, &kUiOwner, 1004, kOwnerUi, Declares::kNothing, 0,
     nullptr},
    {"owner saves its configuration", kNoPolicy, &kUiOwner, 1003, kOwnerUi, Declares::kNothing, 0,
     nullptr},
    {"stranger asks for an unknown uuid", kNoPolicy, &kStranger, 1004, "nobody", Declares::kNothing,
     100, nullptr},

    // Registration: as itself, and not under the current one's uuid.
    {"stranger declares pid 1", kNoPolicy, &kStranger, 1000, "ui-s", Declares::kPidOne, 403,
     "frontui-identity"},
    {"stranger declares euid 0", kNoPolicy, &kStranger, 1000, "ui-s", Declares::kEuidZero, 403,
     "frontui-identity"},
    {"stranger takes the current uuid", kNoPolicy, &kStranger, 1000, kOwnerUi, Declares::kItself,
     403, "frontui-uuid-owner"},
    {"owner registers again", kNoPolicy, &kUiOwner, 1000, kOwnerUi, Declares::kItself, 0, nullptr},
    {"stranger registers itself beside it", kNoPolicy, &kStranger, 1000, "ui-s", Declares::kItself,
     104, nullptr},
    {"unlisted user registers", kUiListed, &kStranger, 1000, "ui-s", Declares::kItself, 403,
     "frontui-listed"},
    {"listed user registers", kUiListed, &kListedUser, 1000, "ui-l", Declares::kItself, 104,
     nullptr},
    {"open mode: takes the current uuid", kOpen, &kStranger, 1000, kOwnerUi, Declares::kPidOne, 0,
     nullptr},
};

TEST_F(AccessTest, RequestsOfOtherUsers) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        Service service(PolicyText(c.policy));
        ASSERT_TRUE(service.Listening());
        ASSERT_TRUE(service.SetUpRegistry());

        const std::string before = service.Dump();
        Client watcher = vk_test::TryOutClient();
        ASSERT_TRUE(watcher.Connect(service.Name(Endpoint::kFrontUi))) << watcher.error();
        ASSERT_EQ(Send(watcher, "watcher", 1002), 100);  // accepted before the request

        std::string socket = service.Name(c.type >= 2000 ? Endpoint::kSecSoft : Endpoint::kFrontUi);
        auto run = [&] { return RequestAsChild(socket, c.uuid, c.type, c.declares); };
        std::optional<std::string> got =
            c.who == nullptr ? std::optional<std::string>(run()) : vk_test::RunAs(*c.who, run);
        ASSERT_TRUE(got.has_value()) << "the child did not report";
        int result = -2, follow = -2;
        long pid = 0;
        ASSERT_EQ(sscanf(got->c_str(), "%d %d %ld", &result, &follow, &pid), 3) << *got;
        EXPECT_EQ(result, c.result);
        EXPECT_GE(follow, 0) << "the connection stays open after the reply";
        if (c.rule == nullptr) continue;

        EXPECT_EQ(service.Dump(), before) << "a refusal stores nothing";
        // Notifications go out before the reply that caused them: any would
        // now be waiting ahead of this reply.
        ASSERT_TRUE(watcher.SendRequest("watcher", 9, 1002));
        auto next = watcher.ReadMessage(10000);
        ASSERT_TRUE(next.has_value()) << watcher.error();
        EXPECT_TRUE(next->has_result) << "notification after a refusal: " << next->json;
        std::string line = "|ERROR|refuse request type: " + std::to_string(c.type) +
                           ",uuid: " + c.uuid + ",from pid: " + std::to_string(pid) +
                           ",uid: " + std::to_string(c.who->uid) + ",exe: " + SelfExe() +
                           ",rule: " + c.rule + "\n";
        EXPECT_TRUE(service.daemon().WaitLog(line)) << line << service.daemon().Log();
    }
}

// A product's uuid belongs to who registered it, across a restart, until it
// unregisters: another listed identity is refused, root is not.
TEST_F(AccessTest, ProductUuidIsItsRegistrants) {
    Service service("[products]\nusers = 4242\ngroups = 4444\n");
    ASSERT_TRUE(service.Listening());
    const std::string socket = service.Name(Endpoint::kSecSoft);
    // Each step: who, type, expected result.
    auto as = [&](const vk_test::Identity *who, uint32_t type) {
        auto run = [&]() -> std::string {
            Client c = vk_test::TryOutClient();
            if (!c.Connect(socket)) return "connect";
            return std::to_string(Send(c, "own-av", type, BodyFor(type, Declares::kNothing)));
        };
        std::optional<std::string> got =
            who == nullptr ? std::optional<std::string>(run()) : vk_test::RunAs(*who, run);
        return got.value_or("no report");
    };
    EXPECT_EQ("0", as(&kListedUser, 2000));
    EXPECT_EQ("0", as(&kListedUser, 2002));
    EXPECT_EQ("403", as(&kGroupMember, 2002));
    EXPECT_EQ("403", as(&kGroupMember, 2000)) << "registering again is taking it over";
    EXPECT_TRUE(service.daemon().WaitLog(",rule: product-uuid-owner\n"));
    EXPECT_EQ("0", as(nullptr, 2002)) << "root may act for any product";
    ASSERT_TRUE(service.Restart());
    EXPECT_EQ("0", as(&kListedUser, 2003));
    EXPECT_EQ("403", as(&kGroupMember, 2001));
    EXPECT_NE(std::string::npos, service.Dump().find("own-av|"));
    EXPECT_EQ("0", as(&kListedUser, 2001));
    // Unregistered, the uuid is free again.
    EXPECT_EQ("0", as(&kGroupMember, 2000));
    EXPECT_EQ("403", as(&kListedUser, 2002));
}

// The refusals of one user fill the log only up to its uid's budget of
// lines, over all its connections; every request is still answered, and
// the rest is counted once its connections are gone.
TEST_F(AccessTest, RefusalsOfOneUserAreLoggedWithinItsBudget) {
    Service service("");
    ASSERT_TRUE(service.Listening());
    std::string socket = service.Name(Endpoint::kSecSoft);
    std::optional<std::string> got = vk_test::RunAs(kStranger, [&] {
        int refused = 0;
        for (int k = 0; k < 4; ++k) {
            Client c = vk_test::TryOutClient();
            if (!c.Connect(socket)) return std::string("connect");
            for (int i = 0; i < 10; ++i)
                if (Send(c, "fake", 2002, std::string("{}")) == 403) refused++;
        }
        return std::to_string(refused);
    });
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, "40");
    ASSERT_TRUE(service.daemon().WaitLog("|WARNING|suppressed "));
    const std::string log = service.daemon().Log();
    const size_t written = vk_test::Occurrences(log, "refuse request type: 2002");
    EXPECT_GE(written, kNetLogBudgetLines);
    EXPECT_LT(written, 2 * kNetLogBudgetLines) << "a slow run may have a line refilled";
    EXPECT_NE(log.find("|WARNING|suppressed " + std::to_string(40 - written) +
                       " lines from uid 65534: " + std::to_string(40 - written) +
                       " about bad input or refused requests,"),
              std::string::npos)
        << log;
}

// A front UI played by a process of `who`: it registers `uuid` as itself,
// saves `conf` when given, reads its configuration back when `read`, and
// stays (its connection open) until the object goes away. Its report:
// "<register result> <save or read result> <data read>".
class UiOf {
public:
    UiOf(const Service &s, const vk_test::Identity &who, const std::string &uuid,
         const std::string &conf = "", bool read = false)
        : m_proc(
              [socket = s.Name(Endpoint::kFrontUi), uuid, conf, read] {
                  auto *c = new Client(vk_test::TryOutClient());  // open until killed
                  if (!c->Connect(socket)) return std::string("connect");
                  int registered = Send(*c, uuid, 1000, UiBody(Declares::kItself));
                  int second = 0;
                  std::string data;
                  if (!conf.empty()) second = Send(*c, uuid, 1003, conf);
                  if (read && c->SendRequest(uuid, 2, 1004)) {
                      auto m = c->ReadMessage(10000);
                      while (m && !m->has_result) m = c->ReadMessage(10000);
                      second = m ? m->result : -1;
                      data = m ? m->data : "";
                  }
                  return std::to_string(registered) + " " + std::to_string(second) + " " + data;
              },
              who) {}
    std::optional<std::string> Report() { return m_proc.WaitResult(); }
    pid_t pid() const { return m_proc.pid(); }

private:
    vk_test::OtherUserProcess m_proc;
};

// The configuration request `type` (1003 or 1004) for `uuid` as a fresh
// process of `who`: "<result> <data>".
std::optional<std::string> ConfigAs(const Service &s, const vk_test::Identity &who,
                                    const std::string &uuid, uint32_t type) {
    std::string socket = s.Name(Endpoint::kFrontUi);
    return vk_test::RunAs(who, [&] {
        Client c = vk_test::TryOutClient();
        if (!c.Connect(socket)) return std::string("connect");
        if (!c.SendRequest(uuid, 3, type, BodyFor(type, Declares::kNothing)))
            return std::string("send");
        auto m = c.ReadMessage(10000);
        while (m && !m->has_result) m = c.ReadMessage(10000);
        return m ? std::to_string(m->result) + " " + m->data : std::string("no reply");
    });
}

std::optional<std::string> RegisterAs(const Service &s, const vk_test::Identity &who,
                                      const std::string &uuid) {
    std::string socket = s.Name(Endpoint::kFrontUi);
    return vk_test::RunAs(who, [&] {
        Client c = vk_test::TryOutClient();
        if (!c.Connect(socket)) return std::string("connect");
        return std::to_string(Send(c, uuid, 1000, UiBody(Declares::kItself))) + " " +
               std::to_string(getpid());
    });
}

std::string RefusalLine(uint32_t type, const std::string &uuid, const std::string &pid_uid,
                        const char *rule) {
    return "|ERROR|refuse request type: " + std::to_string(type) + ",uuid: " + uuid +
           ",from pid: " + pid_uid + ",exe: " + SelfExe() + ",rule: " + rule + "\n";
}

// With logind, only the uid active on seat0 registers a front UI: a
// background account cannot squat the place, and the refusal names who
// holds it. Root registers on anyone's behalf and takes the place.
TEST_F(AccessTest, OnlyTheActiveSessionsUserRegistersAFrontUi) {
    Service service("", "IS_SEAT0=1\nACTIVE=c2\nACTIVE_UID=5151\n");
    ASSERT_TRUE(service.Listening());

    // A background account first, on a fresh database: refused, nothing
    // current.
    auto squat = RegisterAs(service, kStranger, "ui-squat");
    ASSERT_TRUE(squat.has_value());
    long pid = 0;
    int result = 0;
    ASSERT_EQ(sscanf(squat->c_str(), "%d %ld", &result, &pid), 2) << *squat;
    EXPECT_EQ(result, 403);
    std::string who = std::to_string(pid) + ",uid: 65534";
    EXPECT_TRUE(service.daemon().WaitLog(RefusalLine(1000, "ui-squat", who, "frontui-session")))
        << service.daemon().Log();
    EXPECT_TRUE(service.daemon().WaitLog("|INFO|frontUI register uuid: ui-squat of pid: " + who +
                                         " refused,no frontUI is current\n"));

    // The desktop user's front UI registers; the background account's
    // next try is refused naming it.
    UiOf desktop(service, kUiOwner, "ui-desk");
    ASSERT_EQ(desktop.Report(), std::optional<std::string>("0 0 "));
    squat = RegisterAs(service, kStranger, "ui-squat");
    ASSERT_TRUE(squat.has_value());
    ASSERT_EQ(sscanf(squat->c_str(), "%d %ld", &result, &pid), 2) << *squat;
    EXPECT_EQ(result, 403);
    EXPECT_TRUE(service.daemon().WaitLog(
        "|INFO|frontUI register uuid: ui-squat of pid: " + std::to_string(pid) +
        ",uid: 65534 refused,the current frontUI is ui-desk of pid: " +
        std::to_string(desktop.pid()) + ",euid: 5151\n"))
        << service.daemon().Log();

    // Root registers another front UI on the user's behalf: refused while
    // the current one lives, unless it asks to replace it; then the current
    // one can come back only once root's is gone.
    Client root_ui = vk_test::TryOutClient();
    ASSERT_TRUE(root_ui.Connect(service.Name(Endpoint::kFrontUi)));
    const std::string body =
        R"({"name":"ui","login_uid":5151,"euid":5151,"pid":)" + std::to_string(getpid());
    EXPECT_EQ(Send(root_ui, "ui-root", 1000, body + "}"), 104);
    EXPECT_EQ(Send(root_ui, "ui-root", 1000, body + R"(,"replace":true})"), 0);
    EXPECT_TRUE(service.daemon().WaitLog(
        "|INFO|frontUI ui-root of pid: " + std::to_string(getpid()) +
        ",euid: 5151,registered by uid: 0,replaces frontUI ui-desk of pid: " +
        std::to_string(desktop.pid()) + ",euid: 5151\n"))
        << service.daemon().Log();
    EXPECT_EQ(Send(root_ui, "ui-root", 1001), 101) << "ui-root is a known front UI";
    auto again = RegisterAs(service, kUiOwner, "ui-desk");
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->substr(0, 4), "104 ");
}

// With logind running and no one active on seat0, no user registers a
// front UI; root still does.
TEST_F(AccessTest, NoActiveSessionNoUserFrontUi) {
    Service service("", "");
    ASSERT_TRUE(service.Listening());
    auto got = RegisterAs(service, kUiOwner, "ui-desk");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->substr(0, 4), "403 ");
    EXPECT_TRUE(service.daemon().WaitLog(",rule: frontui-session\n"));
    Client root_ui = vk_test::TryOutClient();
    ASSERT_TRUE(root_ui.Connect(service.Name(Endpoint::kFrontUi)));
    EXPECT_EQ(Send(root_ui, "ui-root", 1000,
                   std::string(R"({"name":"ui","login_uid":0,"euid":0,"pid":1})")),
              0);
}

// While the process a front UI declared lives, its uuid is that process's:
// another process of the same user can neither register under it nor read
// or write its configuration. Once it has exited, the uuid is free again.
TEST_F(AccessTest, UuidOfALivingFrontUiBelongsToItsProcess) {
    Service service("", "ACTIVE_UID=5151\n");
    ASSERT_TRUE(service.Listening());
    auto ui = std::make_unique<UiOf>(service, kUiOwner, "ui-desk", R"({"token":"s3cret"})");
    ASSERT_EQ(ui->Report(), std::optional<std::string>("0 0 "));

    auto taken = RegisterAs(service, kUiOwner, "ui-desk");
    ASSERT_TRUE(taken.has_value());
    long pid = 0;
    int result = 0;
    ASSERT_EQ(sscanf(taken->c_str(), "%d %ld", &result, &pid), 2) << *taken;
    EXPECT_EQ(result, 403);
    EXPECT_TRUE(service.daemon().WaitLog(
        RefusalLine(1000, "ui-desk", std::to_string(pid) + ",uid: 5151", "frontui-uuid-process")))
        << service.daemon().Log();
    for (uint32_t type : {1004u, 1003u}) {
        auto got = ConfigAs(service, kUiOwner, "ui-desk", type);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, "403 ") << type;
    }
    EXPECT_EQ(vk_test::Occurrences(service.daemon().Log(), ",rule: frontui-config-process\n"), 2u);
    Client root = vk_test::TryOutClient();
    ASSERT_TRUE(root.Connect(service.Name(Endpoint::kFrontUi)));
    ASSERT_TRUE(root.SendRequest("ui-desk", 4, 1004));
    auto conf = root.ReadMessage(10000);
    ASSERT_TRUE(conf.has_value());
    EXPECT_NE(conf->data.find("s3cret"), std::string::npos) << "root reads it: " << conf->json;

    ui.reset();  // its process killed
    ASSERT_TRUE(service.daemon().WaitLog("frontUI ui-desk: its process"));
    UiOf next(service, kUiOwner, "ui-desk", "", true);
    auto report = next.Report();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->substr(0, 4), "0 0 ") << *report;
    EXPECT_NE(report->find("s3cret"), std::string::npos) << *report;
}

struct BadPolicy {
    const char *name;
    const char *text;
    mode_t mode;
    const char *error;  // after the file's path
};

const BadPolicy kBadPolicies[] = {
    {"unknown user", "[products]\nusers = vk-no-such-user\n", 0644,
     ":2: unknown user \"vk-no-such-user\" in [products] users"},
    {"line of words", "[access]\nmode open\n", 0644,
     ":2: neither a section header, a key = value nor a comment: mode open"},
    {"writable by others", "[access]\nmode = enforce\n", 0666,
     ": writable by group or others (mode 0666)"},
};

// A policy that cannot be read as it is written stops the start: status
// 78, the file, line and fault on standard error and in the log, and no
// socket.
TEST(AccessPolicyFile, WrongFileStopsTheStart) {
    for (const BadPolicy &c : kBadPolicies) {
        SCOPED_TRACE(c.name);
        vk_test::TempRoot root;
        std::string path = root.Under("/etc/korvane/access.conf");
        mkdir(root.Under("/etc").c_str(), 0755);
        mkdir(root.Under("/etc/korvane").c_str(), 0755);
        vk_test::WriteFile(path, c.text);
        chmod(path.c_str(), c.mode);
        vk_test::Finished f = vk_test::RunToEnd(root.path(), {"--foreground"});
        ASSERT_TRUE(f.ended);
        ASSERT_TRUE(WIFEXITED(f.status));
        EXPECT_EQ(WEXITSTATUS(f.status), 78);
        std::string message = path + c.error;
        EXPECT_NE(f.err.find("veskkorvaned: bad access policy: " + message), std::string::npos)
            << f.err;
        std::string log = vk_test::ReadFile(root.Under("/var/log/veskkorvaned.log"));
        EXPECT_NE(log.find("|ERROR|access policy: " + message), std::string::npos) << log;
        EXPECT_FALSE(vk_test::FileExists(root.Under("/etc/korvane/korvaned.db")))
            << "nothing after the policy was opened";
    }
}

}  // namespace
