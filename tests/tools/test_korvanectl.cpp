// korvanectl against the real daemon under a temporary root: every command
// with its decoded output, --json parsed back, the exit codes, front-UI
// registrations for this or another process, watch seeing a registration
// made by another client, and show while the daemon writes.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/utils.h"
#include "client/korvane_client.h"
#include "client/servers.h"
#include "net/ae/anet.h"
#include "proto/codec/json.h"
#include "support/as_user.h"
#include "support/daemon_process.h"
#include "support/shell.h"
#include "support/temp_root.h"
#include "tools/ctl_json.h"
#include "tools/ctl_runner.h"

using vk_test::At;
using vk_test::CtlProcess;
using vk_test::CtlResult;
using vk_test::DaemonProcess;
using vk_test::RunCtl;
using vk_test::SleepingChild;
using vk_test::Str;
using vk_test::TempRoot;

namespace {

JsonPtr Parse(const std::string &text) {
    return json_parse(text);
}

class CtlWithDaemon : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_daemon.WaitListening()); }
    CtlResult Ctl(const std::vector<std::string> &args) { return RunCtl(m_root.path(), args); }

    TempRoot m_root;
    DaemonProcess m_daemon{m_root.path()};
    // The process the tests' front UIs are registered for: the daemon keeps
    // a front UI current only while its process runs.
    SleepingChild m_ui;
};

const char *kDefault = "3c9e51f2-4a7d-5b16-9e04-7d2a6c8f1b35";

// One request after the other, as a user would type them; each --json
// reply is parsed back and its members compared.
TEST_F(CtlWithDaemon, EveryRequestCommandPrintsTheDecodedReply) {
    struct Step {
        std::vector<std::string> args;
        int exit_code;
        std::vector<std::pair<std::string, std::string>> members;  // path -> value
    };
    const std::vector<Step> steps = {
        {{"ui-register", "--uuid", "ui-1", "--name", "Shield", "--pid", m_ui.Pid(), "--euid",
          "1000", "--login-uid", "1001"},
         0,
         {{"type", "1000"}, {"result", "0"}, {"uuid", "ui-1"}, {"data", "<absent>"}}},
        {{"get-config", "--uuid", "ui-1"}, 1, {{"type", "1004"}, {"result", "103"}}},
        {{"save-config", "--uuid", "ui-1", R"({"theme":"dark"})"}, 0, {{"result", "0"}}},
        {{"get-config", "--uuid", "ui-1", "--id", "77"},
         0,
         {{"id", "77"}, {"result", "0"}, {"data/theme", "dark"}, {"data/uuid", "ui-1"}}},
        {{"get-status", "--uuid", "ui-1"}, 1, {{"type", "1002"}, {"result", "102"}}},
        {{"register", "--uuid", kDefault, "--name", "Ambrel", "--exec", "/opt/palemoss/palemoss"},
         0,
         {{"type", "2000"}, {"result", "0"}}},
        {{"register", "--uuid", "av-1", "--name", "Acme AV", "--exec", "/opt/acme/av", "--data",
          R"({"version":"2.1","name":"ignored"})"},
         0,
         {{"result", "0"}, {"uuid", "av-1"}}},
        {{"register", "--uuid", "av-2", "--name", "Other", "--exec", "/opt/other"},
         1,
         {{"result", "501"}}},
        {{"get-product", "--uuid", "ui-1"},
         0,
         {{"type", "1001"},
          {"data/0/name", "Acme AV"},
          {"data/0/version", "2.1"},
          {"data/0/exec", "/opt/acme/av"}}},
        {{"report", "--uuid", "av-1", R"({"realtime":true})"}, 0, {{"type", "2002"}}},
        {{"get-status", "--uuid", "ui-1"},
         0,
         {{"data/0/realtime", "true"}, {"data/0/uuid", "av-1"}}},
        {{"update", "--uuid", "av-1", "--name", "Acme AV 3", "--exec", "/opt/acme/av3"},
         0,
         {{"type", "2003"}, {"result", "0"}}},
        {{"get-product", "--uuid", "ui-1"},
         0,
         {{"data/0/name", "Acme AV 3"}, {"data/0/version", "<absent>"}}},
        {{"get-product", "--uuid", "stranger"}, 1, {{"result", "100"}}},
        {{"unregister", "--uuid", "av-1"}, 0, {{"type", "2001"}, {"result", "0"}}},
        {{"unregister", "--uuid", "av-1"}, 1, {{"result", "500"}}},
        // Any request on either socket; --text sends an envelope as it is.
        {{"send", "--socket", "product", "--type", "1001", "--uuid", "ui-1"},
         0,
         {{"type", "1001"}, {"result", "0"}}},
        {{"send", "--socket", "ui", "--type", "2002", "--uuid", "av-2", "--id", "9", "--data",
          R"({"scan":"idle"})"},
         0,
         {{"id", "9"}, {"type", "2002"}, {"result", "0"}}},
        {{"send", "--socket", "ui", "--text", R"({"uuid":"nobody","id":5,"type":1004})"},
         1,
         {{"id", "5"}, {"result", "100"}}},
    };
    for (const Step &s : steps) {
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), s.args.begin(), s.args.end());
        CtlResult r = Ctl(args);
        std::string what = s.args[0] + " " + s.args[2];
        EXPECT_EQ(r.exit_code, s.exit_code) << what << "\n" << r.err;
        ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << what << ": one line\n"
                                                                   << r.out;
        JsonPtr reply = Parse(r.out);
        ASSERT_TRUE(cJSON_IsObject(reply.get())) << what << ": " << r.out;
        for (const auto &m : s.members)
            EXPECT_EQ(Str(reply.get(), m.first), m.second) << what << " " << m.first;
    }
}

