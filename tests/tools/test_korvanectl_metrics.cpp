// korvanectl metrics. Against the real daemon, driven with korvanectl and a
// front UI of the test's own: the values for what the daemon really holds.
// Against a server of the test that answers one canned reply: the whole
// exposition for each shape of reply, and label values made of what a
// hostile product may call itself. Without a daemon: korvane_up 0 and exit
// 0. --output: the file is replaced whole or not at all, and no temporary
// is left behind. promtool, when installed, checks what is written and the
// alerting rules that docs/fleet.md quotes.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/default_product.h"
#include "client/korvane_client.h"
#include "support/build_tree.h"
#include "support/child_process.h"
#include "support/daemon_process.h"
#include "support/shell.h"
#include "support/temp_root.h"
#include "tools/canned_server.h"
#include "tools/ctl_json.h"
#include "tools/ctl_runner.h"

namespace {

using vk_test::CannedServer;
using vk_test::CtlResult;
using vk_test::Quote;
using vk_test::RunCtl;
using vk_test::Sh;
using vk_test::TempRoot;

const std::string kUp =
    "# HELP korvane_up Whether veskkorvaned answered the protection request (1005).\n"
    "# TYPE korvane_up gauge\n";
const std::string kDown = kUp + "korvane_up 0\n";
const char *kDefault = "3c9e51f2-4a7d-5b16-9e04-7d2a6c8f1b35";

// The sample lines of an exposition: everything but the comments.
std::vector<std::string> Samples(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line[0] != '#') out.push_back(line);
        start = end + 1;
    }
    return out;
}

// The value of one series ("korvane_verdict{verdict=\"unknown\"}"); "" when
// the exposition has no such sample.
std::string Value(const std::string &text, const std::string &series) {
    for (const std::string &s : Samples(text))
        if (s.rfind(series + " ", 0) == 0) return s.substr(series.size() + 1);
    return "";
}

// The names of the families that have samples, in order of appearance.
std::vector<std::string> Names(const std::string &text) {
    std::vector<std::string> out;
    for (const std::string &s : Samples(text)) {
        std::string name = s.substr(0, s.find_first_of("{ "));
        if (out.empty() || out.back() != name) out.push_back(name);
    }
    return out;
}

// A front UI registered for the test's own process, which the daemon keeps
// current while the test runs: the default product is told to start and
// stop only while one is.
class FrontUi {
public:
    explicit FrontUi(const std::string &root) : m_client(vk_test::TryOutClient()) {
        const std::string body = R"({"name":"metrics-ui","login_uid":)" +
                                 std::to_string(vk_test::OwnLoginUid()) + R"(,"euid":)" +
                                 std::to_string(geteuid()) + R"(,"pid":)" +
                                 std::to_string(getpid()) + "}";
        std::optional<korvane::Message> m;
        if (m_client.Connect(vk_test::TryOutName(root, korvane::Endpoint::kFrontUi)))
            m = m_client.Request("metrics-ui", KORVANE_REQ_FUI_REGISTER, body, 10000);
        m_ok = m && m->result == KORVANE_RESULT_OK;
    }
    bool ok() const { return m_ok; }

private:
    korvane::Client m_client;
    bool m_ok = false;
};