TEST_F(CtlWithDaemon, ReadableOutputNamesTypeAndResult) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {{"ui-register", "--uuid", "ui-h", "--name", "H", "--pid", m_ui.Pid()},
         {"reply to 1000 (front-UI register)", "result: 0 (success)", "uuid:   ui-h"}},
        {{"get-config", "--uuid", "ui-h"}, {"result: 103 (no front-UI configuration stored)"}},
        {{"save-config", "--uuid", "ui-h", R"({"k":1})"}, {"result: 0 (success)"}},
        {{"get-config", "--uuid", "ui-h"}, {"data:   {", "\"k\":  1", "\"uuid\":  \"ui-h\""}},
    };
    for (const Case &c : cases) {
        CtlResult r = Ctl(c.args);
        for (const std::string &l : c.lines)
            EXPECT_NE(r.out.find(l), std::string::npos) << c.args[0] << ": " << l << "\n" << r.out;
    }
}

// Without --pid the registration declares korvanectl, which exits at once:
// it says so, and how to register a running UI. With --pid it declares that
// process, with its uids unless they are given.
TEST_F(CtlWithDaemon, UiRegisterDeclaresItselfOrTheProcessNamed) {
    const std::string self = std::to_string(geteuid());
    const std::string login = std::to_string(vk_test::OwnLoginUid());
    struct Case {
        const char *label;
        std::vector<std::string> options;
        bool note;
        std::string pid, euid, login_uid;  // as the daemon stored them
    };
    const std::vector<Case> cases = {
        {"itself", {}, true, "(the note's)", self, login},
        {"a running process", {"--pid", m_ui.Pid()}, false, m_ui.Pid(), self, login},
        {"its euid given",
         {"--pid", m_ui.Pid(), "--euid", "4321"},
         false,
         m_ui.Pid(),
         "4321",
         login},
        {"its login uid given",
         {"--pid", m_ui.Pid(), "--login-uid", "77"},
         false,
         m_ui.Pid(),
         self,
         "77"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> args = {"--json", "ui-register", "--uuid", "ui-r", "--name", "R"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        CtlResult r = Ctl(args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(Str(Parse(r.out).get(), "result"), "0") << r.out;
        std::string pid = c.pid;
        if (c.note) {
            // The note names korvanectl's own pid, the one it declared.
            static const std::regex note(
                "^korvanectl: note: this registration lasts only while korvanectl runs: it "
                "declared korvanectl itself \\(pid ([0-9]+)\\)[^\n]*\n"
                "korvanectl: to register a running UI, [^\n]*--pid PID\n$");
            std::smatch m;
            ASSERT_TRUE(std::regex_match(r.err, m, note)) << r.err;
            pid = m[1];
        } else {
            EXPECT_EQ(r.err, "");
        }
        CtlResult shown = Ctl({"--json", "show"});
        JsonPtr tree = Parse(shown.out);
        EXPECT_EQ(Str(tree.get(), "frontuis/0/pid"), pid) << shown.out;
        EXPECT_EQ(Str(tree.get(), "frontuis/0/euid"), c.euid) << shown.out;
        EXPECT_EQ(Str(tree.get(), "frontuis/0/login_uid"), c.login_uid) << shown.out;
    }
}

// A pid that names no process is refused before anything is sent.
TEST(CtlWithoutDaemon, UiRegisterForNoProcessIsAUsageError) {
    TempRoot root;
    SleepingChild gone;
    const std::string pid = gone.Pid();
    gone.End();
    for (const std::string &p : {pid, std::string("0"), std::string("-4")}) {
        CtlResult r =
            RunCtl(root.path(), {"ui-register", "--uuid", "u", "--name", "n", "--pid", p});
        EXPECT_EQ(r.exit_code, 2) << p;
        EXPECT_EQ(r.err, "korvanectl: --pid " + p + ": no such process\n");
        EXPECT_EQ(r.out, "");
    }
}

CtlResult RunCtlAsNobody(const std::string &root, const std::vector<std::string> &args);

// While the current front UI's process runs, another registration is
// refused with 104 and the current one's pid; once it has gone, the next
// registration becomes current. Root's is refused alike; with --replace it
// takes the place.
TEST_F(CtlWithDaemon, SecondFrontUiIsRefusedWhileTheFirstRuns) {
    SleepingChild other;
    ASSERT_EQ(Ctl({"ui-register", "--uuid", "ui-a", "--name", "A", "--pid", m_ui.Pid()}).exit_code,
              0);
    const std::vector<std::string> second = {"ui-register", "--uuid", "ui-b",     "--name",
                                             "B",           "--pid",  other.Pid()};
    const std::string refused =
        "korvanectl: another front UI is registered (pid " + m_ui.Pid() + ")\n";
    {
        // Root's too: only --replace takes the place.
        CtlResult r = Ctl(second);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.out.find("result: 104 (another front UI is registered)\n"), std::string::npos)
            << r.out;
        EXPECT_EQ(r.err, refused);

        std::vector<std::string> json = second;
        json.insert(json.begin(), "--json");
        r = Ctl(json);
        EXPECT_EQ(r.exit_code, 1);
        JsonPtr reply = Parse(r.out);
        EXPECT_EQ(Str(reply.get(), "result"), "104") << r.out;
        EXPECT_EQ(Str(reply.get(), "data/pid"), m_ui.Pid()) << r.out;
    }
    if (geteuid() == 0) {
        std::vector<std::string> replace = second;
        replace.push_back("--replace");
        CtlResult r = Ctl(replace);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_EQ(
            Ctl({"ui-register", "--uuid", "ui-a", "--name", "A", "--pid", m_ui.Pid()}).exit_code, 1)
            << "replaced: ui-a waits for ui-b's process to end";
        return;
    }

    m_ui.End();
    EXPECT_TRUE(vk_test::WaitFor([&] { return Ctl(second).exit_code == 0; }))
        << "the front UI whose process ended is still current";
}

TEST_F(CtlWithDaemon, SendWithoutReplyEndsWithCode4) {
    CtlResult r =
        Ctl({"send", "--socket", "ui", "--type", "1500", "--uuid", "u", "--timeout", "300"});
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_NE(r.err.find("no reply"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

// Exit codes and messages that need no daemon, or need it absent.
TEST(CtlWithoutDaemon, ExitCodes) {
    TempRoot root;
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        std::string out, err;  // expected substrings
    };
    const std::vector<Case> cases = {
        {{"get-product", "--uuid", "x"}, 3, "", "is veskkorvaned running?"},
        {{"watch"},
         3,
         "",
         "cannot reach the daemon at @" + root.path() + "/tmp/.zelluskkorvanefui"},
        {{"register", "--uuid", "a", "--name", "n", "--exec", "e"},
         3,
         "",
         "@" + root.path() + "/tmp/.zelluskkorvane:"},
        {{"show"},
         5,
         "",
         "cannot read the registry database " + root.path() + "/etc/korvane/korvaned.db"},
        {{}, 2, "", "Usage: korvanectl"},
        {{"frobnicate"}, 2, "", "unknown command: frobnicate"},
        {{"register", "--uuid", "a", "--name", "n"}, 2, "", "--name and --exec are required"},
        {{"get-status"}, 2, "", "--uuid is required"},
        {{"report", "--uuid", "a", "not json"}, 2, "", "not a JSON object"},
        {{"report", "--uuid", "a"}, 2, "", "takes 1 argument"},
        {{"get-config", "--uuid", "a", "--name", "x"}, 2, "", "takes no option --name"},
        {{"--timeout", "soon", "show"}, 2, "", "--timeout takes milliseconds"},
        {{"send", "--socket", "both", "--type", "1"}, 2, "", "--socket must be product or ui"},
        {{"send", "--socket", "ui", "--type", "-1"}, 2, "", "--type takes"},
        {{"get-config", "--uuid"}, 2, "", "--uuid needs a value"},
        {{"health"}, 3, "", "is veskkorvaned running?"},
        {{"health", "--uuid", "u"}, 2, "", "health takes no option --uuid"},
        {{"--version"}, 0, std::string("korvanectl ") + VK_VERSION + "\n", ""},
        {{"--help"}, 0, "Exit codes:", ""},
        {{"--help"},
         0,
         "  8  health: the verdict is at-risk\n  9  health: the verdict is unknown\n",
         ""},
    };
    for (const Case &c : cases) {
        CtlResult r = RunCtl(root.path(), c.args);
        std::string what = c.args.empty() ? "(no arguments)" : c.args[0];
        EXPECT_EQ(r.exit_code, c.exit_code) << what << "\n" << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << what << "\n" << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << what << "\n" << r.err;
    }
}

// A daemon whose listen backlog others keep full: korvanectl gives up on
// the connection after --timeout instead of waiting for room.
TEST(CtlWithoutDaemon, FullBacklogEndsWithCode3) {
    TempRoot root;
    vk_test::FullListener full("@" + root.path() + "/tmp/.zelluskkorvanefui");
    ASSERT_TRUE(full.ok());
    CtlResult r = RunCtl(root.path(), {"--timeout", "100", "get-config", "--uuid", "x"});
    EXPECT_EQ(r.exit_code, 3) << r.err;
    EXPECT_NE(r.err.find("did not take the connection within 100 ms (its backlog is full)"),
              std::string::npos)
        << r.err;
}

// An option no command takes is named as unknown, wherever it stands and
// however its value is given; a known one is still checked per command.
TEST(CtlWithoutDaemon, UnknownOptionsAreNamed) {
    TempRoot root;
    struct Case {
        std::vector<std::string> args;
        std::string err;  // the whole of standard error
    };
    const std::vector<Case> cases = {
        {{"--frobnicate"}, "korvanectl: unknown option --frobnicate\n"},
        {{"show", "--frobnicate"}, "korvanectl: unknown option --frobnicate\n"},
        {{"--frobnicate", "show"}, "korvanectl: unknown option --frobnicate\n"},
        {{"get-config", "--uuid", "a", "--frobnicate=1"},
         "korvanectl: unknown option --frobnicate\n"},
        {{"watch", "-x"}, "korvanectl: unknown option -x\n"},
        {{"watch", "--timestamps=yes"}, "korvanectl: --timestamps takes no value\n"},
        {{"show", "--timestamps"},
         "korvanectl: show takes no option --timestamps (see korvanectl show --help)\n"},
        {{"show", "--uuid", "u"},
         "korvanectl: show takes no option --uuid (see korvanectl show --help)\n"},
    };
    for (const Case &c : cases) {
        CtlResult r = RunCtl(root.path(), c.args);
        EXPECT_EQ(r.exit_code, 2) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(r.out, "");
    }
}

// A request the daemon's access policy refuses has an exit code of its own
// and says who was refused and where the policy lives.
TEST(CtlNotPermitted, RefusedRequestEndsWithItsOwnCode) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: runs korvanectl as another user";
    TempRoot root;
    DaemonProcess daemon(root.path());
    ASSERT_TRUE(daemon.WaitListening());
    std::string command = "VESKKORVANED_ROOT=" + vk_test::Quote(root.path()) + " " +
                          vk_test::Quote(VK_KORVANECTL_PATH) + " report --uuid av '{\"ok\":1}'";
    std::optional<std::string> got = vk_test::RunAs(vk_test::kNobodyIdentity, [&] {
        vk_test::ShellOutput o = vk_test::Sh(command);
        return std::to_string(o.status) + "\n" + o.text;
    });
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->substr(0, got->find('\n')), "6") << *got;
    EXPECT_NE(got->find("result: 403 (not permitted)"), std::string::npos) << *got;
    EXPECT_NE(got->find("korvanectl: not permitted: the daemon refused this request from uid "
                        "65534; see " +
                        root.path() + "/etc/korvane/access.conf\n"),
              std::string::npos)
        << *got;

    CtlResult help = RunCtl(root.path(), {"--help"});
    EXPECT_NE(help.out.find("  6  not permitted"), std::string::npos) << help.out;
}

TEST(CtlWithoutDaemon, EveryCommandHasHelp) {
    TempRoot root;
    for (const char *cmd :
         {"register", "update", "report", "unregister", "ui-register", "get-product", "get-status",
          "save-config", "get-config", "health", "send", "watch", "show", "status"}) {
        CtlResult r = RunCtl(root.path(), {cmd, "--help"});
        EXPECT_EQ(r.exit_code, 0) << cmd;
        EXPECT_NE(r.out.find(std::string("Usage: korvanectl [--json] [--timeout MS] ") + cmd),
                  std::string::npos)
            << r.out;
    }
}

struct WatchCase {
    const char *label;
    bool json;
    bool timestamps;
};

// "2026-12-10T11:44:59.123+0000": local time, milliseconds, zone.
bool IsIsoTime(const std::string &text) {
    static const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d{4})");
    return std::regex_match(text, iso);
}

class CtlWatch : public ::testing::TestWithParam<WatchCase> {};

TEST_P(CtlWatch, SeesARegistrationByAnotherClientUntilInterrupted) {
    TempRoot root;
    DaemonProcess daemon(root.path());
    ASSERT_TRUE(daemon.WaitListening());
    std::vector<std::string> args = {"watch"};
    if (GetParam().json) args.insert(args.begin(), "--json");
    if (GetParam().timestamps) args.push_back("--timestamps");
    CtlProcess watch(root.path(), root.path(), "watch", args);
    ASSERT_TRUE(vk_test::WaitFor([&] { return watch.Err().find("watching") != std::string::npos; }))
        << watch.Err();

    vk_test::ScopedRootEnv env(root.path());
    korvane::Client product = vk_test::TryOutClient();
    ASSERT_TRUE(product.Connect(korvane::Endpoint::kSecSoft)) << product.error();
    ASSERT_TRUE(
        product.SendRequest("av-w", 3, 2000, std::string(R"({"name":"Watched","exec":"/w"})")));
    auto reply = product.ReadMessage(10000);
    ASSERT_TRUE(reply && reply->result == 0);
    ASSERT_TRUE(product.SendRequest("av-w", 4, 2001));
    ASSERT_TRUE(product.ReadMessage(10000));

    // 1500 for the registration, then 1502 for the unregistration.
    ASSERT_TRUE(vk_test::WaitFor([&] {
        std::string out = watch.Out();
        return std::count(out.begin(), out.end(), '\n') >= 2;
    })) << watch.Out();
    ASSERT_EQ(kill(watch.pid(), SIGINT), 0);
    CtlResult r = watch.Wait();
    EXPECT_EQ(r.exit_code, 0) << r.err;

    std::istringstream lines(r.out);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    if (GetParam().timestamps && GetParam().json) {
        // The time is a member of its own; the notification is otherwise as sent.
        for (std::string *line : {&first, &second}) {
            JsonPtr n = Parse(*line);
            ASSERT_TRUE(n) << *line;
            EXPECT_TRUE(IsIsoTime(Str(n.get(), "received"))) << *line;
            cJSON_DeleteItemFromObjectCaseSensitive(n.get(), "received");
            std::string rest;
            ASSERT_TRUE(json_print_compact(n.get(), rest));
            *line = rest;
        }
    } else if (GetParam().timestamps) {
        for (std::string *line : {&first, &second}) {
            size_t blank = line->find(' ');
            ASSERT_NE(blank, std::string::npos) << *line;
            EXPECT_TRUE(IsIsoTime(line->substr(0, blank))) << *line;
            *line = line->substr(blank + 1);
        }
    }
    if (GetParam().json) {
        JsonPtr n1 = Parse(first), n2 = Parse(second);
        ASSERT_TRUE(n1 && n2) << r.out;
        EXPECT_EQ(Str(n1.get(), "type"), "1500");
        EXPECT_EQ(Str(n1.get(), "uuid"), "av-w");
        EXPECT_EQ(Str(n1.get(), "data/name"), "Watched");
        EXPECT_EQ(Str(n1.get(), "result"), "<absent>");
        EXPECT_EQ(Str(n2.get(), "type"), "1502");
        EXPECT_EQ(Str(n2.get(), "data"), "<absent>");
        EXPECT_EQ(std::stoll(Str(n2.get(), "id")), std::stoll(Str(n1.get(), "id")) + 1);
    } else {
        EXPECT_EQ(first.rfind("notification 1500 (product detail) id ", 0), 0u) << first;
        EXPECT_NE(first.find(R"(uuid av-w data {"name":"Watched","exec":"/w","uuid":"av-w"})"),
                  std::string::npos)
            << first;
        EXPECT_EQ(second.rfind("notification 1502 (product unregistered) id ", 0), 0u) << second;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, CtlWatch,
                         ::testing::Values(WatchCase{"readable", false, false},
                                           WatchCase{"json", true, false},
                                           WatchCase{"readable_timestamps", false, true},
                                           WatchCase{"json_timestamps", true, true}),
                         [](const auto &info) { return std::string(info.param.label); });

// The daemon stopped under a running watch: without --follow watch ends
// with 4; with it, watch keeps trying while nothing listens, connects to
// the daemon started again, says so, and sees its notifications.
TEST(CtlWatchRestart, EndsOrFollowsTheDaemon) {
    for (bool follow : {false, true}) {
        SCOPED_TRACE(follow ? "--follow" : "no --follow");
        TempRoot root;
        auto daemon = std::make_unique<DaemonProcess>(root.path());
        ASSERT_TRUE(daemon->WaitListening());
        std::vector<std::string> args = {"watch"};
        if (follow) args.push_back("--follow");
        CtlProcess watch(root.path(), root.path(), "watch", args);
        ASSERT_TRUE(vk_test::WaitFor([&] {
            return watch.Err().find("watching") != std::string::npos;
        })) << watch.Err();

        daemon.reset();
        if (!follow) {
            CtlResult r = watch.Wait();
            EXPECT_EQ(r.exit_code, 4) << r.err;
            EXPECT_NE(r.err.find("watch ended"), std::string::npos) << r.err;
            continue;
        }
        ASSERT_TRUE(vk_test::WaitFor([&] {
            return watch.Err().find("reconnecting") != std::string::npos;
        })) << watch.Err();
        // Nothing listens for a while: watch keeps trying.
        int status = 0;
        EXPECT_EQ(waitpid(watch.pid(), &status, WNOHANG), 0);
        daemon = std::make_unique<DaemonProcess>(root.path());
        ASSERT_TRUE(daemon->WaitListening());
        ASSERT_TRUE(vk_test::WaitFor(
            [&] { return watch.Err().find("daemon restarted, reconnected") != std::string::npos; },
            20000))
            << watch.Err();

        vk_test::ScopedRootEnv env(root.path());
        korvane::Client product = vk_test::TryOutClient();
        ASSERT_TRUE(product.Connect(korvane::Endpoint::kSecSoft)) << product.error();
        ASSERT_TRUE(
            product.SendRequest("av-f", 1, 2000, std::string(R"({"name":"Followed","exec":"/f"})")))
            << product.error();
        auto reply = product.ReadMessage(10000);
        ASSERT_TRUE(reply && reply->has_result && reply->result == 0) << product.error();
        ASSERT_TRUE(vk_test::WaitFor([&] {
            return watch.Out().find("notification 1500") != std::string::npos;
        })) << watch.Out()
            << watch.Err();
        ASSERT_EQ(kill(watch.pid(), SIGTERM), 0);
        CtlResult r = watch.Wait();
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
}

TEST_F(CtlWithDaemon, ShowReadsTheStoredRegistry) {
    ASSERT_EQ(
        Ctl({"ui-register", "--uuid", "ui-s", "--name", "Shown", "--pid", m_ui.Pid()}).exit_code,
        0);
    ASSERT_EQ(Ctl({"save-config", "--uuid", "ui-s", R"({"lang":"et"})"}).exit_code, 0);
    ASSERT_EQ(
        Ctl({"register", "--uuid", kDefault, "--name", "Ambrel", "--exec", "/opt/p"}).exit_code, 0);
    ASSERT_EQ(Ctl({"register", "--uuid", "av-s", "--name", "Acme", "--exec", "/opt/a"}).exit_code,
              0);
    ASSERT_EQ(Ctl({"report", "--uuid", "av-s", R"({"ok":1})"}).exit_code, 0);

    CtlResult r = Ctl({"--json", "show"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    JsonPtr shown = Parse(r.out);
    ASSERT_TRUE(shown) << r.out;
    EXPECT_EQ(Str(shown.get(), "frontuis/0/uuid"), "ui-s");
    EXPECT_EQ(Str(shown.get(), "frontuis/0/pid"), m_ui.Pid());
    EXPECT_EQ(Str(shown.get(), "frontuis/0/data/lang"), "et");
    EXPECT_EQ(Str(shown.get(), "frontuis/1"), "<absent>");
    // A front UI's members are named as in its registration (1000).
    std::set<std::string> members;
    for (const cJSON *m = At(shown.get(), "frontuis/0")->child; m != nullptr; m = m->next)
        members.insert(m->string);
    EXPECT_EQ(members, (std::set<std::string>{"uuid", "name", "pid", "euid", "login_uid", "data",
                                              "timestamp"}));
    const cJSON *products = At(shown.get(), "secsofts");
    ASSERT_EQ(cJSON_GetArraySize(products), 2);
    std::string byUuid;
    for (const cJSON *p = products->child; p != nullptr; p = p->next) {
        std::string uuid = Str(p, "uuid");
        if (uuid == "av-s") {
            EXPECT_EQ(Str(p, "secsoft/name"), "Acme");
            EXPECT_EQ(Str(p, "secstat/ok"), "1");
            EXPECT_EQ(Str(p, "status"), "1");
            EXPECT_EQ(Str(p, "status_text"), "registered");
            EXPECT_GT(std::stoll(Str(p, "ctime")), 1600000000LL);
            EXPECT_EQ(Str(p, "current"), "true");
            // Its program (/opt/a) does not run: the daemon does not watch it.
            EXPECT_EQ(Str(p, "liveness"), "not watched");
            const cJSON *report = At(p, "last_report");
            EXPECT_TRUE(cJSON_IsNumber(report) &&
                        report->valuedouble >= At(p, "ctime")->valuedouble)
                << Str(p, "last_report");
        } else {
            EXPECT_EQ(uuid, kDefault);
            EXPECT_EQ(Str(p, "secstat"), "null");
            EXPECT_EQ(Str(p, "status_text"), "front UIs told to stop it");
            EXPECT_EQ(Str(p, "current"), "false");
            EXPECT_EQ(Str(p, "last_report"), "null");
        }
    }
    EXPECT_EQ(Str(shown.get(), "current"), "av-s");
    // The default product registered itself, then was stopped for av-s.
    EXPECT_EQ(Str(shown.get(), "default/stored"), "true");
    EXPECT_EQ(Str(shown.get(), "default/status"), "3");
    EXPECT_EQ(Str(shown.get(), "default/state"), "stopped");

    CtlResult human = Ctl({"show"});
    EXPECT_EQ(human.exit_code, 0);
    for (const char *text :
         {"front UIs: 1\n", "  ui-s  Shown\n", R"(configuration: {"lang":"et","uuid":"ui-s"})",
          "security products: 2\n",
          // The default product's name and program are the daemon's settings.
          "Ambrel终端安全管理系统  (default product)\n", "  av-s  Acme  (current)\n",
          "exec /opt/a, status 1 (registered), first registered ",
          "exec /opt/palemoss/palemoss, status 3 (front UIs told to stop it), ",
          "    last report: never, program: not watched (as last seen by the daemon)\n",
          "current product: av-s  Acme\n",
          "default product: Ambrel终端安全管理系统, stopped (status 3)\n"})
        EXPECT_NE(human.out.find(text), std::string::npos) << text << "\n" << human.out;
    // av-s reported: its line shows when, not "never".
    EXPECT_EQ(vk_test::Occurrences(human.out, "    last report: never,"), 1u) << human.out;
}

// show runs again and again while another client keeps the daemon writing;
// every run must succeed and see a whole row, and the writes must succeed.
TEST_F(CtlWithDaemon, ShowWhileTheDaemonWrites) {
    vk_test::ScopedRootEnv env(m_root.path());
    std::atomic<bool> done{false};
    std::atomic<int> failedWrites{0}, writes{0};
    std::thread writer([&] {
        korvane::Client c = vk_test::TryOutClient();
        if (!c.Connect(korvane::Endpoint::kSecSoft)) {
            failedWrites++;
            done = true;
            return;
        }
        for (int i = 0; i < 150; i++) {
            std::string body = R"({"name":"gen-)" + std::to_string(i) + R"(","exec":"/x"})";
            uint32_t type = i % 2 == 0 ? 2000 : 2003;
            auto reply = c.SendRequest("av-busy", static_cast<uint64_t>(i), type, body)
                             ? c.ReadMessage(10000)
                             : std::nullopt;
            if (!reply || reply->result != 0) failedWrites++;
            writes++;
        }
        done = true;
    });
    int shows = 0;
    while (!done || shows == 0) {
        CtlResult r = Ctl({"--json", "show"});
        shows++;
        ASSERT_EQ(r.exit_code, 0) << r.err;
        JsonPtr shown = Parse(r.out);
        ASSERT_TRUE(shown) << r.out;
        const cJSON *p = At(shown.get(), "secsofts/0");
        if (p != nullptr) {
            EXPECT_EQ(Str(p, "uuid"), "av-busy");
            EXPECT_EQ(Str(p, "name").rfind("gen-", 0), 0u);
            EXPECT_EQ(Str(p, "name"), Str(p, "secsoft/name")) << "a row is read whole";
        }
    }
    writer.join();
    EXPECT_EQ(writes.load(), 150);
    EXPECT_EQ(failedWrites.load(), 0) << "reads made the daemon's writes fail";
    CtlResult last = Ctl({"--json", "show"});
    JsonPtr shown = Parse(last.out);
    EXPECT_EQ(Str(shown.get(), "secsofts/0/name"), "gen-149");
}

// korvanectl run as `who` (null: this process itself) under the
// relocation root `root`: its exit code and its standard error, with its
// standard output too when `with_output`.
CtlResult RunCtlAs(const vk_test::Identity *who, const std::string &root,
                   const std::vector<std::string> &args, bool with_output) {
    std::string command =
        "VESKKORVANED_ROOT=" + vk_test::Quote(root) + " " + vk_test::Quote(VK_KORVANECTL_PATH);
    for (const std::string &a : args) command += " " + vk_test::Quote(a);
    auto run = [&] {
        vk_test::ShellOutput o = vk_test::Sh(with_output ? "{ " + command + "; } 2>&1"
                                                         : "{ " + command + " 2>&1 >/dev/null; }");
        return std::to_string(o.status) + "\n" + o.text;
    };
    std::optional<std::string> got =
        who == nullptr ? std::optional<std::string>(run()) : vk_test::RunAs(*who, run);
    CtlResult r;
    if (!got) return r;
    size_t nl = got->find('\n');
    r.exit_code = std::stoi(got->substr(0, nl));
    r.err = got->substr(nl + 1);
    return r;
}

// korvanectl run by nobody (as a user would, without the relocation root's
// owner's rights): exit code and standard error.
CtlResult RunCtlAsNobody(const std::string &root, const std::vector<std::string> &args) {
    return RunCtlAs(&vk_test::kNobodyIdentity, root, args, false);
}

// The daemon keeps its database readable by root only; a user who runs
// show is told so, and to run it as root.
TEST_F(CtlWithDaemon, ShowAsAnotherUserSaysTheDatabaseIsRootOnly) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: korvanectl is run as the user nobody";
    // Only the file itself stands in the way: its directories are open.
    ASSERT_EQ(chmod(m_root.path().c_str(), 0755), 0);
    const std::string db = m_root.path() + "/etc/korvane/korvaned.db";
    struct stat st;
    ASSERT_EQ(stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    CtlResult r = RunCtlAsNobody(m_root.path(), {"show"});
    EXPECT_EQ(r.exit_code, 5) << r.err;
    EXPECT_EQ(r.err, "korvanectl: the registry database " + db +
                         " is readable by root only; run korvanectl show as root\n");
    EXPECT_EQ(Ctl({"show"}).exit_code, 0) << "root reads it";
}

// Under a relocation root korvanectl talks to a listener of root's or of
// its own user's only: another user may have bound the name while no
// daemon ran. Rows: who runs korvanectl, who listens, refused or not.
struct ListenerCase {
    const char *name;
    uid_t ctl;
    uid_t listener;
    bool refused;
};

const ListenerCase kListenerCases[] = {
    {"root, nobody listens", 0, vk_test::kNobody, true},
    {"nobody, another user listens", vk_test::kNobody, 65533, true},
    {"nobody, nobody listens", vk_test::kNobody, vk_test::kNobody, false},
    {"nobody, root listens", vk_test::kNobody, 0, false},
    {"root, root listens", 0, 0, false},
};

TEST(CtlRelocated, RefusesAListenerOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: listens and runs korvanectl as other users";
    for (const ListenerCase &c : kListenerCases) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        const std::string name = "@" + root.path() + "/tmp/.zelluskkorvanefui";
        int own = -1;
        std::unique_ptr<vk_test::OtherUserProcess> other;
        if (c.listener == 0) {
            own = vk_test::ListenAbstract(name);
            ASSERT_NE(own, -1);
        } else {
            other = std::make_unique<vk_test::OtherUserProcess>(
                [&] { return std::string(vk_test::ListenAbstract(name) != -1 ? "up" : ""); },
                vk_test::Identity{c.listener, c.listener, {}});
            ASSERT_EQ(other->WaitResult(), std::optional<std::string>("up"));
        }
        const std::string refusal = "refusing " + name + ": its listener runs as uid " +
                                    std::to_string(c.listener) + " (pid ";
        // An accepted watch would wait for notifications for good.
        std::vector<std::string> commands = {"health", "metrics"};
        if (c.refused) commands.push_back("watch");
        for (const std::string &command : commands) {
            const vk_test::Identity who = {c.ctl, c.ctl, {}};
            CtlResult r = RunCtlAs(c.ctl == 0 ? nullptr : &who, root.path(),
                                   {"--timeout", "300", command}, true);
            SCOPED_TRACE(command);
            if (c.refused) {
                EXPECT_NE(r.err.find(refusal), std::string::npos) << r.err;
                EXPECT_NE(r.err.find("neither root nor uid " + std::to_string(c.ctl)),
                          std::string::npos)
                    << r.err;
                if (command != "metrics") {
                    EXPECT_EQ(r.exit_code, 3) << r.err;
                }
            } else {
                EXPECT_EQ(r.err.find("refusing"), std::string::npos) << r.err;
            }
        }
        if (own != -1) close(own);
    }
}

// status reads the PID file without changing it: content and times stay.
struct FileSnapshot {
    std::string content;
    struct timespec mtime = {0, 0};
    bool operator==(const FileSnapshot &o) const {
        return content == o.content && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileSnapshot Snapshot(const std::string &path) {
    FileSnapshot f;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) f.mtime = st.st_mtim;
    f.content = vk_test::ReadFile(path);
    return f;
}

std::string PidFileOf(const std::string &root) {
    return root + "/var/run/veskkorvaned.pid";
}

TEST_F(CtlWithDaemon, StatusOfARunningDaemon) {
    const std::string pidfile = PidFileOf(m_root.path());
    const FileSnapshot before = Snapshot(pidfile);
    const std::string pid = std::to_string(m_daemon.pid());
    CtlResult r = Ctl({"--json", "status"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    JsonPtr st = Parse(r.out);
    ASSERT_TRUE(st) << r.out;
    const std::vector<std::pair<std::string, std::string>> members = {
        {"running", "true"},
        {"pid", pid},
        {"pid_file", pidfile},
        {"pid_file_locked", "true"},
        {"process_exists", "true"},
        {"sockets/products/answers", "true"},
        {"sockets/front_uis/answers", "true"},
        {"sockets/front_uis/name", "@" + m_root.path() + "/tmp/.zelluskkorvanefui"},
    };
    for (const auto &m : members) EXPECT_EQ(Str(st.get(), m.first), m.second) << m.first;
    EXPECT_TRUE(cJSON_IsNull(At(st.get(), "problem"))) << r.out;
    long long uptime = std::stoll(Str(st.get(), "uptime"));
    EXPECT_GE(uptime, 0);
    EXPECT_LT(uptime, 600) << "started with this test";

    CtlResult human = Ctl({"status"});
    EXPECT_EQ(human.exit_code, 0) << human.err;
    for (const std::string &text :
         {"daemon:    running, pid " + pid + ", up ", pidfile + ", locked, pid " + pid + "\n",
          std::string("answers (request 1001: result 100, sender is not a registered front UI, "
                      "as expected for this probe)")})
        EXPECT_NE(human.out.find(text), std::string::npos) << text << "\n" << human.out;
    EXPECT_TRUE(Snapshot(pidfile) == before) << "the PID file was changed";
}

// No daemon: no PID file, or one whose lock nobody holds (its pid gone, or
// taken by another process). The file is left as it is.
TEST(CtlStatus, NotRunning) {
    TempRoot root;
    const std::string pidfile = PidFileOf(root.path());
    const std::string self = std::to_string(getpid());
    struct Case {
        const char *label;
        const char *content;  // of the PID file; null: none
        std::string out, err;
        bool held = false;  // this process holds the file's lock, as anyone may
    };
    const std::vector<Case> cases = {
        {"no PID file", nullptr, pidfile + ": none\n", "korvanectl: no PID file " + pidfile + "\n"},
        {"pid gone", "999999999\n", pidfile + ", not locked, pid 999999999 (no such process)\n",
         "korvanectl: stale PID file " + pidfile + ": no process holds its lock\n"},
        {"pid reused", self.c_str(), pidfile + ", not locked, pid " + self + "\n",
         "korvanectl: stale PID file " + pidfile + ": no process holds its lock (pid " + self +
             " is another process)\n"},
        {"held by another", "999999999\n",
         pidfile + ", not locked, pid 999999999 (no such process)\n",
         "korvanectl: stale PID file " + pidfile + ": its lock is held by pid " + self +
             ", not by the pid it names\n",
         true},
    };
    ASSERT_TRUE(Utils::make_parent_dirs(pidfile));
    for (const Case &c : cases) {
        unlink(pidfile.c_str());
        if (c.content) vk_test::WriteFile(pidfile, c.content);
        int holder = c.held ? open(pidfile.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (c.held) {
            ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0) << c.label;
        }
        const FileSnapshot before = Snapshot(pidfile);
        CtlResult r = RunCtl(root.path(), {"status"});
        EXPECT_EQ(r.exit_code, 3) << c.label;
        EXPECT_EQ(r.out.rfind("daemon:    not running\n", 0), 0u) << c.label << "\n" << r.out;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << c.label << "\n" << r.out;
        EXPECT_EQ(r.err, c.err) << c.label;
        EXPECT_TRUE(Snapshot(pidfile) == before) << c.label;

        CtlResult j = RunCtl(root.path(), {"--json", "status"});
        EXPECT_EQ(j.exit_code, 3) << c.label;
        JsonPtr st = Parse(j.out);
        EXPECT_EQ(Str(st.get(), "running"), "false") << c.label;
        EXPECT_EQ(Str(st.get(), "pid_file_exists"), c.content ? "true" : "false") << c.label;
        EXPECT_EQ(Str(st.get(), "sockets/products/answers"), "false") << c.label;
        EXPECT_EQ("korvanectl: " + Str(st.get(), "problem") + "\n", c.err) << c.label;
        if (holder >= 0) close(holder);
    }
}

// A process that holds the PID file's lock as the daemon would, and listens
// on the sockets it is given without ever answering.
class FakeDaemon {
public:
    FakeDaemon(const std::string &root, const std::vector<std::string> &sockets) {
        std::string pidfile = PidFileOf(root);
        Utils::make_parent_dirs(pidfile);
        m_pidfd = open(pidfile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        std::string pid = std::to_string(getpid());
        m_ok = m_pidfd >= 0 && flock(m_pidfd, LOCK_EX | LOCK_NB) == 0 &&
               write(m_pidfd, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
        for (const std::string &name : sockets) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            struct sockaddr_un sa;
            socklen_t len = anetUnixAddress(nullptr, ("@" + root + name).c_str(), &sa);
            m_ok = m_ok && fd >= 0 && len > 0 &&
                   bind(fd, reinterpret_cast<struct sockaddr *>(&sa), len) == 0 &&
                   listen(fd, 8) == 0;
            if (fd >= 0) m_fds.push_back(fd);
        }
    }
    ~FakeDaemon() {
        for (int fd : m_fds) close(fd);
        if (m_pidfd >= 0) close(m_pidfd);
    }
    bool ok() const { return m_ok; }

private:
    int m_pidfd = -1;
    std::vector<int> m_fds;
    bool m_ok = false;
};

// Running, but not every socket answers: exit code 7 and what is wrong.
TEST(CtlStatus, RunsButASocketDoesNotAnswer) {
    struct Case {
        const char *label;
        std::vector<std::string> sockets;  // the fake listens on these
        std::string products, front_uis, problem;
    };
    const std::vector<Case> cases = {
        {"front-UI socket silent",
         {"/tmp/.zelluskkorvanefui"},
         "connect: Connection refused",
         "no reply to request 1001 within 300 ms",
         "the products' socket and the front-UI socket do not answer"},
        {"front-UI socket missing",
         {"/tmp/.zelluskkorvane"},
         "accepts connections",
         "connect: Connection refused",
         "the front-UI socket does not answer"},
    };
    for (const Case &c : cases) {
        TempRoot root;
        FakeDaemon fake(root.path(), c.sockets);
        ASSERT_TRUE(fake.ok()) << c.label;
        CtlResult r = RunCtl(root.path(), {"--json", "--timeout", "300", "status"});
        EXPECT_EQ(r.exit_code, 7) << c.label << "\n" << r.err;
        JsonPtr st = Parse(r.out);
        ASSERT_TRUE(st) << c.label << "\n" << r.out;
        EXPECT_EQ(Str(st.get(), "running"), "true") << c.label;
        EXPECT_EQ(Str(st.get(), "pid"), std::to_string(getpid())) << c.label;
        EXPECT_EQ(Str(st.get(), "sockets/products/detail"), c.products) << c.label;
        EXPECT_EQ(Str(st.get(), "sockets/front_uis/detail"), c.front_uis) << c.label;
        EXPECT_EQ(Str(st.get(), "problem"), c.problem) << c.label;
        EXPECT_EQ(r.err, "korvanectl: " + c.problem + "\n") << c.label;
    }
}

// After an orderly stop of a foreground daemon there is no PID file left to
// be taken for a stale one.
TEST(CtlStatus, AfterAForegroundStopSaysNoPidFile) {
    TempRoot root;
    DaemonProcess d(root.path());
    ASSERT_TRUE(d.WaitListening());
    EXPECT_EQ(RunCtl(root.path(), {"status"}).exit_code, 0);
    ASSERT_TRUE(d.Signal(SIGTERM));
    int status = -1;
    ASSERT_TRUE(d.WaitExit(&status));
    CtlResult r = RunCtl(root.path(), {"status"});
    EXPECT_EQ(r.exit_code, 3) << r.err;
    EXPECT_EQ(r.out.rfind("daemon:    not running\n", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "korvanectl: no PID file " + PidFileOf(root.path()) + "\n");
}

// The uptime is the daemon's own, even when its process began as a shell
// that spent a while before exec'ing it (as scripts/try.sh does after its
// build): here the shell waits 3 s.
TEST(CtlStatus, UptimeCountsFromTheDaemonsStartNotItsShells) {
    const time_t test_start = time(nullptr);
    TempRoot root;
    DaemonProcess d(root.path(), {"--foreground"}, VK_DAEMON_PATH, 0,
                    {"sh", "-c", "sleep 3; exec \"$@\"", "sh"});
    ASSERT_TRUE(d.WaitListening(15000));
    CtlResult r = RunCtl(root.path(), {"--json", "status"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    JsonPtr st = Parse(r.out);
    ASSERT_TRUE(st) << r.out;
    EXPECT_EQ(Str(st.get(), "pid"), std::to_string(d.pid()));
    const long long uptime = std::stoll(Str(st.get(), "uptime"));
    const long long age = static_cast<long long>(time(nullptr) - test_start);
    EXPECT_GE(uptime, 0);
    // Whole seconds on both sides: one of slack.
    EXPECT_LE(uptime, age - 3 + 1) << "counted from the shell's start; test age " << age;
}

// Sockets that answer while no process holds the PID file (removed under
// a running daemon) are a fault of their own, not "not running".
TEST_F(CtlWithDaemon, StatusOfADaemonWithoutItsPidFile) {
    ASSERT_EQ(unlink(PidFileOf(m_root.path()).c_str()), 0);
    CtlResult r = Ctl({"status"});
    EXPECT_EQ(r.exit_code, 7) << r.err;
    EXPECT_EQ(r.out.rfind("daemon:    not running\n", 0), 0u) << r.out;
    EXPECT_NE(r.err.find("yet a socket answers"), std::string::npos) << r.err;
}

}  // namespace