class MetricsWithDaemon : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_daemon.WaitListening()); }
    CtlResult Ctl(const std::vector<std::string> &args) { return RunCtl(m_root.path(), args); }
    // korvanectl metrics, which must succeed with the daemon up.
    std::string Metrics() {
        CtlResult r = Ctl({"metrics"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(Value(r.out, "korvane_up"), "1") << r.out;
        return r.out;
    }
    void Register(const std::string &uuid, const std::string &name, const std::string &exec) {
        CtlResult r = Ctl({"register", "--uuid", uuid, "--name", name, "--exec", exec});
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    void Report(const std::string &uuid, const std::string &status) {
        CtlResult r = Ctl({"report", "--uuid", uuid, status});
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    }

    TempRoot m_root;
    vk_test::DaemonProcess m_daemon{m_root.path()};
};

// The verdict and what it rests on, for a product whose program is not
// watched (it runs nowhere): every verdict, and the families that are left
// out rather than given a value that would mislead.
TEST_F(MetricsWithDaemon, VerdictAndProductFollowTheRegistry) {
    std::string out = Metrics();
    EXPECT_EQ(Names(out), (std::vector<std::string>{"korvane_up", "korvane_protected",
                                                    "korvane_verdict", "korvane_reason"}))
        << out;
    EXPECT_EQ(Value(out, R"(korvane_reason{code="product.none"})"), "1") << out;
    EXPECT_EQ(Value(out, "korvane_protected"), "0");
    EXPECT_EQ(Value(out, R"(korvane_verdict{verdict="unknown"})"), "1") << out;

    ASSERT_NO_FATAL_FAILURE(Register("av-m", "Acme AV", "/nonexistent/acme-av"));
    out = Metrics();
    EXPECT_EQ(Value(out, R"(korvane_product_info{uuid="av-m",name="Acme AV"})"), "1") << out;
    EXPECT_EQ(Value(out, "korvane_product_watched"), "0") << out;
    EXPECT_EQ(Value(out, "korvane_product_alive"), "") << "not watched: no value\n" << out;
    EXPECT_EQ(Value(out, "korvane_last_report_timestamp_seconds"), "") << "no report\n" << out;
    EXPECT_EQ(Value(out, R"(korvane_verdict{verdict="unknown"})"), "1") << out;

    struct Step {
        const char *status;
        const char *verdict;
        const char *protected_value;
        const char *code;  // one of the reasons' codes, a fleet's filter
    };
    for (const Step &s : {Step{R"({"protection":"on"})", "protected", "1", "protection.on"},
                          Step{R"({"protection":"off"})", "at-risk", "0", "protection.not-on"},
                          Step{R"({"protection":"on","signatures":"out-of-date"})", "at-risk", "0",
                               "signatures.out-of-date"},
                          Step{R"({"realtime":true})", "unknown", "0", "status.no-protection"}}) {
        SCOPED_TRACE(s.status);
        const long long before = time(nullptr);
        ASSERT_NO_FATAL_FAILURE(Report("av-m", s.status));
        out = Metrics();
        const long long after = time(nullptr);
        EXPECT_EQ(Value(out, "korvane_protected"), s.protected_value) << out;
        EXPECT_EQ(Value(out, std::string("korvane_reason{code=\"") + s.code + "\"}"), "1") << out;
        for (const char *v : {"protected", "at-risk", "unknown"})
            EXPECT_EQ(Value(out, std::string("korvane_verdict{verdict=\"") + v + "\"}"),
                      std::string(v) == s.verdict ? "1" : "0")
                << out;
        const std::string t = Value(out, "korvane_last_report_timestamp_seconds");
        ASSERT_FALSE(t.empty()) << out;
        EXPECT_GE(std::stoll(t), before);
        EXPECT_LE(std::stoll(t), after);
    }
}

// A product whose program runs is watched: alive 1, then 0 once it has
// stopped (within the daemon's grace, before it is unregistered).
TEST_F(MetricsWithDaemon, AliveWhileTheProgramRuns) {
    mkdir(m_root.Under("/opt").c_str(), 0755);
    const std::string program = m_root.Under("/opt/avd");
    ASSERT_TRUE(vk_test::CopyProgram("/bin/sleep", program));
    vk_test::ChildProcess child({program, "600"});
    ASSERT_TRUE(child.WaitExec(program));
    ASSERT_NO_FATAL_FAILURE(Register("av-live", "Live AV", program));
    // The look at /proc that finds its program follows the registration.
    std::string out;
    EXPECT_TRUE(vk_test::WaitFor([&] {
        out = Metrics();
        return Value(out, "korvane_product_alive") == "1";
    })) << out;
    EXPECT_EQ(Value(out, "korvane_product_watched"), "1") << out;

    child.Kill();
    EXPECT_TRUE(vk_test::WaitFor([&] {
        out = Metrics();
        return Value(out, "korvane_product_alive") == "0";
    })) << out;
    EXPECT_EQ(Value(out, "korvane_product_watched"), "1") << out;
    EXPECT_EQ(Value(out, R"(korvane_product_info{uuid="av-live",name="Live AV"})"), "1") << out;
}

// The default product is stopped when another product registers and
// started when that one leaves, while a front UI is registered.
TEST_F(MetricsWithDaemon, DefaultProductStartedAndStopped) {
    ASSERT_NO_FATAL_FAILURE(Register(kDefault, "Default AV", "/nonexistent/default"));
    std::string out = Metrics();
    EXPECT_EQ(Value(out, "korvane_default_product_started"), "") << "neither yet\n" << out;

    FrontUi ui(m_root.path());
    ASSERT_TRUE(ui.ok());
    ASSERT_NO_FATAL_FAILURE(Register("av-d", "Acme AV", "/nonexistent/acme-av"));
    out = Metrics();
    EXPECT_EQ(Value(out, "korvane_default_product_started"), "0") << out;
    EXPECT_EQ(Value(out, R"(korvane_product_info{uuid="av-d",name="Acme AV"})"), "1") << out;

    CtlResult r = Ctl({"unregister", "--uuid", "av-d"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    out = Metrics();
    EXPECT_EQ(Value(out, "korvane_default_product_started"), "1") << out;
    // Named as the daemon's settings name it (the built-in name here).
    EXPECT_EQ(Value(out, std::string("korvane_product_info{uuid=\"") + kDefault + "\",name=\"" +
                             kDefSecSoftName + "\"}"),
              "1")
        << out;
}

// Names sent by a product itself, through the daemon: the line format holds.
TEST_F(MetricsWithDaemon, HostileNameStaysOneLabel) {
    ASSERT_NO_FATAL_FAILURE(
        Register("av\"x", "Evil\"} 1\nkorvane_protected 1\n\\", "/nonexistent/evil"));
    std::string out = Metrics();
    EXPECT_EQ(
        Value(out,
              R"(korvane_product_info{uuid="av\"x",name="Evil\"} 1\nkorvane_protected 1\n\\"})"),
        "1")
        << out;
    EXPECT_EQ(Value(out, "korvane_protected"), "0") << out;
    EXPECT_EQ(vk_test::Occurrences(out, "\nkorvane_protected "), 1u) << out;
}

// No daemon, or one that takes the connection and never answers: the
// collector still gets korvane_up 0 and nothing else, and exit code 0.
TEST(MetricsWithoutDaemon, UpZeroAndExitZero) {
    TempRoot root;
    CtlResult r = RunCtl(root.path(), {"--timeout", "2000", "metrics"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kDown);
    EXPECT_NE(r.err.find("is veskkorvaned running?"), std::string::npos) << r.err;

    // A listener that never accepts: the connection waits in its backlog.
    int fd = vk_test::ListenAbstract(vk_test::TryOutName(root.path(), korvane::Endpoint::kFrontUi));
    ASSERT_GE(fd, 0);
    r = RunCtl(root.path(), {"--timeout", "300", "metrics"});
    close(fd);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kDown);
    EXPECT_NE(r.err.find("no reply within 300 ms"), std::string::npos) << r.err;
}

// A JSON string of raw bytes: quote, backslash and control characters
// escaped, every other byte as it is (cJSON reads them so).
std::string JsonString(const std::string &raw) {
    std::string out = "\"";
    for (unsigned char c : raw) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Reply(const std::string &data) {
    return R"({"data":)" + data + R"(,"id":1,"type":1005,"result":0,"uuid":"korvanectl-metrics"})";
}

// Runs korvanectl metrics against one canned reply.
CtlResult MetricsFor(const std::string &reply) {
    TempRoot root;
    CannedServer server(root.path(), reply);
    EXPECT_TRUE(server.ok());
    return RunCtl(root.path(), {"metrics"});
}

struct ShapeCase {
    const char *label;
    std::string reply;
    std::string out;  // the whole exposition
    bool told;        // something on stderr
};

const std::string kProtectedOut =
    kUp +
    "korvane_up 1\n"
    "# HELP korvane_protected Whether the verdict is protected (1) or not (0).\n"
    "# TYPE korvane_protected gauge\n"
    "korvane_protected 1\n"
    "# HELP korvane_verdict The protection verdict: 1 for the one given, 0 for the others.\n"
    "# TYPE korvane_verdict gauge\n"
    "korvane_verdict{verdict=\"protected\"} 1\n"
    "korvane_verdict{verdict=\"at-risk\"} 0\n"
    "korvane_verdict{verdict=\"unknown\"} 0\n"
    "# HELP korvane_product_info The current security product, always 1; absent when none is "
    "active.\n"
    "# TYPE korvane_product_info gauge\n"
    "korvane_product_info{uuid=\"8b0e\",name=\"Acme AV\"} 1\n"
    "# HELP korvane_product_watched Whether the daemon watches the current product's program (1) "
    "or not (0).\n"
    "# TYPE korvane_product_watched gauge\n"
    "korvane_product_watched 1\n"
    "# HELP korvane_product_alive Whether the current product's program runs (1) or not (0); "
    "absent when it is not watched.\n"
    "# TYPE korvane_product_alive gauge\n"
    "korvane_product_alive 1\n"
    "# HELP korvane_last_report_timestamp_seconds Unix time of the current product's last status "
    "report; absent when it has reported none.\n"
    "# TYPE korvane_last_report_timestamp_seconds gauge\n"
    "korvane_last_report_timestamp_seconds 1765370700\n"
    "# HELP korvane_default_product_started Whether the front UIs were last told to start (1) or "
    "to stop (0) the default product; absent when neither.\n"
    "# TYPE korvane_default_product_started gauge\n"
    "korvane_default_product_started 0\n";

std::vector<ShapeCase> ShapeCases() {
    return {
        {"protected, every member",
         Reply(R"({"verdict":"protected","reasons":["Acme AV reports protection on"],)"
               R"("product":"8b0e","name":"Acme AV","alive":true,"protection":"on",)"
               R"("signatures":"up-to-date","last_report":1765370700,"default":"stopped"})"),
         kProtectedOut, false},
        {"nothing active",
         Reply(R"({"verdict":"unknown","reasons":["no security product is active"],)"
               R"("product":null,"name":null,"alive":null,"protection":null,)"
               R"("signatures":null,"last_report":null,"default":null})"),
         kUp + "korvane_up 1\n"
               "# HELP korvane_protected Whether the verdict is protected (1) or not (0).\n"
               "# TYPE korvane_protected gauge\n"
               "korvane_protected 0\n"
               "# HELP korvane_verdict The protection verdict: 1 for the one given, 0 for the "
               "others.\n"
               "# TYPE korvane_verdict gauge\n"
               "korvane_verdict{verdict=\"protected\"} 0\n"
               "korvane_verdict{verdict=\"at-risk\"} 0\n"
               "korvane_verdict{verdict=\"unknown\"} 1\n",
         false},
        {"failed request", R"({"id":1,"type":1005,"result":1,"uuid":"u"})", kDown, true},
        {"no data", R"({"id":1,"type":1005,"result":0,"uuid":"u"})", kDown, true},
        {"verdict of no meaning", Reply(R"({"verdict":"fine"})"), kDown, true},
        {"verdict not a text", Reply(R"({"verdict":1})"), kDown, true},
    };
}

TEST(MetricsCannedReply, WholeExposition) {
    for (const ShapeCase &c : ShapeCases()) {
        SCOPED_TRACE(c.label);
        CtlResult r = MetricsFor(c.reply);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(!r.err.empty(), c.told) << r.err;
    }
}

// Each member on its own: what a value, null or absence gives.
TEST(MetricsCannedReply, MembersMapToSamples) {
    struct Case {
        std::string members;  // after "verdict" and "product"
        std::string series;
        std::string value;  // "" absent
    };
    const std::vector<Case> cases = {
        {R"("alive":false)", "korvane_product_alive", "0"},
        {R"("alive":false)", "korvane_product_watched", "1"},
        {R"("alive":null)", "korvane_product_alive", ""},
        {R"("alive":null)", "korvane_product_watched", "0"},
        {R"("last_report":null)", "korvane_last_report_timestamp_seconds", ""},
        {R"("last_report":1796904000)", "korvane_last_report_timestamp_seconds", "1796904000"},
        {R"("default":"started")", "korvane_default_product_started", "1"},
        {R"("default":null)", "korvane_default_product_started", ""},
        {R"("name":null)", R"(korvane_product_info{uuid="p",name=""})", "1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.members + " " + c.series);
        CtlResult r = MetricsFor(Reply(R"({"verdict":"at-risk","product":"p",)" + c.members + "}"));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(Value(r.out, c.series), c.value) << r.out;
    }
}

// Label values from a product that wants to break the file: each becomes
// one quoted value of valid UTF-8 without control characters.
struct NastyCase {
    const char *label;
    std::string raw;
    std::string escaped;  // between the quotes
};

std::vector<NastyCase> NastyCases() {
    const std::string fffd = "\xEF\xBF\xBD", ellipsis = "\xE2\x80\xA6";
    // 301 bytes, then "é" (two bytes) again and again: the cut at 509 bytes
    // would split one, so it falls before it.
    std::string accents, kept;
    for (int i = 0; i < 200; i++) accents += "\xC3\xA9";
    for (int i = 0; i < 104; i++) kept += "\xC3\xA9";
    return {
        {"double quote", "Acme \"Pro\"", "Acme \\\"Pro\\\""},
        {"backslash", "C:\\AV\\", "C:\\\\AV\\\\"},
        {"line feed", "two\nlines", "two\\nlines"},
        {"injected sample", "x\"} 1\nkorvane_protected 1\n# x",
         "x\\\"} 1\\nkorvane_protected 1\\n# x"},
        {"carriage return and tab", "a\rb\tc", "a" + fffd + "b" + fffd + "c"},
        {"other controls", "\x01\x1f\x7f", fffd + fffd + fffd},
        {"Latin-1 byte", "caf\xE9", "caf" + fffd},
        {"overlong slash", "\xC0\xAF", fffd + fffd},
        {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
        {"above U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"cut sequence at the end", "end\xE2\x82", "end" + fffd + fffd},
        {"lone continuation", "\x80x", fffd + "x"},
        {"UTF-8 kept", "Ambrel终端安全管理系统 🛡",
         "Ambrel终端安全管理系统 🛡"},
        {"C1 control kept as a character", "a\xC2\x85z", "a\xC2\x85z"},
        {"very long", std::string(100000, 'a'), std::string(509, 'a') + ellipsis},
        {"long, cut at a character", std::string(301, 'x') + accents,
         std::string(301, 'x') + kept + ellipsis},
        {"long backslashes", std::string(600, '\\'), std::string(2 * 509, '\\') + ellipsis},
    };
}

TEST(MetricsLabels, HostileValuesStayOneLabel) {
    const std::regex sample(R"re(^korvane_product_info\{uuid="((?:[^"\\\n]|\\[\\"n])*)",)re"
                            R"re(name="((?:[^"\\\n]|\\[\\"n])*)"\} 1$)re");
    for (const NastyCase &c : NastyCases()) {
        SCOPED_TRACE(c.label);
        for (bool as_name : {true, false}) {
            const std::string product = as_name ? "p" : c.raw, name = as_name ? c.raw : "n";
            CtlResult r =
                MetricsFor(Reply(R"({"verdict":"unknown","product":)" + JsonString(product) +
                                 R"(,"name":)" + JsonString(name) + "}"));
            EXPECT_EQ(r.exit_code, 0) << r.err;
            std::vector<std::string> info;
            for (const std::string &s : Samples(r.out))
                if (s.rfind("korvane_product_info", 0) == 0) info.push_back(s);
            ASSERT_EQ(info.size(), 1u) << r.out;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(info[0], m, sample)) << info[0];
            EXPECT_EQ(m[as_name ? 2 : 1].str(), c.escaped);
            EXPECT_EQ(m[as_name ? 1 : 2].str(), as_name ? "p" : "n");
            EXPECT_LE(m[as_name ? 2 : 1].str().size(), 2u * 512) << "bounded";
            EXPECT_EQ(Value(r.out, "korvane_protected"), "0") << r.out;
            EXPECT_EQ(Samples(r.out).size(), 7u) << r.out;
        }
    }
}

// The directory's entries, "." and ".." left out.
std::set<std::string> Entries(const std::string &dir) {
    std::set<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (struct dirent *e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.insert(e->d_name);
    closedir(d);
    return out;
}

class MetricsOutput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(m_dir.c_str(), 0755), 0);
        vk_test::WriteFile(m_file, "old\n");
    }
    void TearDown() override { chmod(m_dir.c_str(), 0755); }
    // korvanectl under the root (no daemon: korvane_up 0), through the shell.
    vk_test::ShellOutput Shell(const std::string &prefix, const std::string &args) {
        return Sh(prefix + " env VESKKORVANED_ROOT=" + Quote(m_root.path()) + " " +
                  Quote(VK_KORVANECTL_PATH) + " --timeout 1000 " + args);
    }

    TempRoot m_root;
    const std::string m_dir = m_root.path() + "/textfile";
    const std::string m_file = m_dir + "/korvane.prom";
};

TEST_F(MetricsOutput, ReplacesTheFileWithMode0644) {
    vk_test::ScopedUmask mask(077);
    CtlResult r = RunCtl(m_root.path(), {"--timeout", "1000", "metrics", "--output", m_file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(vk_test::ReadFile(m_file), kDown);
    struct stat st;
    ASSERT_EQ(stat(m_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(Entries(m_dir), std::set<std::string>{"korvane.prom"}) << "no temporary left";

    // A file that did not exist, named without a directory.
    vk_test::ShellOutput o = Shell("cd " + Quote(m_dir) + " &&", "metrics --output new.prom");
    EXPECT_EQ(o.status, 0) << o.text;
    EXPECT_EQ(vk_test::ReadFile(m_dir + "/new.prom"), kDown);
}

// Every failure: exit code 10, a message, the old file as it was and no
// temporary left in the directory.
TEST_F(MetricsOutput, FailureLeavesTheOldFileAndNoTemporary) {
    struct Case {
        const char *label;
        std::string prefix;  // shell words before the command
        std::string path;
        std::string message;
    };
    std::vector<Case> cases = {
        {"missing directory", "", m_dir + "/nosuch/korvane.prom",
         "cannot create a temporary file in " + m_dir + "/nosuch: No such file or directory"},
        // rename(2) cannot replace a directory that holds something.
        {"a directory at the name", "", m_dir + "/full", "cannot rename "},
        // The write runs into the file size limit (SIGXFSZ ignored: EFBIG).
        {"write fails", "ulimit -f 0; trap '' XFSZ;", m_file, "cannot write "},
    };
    ASSERT_EQ(mkdir((m_dir + "/full").c_str(), 0755), 0);
    vk_test::WriteFile(m_dir + "/full/x", "x");
    const std::set<std::string> before = Entries(m_dir);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        vk_test::ShellOutput o = Shell(c.prefix, "metrics --output " + Quote(c.path));
        EXPECT_EQ(o.status, 10) << o.text;
        EXPECT_NE(o.text.find("korvanectl: " + c.message), std::string::npos) << o.text;
        EXPECT_EQ(vk_test::ReadFile(m_file), "old\n");
        EXPECT_EQ(Entries(m_dir), before);
    }
}

// A directory it may not write: for root, without the capabilities that
// let it write anywhere.
TEST_F(MetricsOutput, ReadOnlyDirectoryFails) {
    std::string prefix;
    if (geteuid() == 0) {
        if (!vk_test::Have("setpriv")) GTEST_SKIP() << "setpriv is not installed (util-linux)";
        prefix = "setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search";
    }
    ASSERT_EQ(chmod(m_dir.c_str(), 0555), 0);
    vk_test::ShellOutput o = Shell(prefix, "metrics --output " + Quote(m_file));
    EXPECT_EQ(o.status, 10) << o.text;
    EXPECT_NE(o.text.find("cannot create a temporary file in " + m_dir + ": Permission denied"),
              std::string::npos)
        << o.text;
    EXPECT_EQ(vk_test::ReadFile(m_file), "old\n");
    EXPECT_EQ(Entries(m_dir), std::set<std::string>{"korvane.prom"});
}

TEST_F(MetricsOutput, StandardOutputThatCannotBeWritten) {
    // Only stdout goes to /dev/full: Sh takes what the group writes on stderr.
    vk_test::ShellOutput o = Shell("{", "metrics > /dev/full; }");
    EXPECT_EQ(o.status, 10) << o.text;
    EXPECT_NE(o.text.find("korvanectl: cannot write to standard output: No space left on device"),
              std::string::npos)
        << o.text;
}

TEST_F(MetricsOutput, UsageErrors) {
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--json", "metrics"},
                                               {"metrics", "--output", ""},
                                               {"metrics", "--output", m_dir + "/"}}) {
        CtlResult r = RunCtl(m_root.path(), args);
        EXPECT_EQ(r.exit_code, 2) << args.back() << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(vk_test::ReadFile(m_file), "old\n");
}

// A reader never sees a part: only the old file or the whole new one, while
// the file is replaced again and again.
TEST_F(MetricsOutput, ReadersSeeOldOrNewOnly) {
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::string seen_wrong;
    std::thread reader([&] {
        while (!stop) {
            std::string text = vk_test::ReadFile(m_file);
            if (text != "old\n" && text != kDown && seen_wrong.empty()) seen_wrong = text + "|";
            ++reads;
        }
    });
    const std::string tmp = m_dir + "/.old";
    for (int i = 0; i < 20; i++) {
        vk_test::WriteFile(tmp, "old\n");
        ASSERT_EQ(rename(tmp.c_str(), m_file.c_str()), 0);
        CtlResult r = RunCtl(m_root.path(), {"--timeout", "1000", "metrics", "--output", m_file});
        ASSERT_EQ(r.exit_code, 0) << r.err;
    }
    stop = true;
    reader.join();
    EXPECT_EQ(seen_wrong, "");
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(Entries(m_dir), std::set<std::string>{"korvane.prom"});
}

// promtool (Debian's prometheus package) reads what korvanectl writes as
// node_exporter would, and lints it.
TEST(MetricsPromtool, CheckMetricsAcceptsEveryShape) {
    if (!vk_test::Have("promtool"))
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    TempRoot root;
    std::vector<std::pair<std::string, std::string>> outputs;  // label, text
    for (const ShapeCase &c : ShapeCases()) outputs.push_back({c.label, c.out});
    for (const NastyCase &c : NastyCases())
        outputs.push_back(
            {c.label, MetricsFor(Reply(R"({"verdict":"unknown","product":)" + JsonString(c.raw) +
                                       R"(,"name":)" + JsonString(c.raw) + "}"))
                          .out});
    for (const auto &[label, text] : outputs) {
        SCOPED_TRACE(label);
        ASSERT_FALSE(text.empty());
        const std::string file = root.path() + "/m.prom";
        vk_test::WriteFile(file, text);
        vk_test::ShellOutput o = Sh("promtool check metrics < " + Quote(file));
        EXPECT_EQ(o.status, 0) << o.text << text;
        EXPECT_EQ(o.text, "") << text;
    }
}

// The alerting rules shipped as an example, and quoted whole in the guide.
std::string SourceFile(const std::string &rel) {
    return vk_test::ReadFile(vk_test::BuildCacheValue("CMAKE_HOME_DIRECTORY") + "/" + rel);
}

TEST(FleetGuide, QuotesTheAlertingRulesVerbatim) {
    const std::string rules = SourceFile("docs/fleet/korvane-alerts.yml");
    ASSERT_FALSE(rules.empty());
    EXPECT_NE(SourceFile("docs/fleet.md").find("```yaml\n" + rules + "```\n"), std::string::npos)
        << "docs/fleet.md must quote docs/fleet/korvane-alerts.yml whole";
}

// The rules load, and fire for the desktops they are about and no other
// (tests/tools/korvane-alerts.test.yml: a not-watched product is not taken
// for a stopped one).
TEST(FleetGuide, AlertingRulesPassPromtool) {
    if (!vk_test::Have("promtool"))
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    const std::string source = vk_test::BuildCacheValue("CMAKE_HOME_DIRECTORY");
    vk_test::ShellOutput o =
        Sh("promtool check rules " + Quote(source + "/docs/fleet/korvane-alerts.yml"));
    EXPECT_EQ(o.status, 0) << o.text;
    EXPECT_NE(o.text.find("SUCCESS: 4 rules found"), std::string::npos) << o.text;
    o = Sh("promtool test rules " + Quote(source + "/tests/tools/korvane-alerts.test.yml"));
    EXPECT_EQ(o.status, 0) << o.text;
}

// What each shipped alert says about one desktop, read from the rules file:
// its severity and annotations with {{ $labels.instance }} filled in.
struct AlertText {
    std::string severity, summary, description;
};

std::map<std::string, AlertText> AlertTexts(const std::string &rules, const std::string &instance) {
    std::map<std::string, AlertText> out;
    auto fill = [&instance](std::string text) {
        const std::string var = "{{ $labels.instance }}";
        for (size_t at; (at = text.find(var)) != std::string::npos;)
            text.replace(at, var.size(), instance);
        return text;
    };
    std::istringstream in(rules);
    std::string line, alert;
    std::string *folded = nullptr;  // the `>-` value being read
    while (std::getline(in, line)) {
        const size_t indent = line.find_first_not_of(' ');
        if (indent == std::string::npos) continue;
        std::string text = line.substr(indent);
        if (folded && indent >= 12) {
            *folded += (folded->empty() ? "" : " ") + fill(text);
            continue;
        }
        folded = nullptr;
        auto value = [&text](const char *key) -> std::optional<std::string> {
            if (text.rfind(key, 0) != 0) return std::nullopt;
            std::string v = text.substr(strlen(key));
            if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
            return v;
        };
        if (auto v = value("- alert: ")) alert = *v;
        if (alert.empty()) continue;
        if (auto v = value("severity: ")) out[alert].severity = *v;
        if (auto v = value("summary: ")) out[alert].summary = fill(*v);
        if (auto v = value("description: ")) {
            out[alert].description = *v == ">-" ? "" : fill(*v);
            if (*v == ">-") folded = &out[alert].description;
        }
    }
    return out;
}

std::string YamlQuoted(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A desktop of the fleet: what korvanectl metrics wrote on it before and
// after something happened there.
struct Desktop {
    std::string instance;
    std::string before, after;
    std::vector<std::string> fire;  // the alerts it must raise afterwards
};

// The promtool unit test for a fleet of such desktops, one sample a minute:
// `before` for 5 minutes, `after` for 20. A series missing from a scrape
// is stale from then on, as Prometheus marks it. At 4 minutes nothing
// fires; at 24 exactly the alerts each desktop names.
std::string AlertTest(const std::string &rules_path, const std::vector<Desktop> &fleet) {
    const int kBefore = 5, kAll = 25;
    std::string series, tests;
    for (const Desktop &d : fleet) {
        std::map<std::string, std::vector<std::string>> values;  // series, one per minute
        auto add = [&](const std::string &text, int from, int to) {
            for (const std::string &sample : Samples(text)) {
                const size_t space = sample.rfind(' ');
                std::string name = sample.substr(0, space);
                const std::string label = "instance=\"" + d.instance + "\"";
                const size_t brace = name.find('{');
                name = brace == std::string::npos ? name + "{" + label + "}"
                                                  : name.insert(brace + 1, label + ",");
                std::vector<std::string> &v = values[name];
                v.resize(kAll);
                for (int m = from; m < to; m++) v[m] = sample.substr(space + 1);
            }
        };
        add(d.before, 0, kBefore);
        add(d.after, kBefore, kAll);
        for (const auto &[name, v] : values) {
            std::string joined;
            for (int m = 0; m < kAll; m++) {
                std::string one = v[m];
                if (one.empty()) one = m > 0 && !v[m - 1].empty() ? "stale" : "_";
                joined += (m ? " " : "") + one;
            }
            series += "      - series: '" + name + "'\n        values: '" + joined + "'\n";
        }
    }
    const std::string rules = vk_test::ReadFile(rules_path);
    for (const char *alert : {"KorvaneDesktopNotProtected", "KorvaneProductNotAlive",
                              "KorvaneDaemonDown", "KorvaneMetricsStale"}) {
        tests += std::string("      - eval_time: 4m\n        alertname: ") + alert +
                 "\n        exp_alerts: []\n";
        tests += std::string("      - eval_time: 24m\n        alertname: ") + alert +
                 "\n        exp_alerts:\n";
        for (const Desktop &d : fleet) {
            if (std::find(d.fire.begin(), d.fire.end(), alert) == d.fire.end()) continue;
            const AlertText t = AlertTexts(rules, d.instance)[alert];
            tests += "          - exp_labels: {instance: " + d.instance +
                     ", severity: " + t.severity + "}\n            exp_annotations:\n" +
                     "              summary: " + YamlQuoted(t.summary) + "\n" +
                     "              description: " + YamlQuoted(t.description) + "\n";
        }
        if (tests.compare(tests.size() - 12, 12, "exp_alerts:\n") == 0)
            tests.insert(tests.size() - 1, " []");
    }
    return "rule_files:\n  - " + rules_path +
           "\nevaluation_interval: 1m\ntests:\n  - interval: 1m\n    input_series:\n" + series +
           "    alert_rule_test:\n" + tests;
}

// The sequences a fleet must hear of, played on the real daemon (grace 1 s)
// and recorded with korvanectl metrics: a product killed (lost after the
// grace, and with no default product its series gone); the default product
// told to start after that and not running; the daemon stopped. promtool
// then replays them against the shipped rules: each fires where it must,
// and nothing fires for a desktop that stays protected.
TEST(FleetGuide, AlertsFireOnTheDaemonsOwnSequences) {
    if (!vk_test::Have("promtool"))
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    TempRoot root;
    vk_test::WriteDaemonSettings(root, "[liveness]\ngrace = 1\n");
    auto daemon = std::make_unique<vk_test::DaemonProcess>(root.path());
    ASSERT_TRUE(daemon->WaitListening());
    auto metrics = [&root] { return RunCtl(root.path(), {"metrics"}).out; };
    auto ctl = [&root](const std::vector<std::string> &args) {
        CtlResult r = RunCtl(root.path(), args);
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    };
    // korvanectl metrics again until `holds` is true of it: the last one
    // read ("" when it never is).
    auto metrics_when = [&](const std::function<bool(const std::string &)> &holds) {
        std::string out;
        const bool held = vk_test::WaitFor([&] { return holds(out = metrics()); });
        EXPECT_TRUE(held) << out;
        return held ? out : "";
    };
    FrontUi ui(root.path());
    ASSERT_TRUE(ui.ok());
    const std::string program = vk_test::SleepProgram(root.path(), "avd");
    // A product whose program runs, registered and protecting: the metrics
    // once it is watched (a look at /proc has found its program).
    auto protect = [&](const std::string &uuid) {
        ctl({"register", "--uuid", uuid, "--name", "Acme", "--exec", program});
        ctl({"report", "--uuid", uuid, R"({"protection":"on"})"});
        return metrics_when(
            [](const std::string &m) { return Value(m, "korvane_product_alive") == "1"; });
    };

    // A product runs and protects; killed, it is lost, and nothing is left.
    auto product = vk_test::RunSleeping(program);
    const std::string running = protect("av-1");
    ASSERT_EQ(Value(running, "korvane_protected"), "1") << running;
    product->Kill();
    const std::string killed = metrics_when([](const std::string &m) {
        return Value(m, "korvane_product_watched").empty() && Value(m, "korvane_up") == "1";
    });
    ASSERT_NE(killed, "");

    // The default product installed, stopped for another product, started
    // when that one is killed: its program never comes.
    ASSERT_NO_FATAL_FAILURE(ctl({"register", "--uuid", kDefault, "--name", "Default AV", "--exec",
                                 root.Under("/opt/palemoss/palemoss")}));
    product = vk_test::RunSleeping(program);
    const std::string second = protect("av-2");
    ASSERT_EQ(Value(second, "korvane_protected"), "1") << second;
    product->Kill();
    const std::string default_down = metrics_when([](const std::string &m) {
        return Value(m, R"(korvane_reason{code="product.not-running-past-grace"})") == "1";
    });
    EXPECT_EQ(Value(default_down, "korvane_product_alive"), "0") << default_down;

    daemon->Stop();
    const std::string down = metrics();
    ASSERT_EQ(Value(down, "korvane_up"), "0") << down;

    const std::string rules =
        vk_test::BuildCacheValue("CMAKE_HOME_DIRECTORY") + "/docs/fleet/korvane-alerts.yml";
    const std::string all[] = {"KorvaneDesktopNotProtected", "KorvaneProductNotAlive"};
    const std::string test =
        AlertTest(rules, {{"fine", running, running, {}},
                          {"killed", running, killed, {all[0], all[1]}},
                          {"default-down", second, default_down, {all[0], all[1]}},
                          {"down", running, down, {"KorvaneDaemonDown"}}});
    const std::string file = root.path() + "/alerts.test.yml";
    vk_test::WriteFile(file, test);
    vk_test::ShellOutput o = Sh("promtool test rules " + Quote(file));
    EXPECT_EQ(o.status, 0) << o.text << "\n" << test;
}

}  // namespace
