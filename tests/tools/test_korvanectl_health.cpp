// korvanectl health and the words of result 104. Against the real daemon,
// driven with korvanectl itself: the verdicts and their exit codes, and the
// shape of --json. Against a server of the test that answers one canned
// reply: every field of the human form, nulls included, and the replies a
// daemon should never send.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "proto/codec/json.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"
#include "tools/canned_server.h"
#include "tools/ctl_json.h"
#include "tools/ctl_runner.h"

namespace {

using vk_test::At;
using vk_test::CannedServer;
using vk_test::CtlResult;
using vk_test::RunCtl;
using vk_test::Str;
using vk_test::TempRoot;

// The members of a health reply's "data", every one always present.
const std::set<std::string> kHealthMembers = {"verdict",     "reasons", "codes",      "product",
                                              "name",        "alive",   "protection", "signatures",
                                              "last_report", "default"};

struct VerdictCase {
    const char *label;
    std::vector<std::vector<std::string>> steps;  // korvanectl commands run first
    int exit_code;
    std::string verdict;
    std::string protection;  // as --json shows it
    bool reported;
};

// A product whose program does not run is not watched: the verdict rests
// on what it reports.
const std::vector<std::string> kRegister = {
    "register", "--uuid", "av-h", "--name", "Acme", "--exec", "/nonexistent/acme-av"};

class CtlHealth : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(CtlHealth, VerdictAndExitCode) {
    const VerdictCase &c = GetParam();
    TempRoot root;
    vk_test::DaemonProcess daemon(root.path());
    ASSERT_TRUE(daemon.WaitListening());
    for (const std::vector<std::string> &step : c.steps)
        ASSERT_EQ(RunCtl(root.path(), step).exit_code, 0) << step[0];

    CtlResult j = RunCtl(root.path(), {"--json", "health"});
    EXPECT_EQ(j.exit_code, c.exit_code) << j.err;
    ASSERT_EQ(std::count(j.out.begin(), j.out.end(), '\n'), 1) << j.out;
    JsonPtr data = json_parse(j.out);
    ASSERT_TRUE(cJSON_IsObject(data.get())) << j.out;
    std::set<std::string> members;
    for (const cJSON *m = data->child; m != nullptr; m = m->next) members.insert(m->string);
    EXPECT_EQ(members, kHealthMembers) << j.out;
    EXPECT_EQ(Str(data.get(), "verdict"), c.verdict);
    const cJSON *reasons = At(data.get(), "reasons");
    ASSERT_TRUE(cJSON_IsArray(reasons)) << j.out;
    for (const cJSON *r = reasons->child; r != nullptr; r = r->next)
        EXPECT_TRUE(cJSON_IsString(r)) << j.out;
    if (c.verdict != "protected") {
        EXPECT_GT(cJSON_GetArraySize(reasons), 0) << "says why";
    }
    const bool registered = !c.steps.empty();
    EXPECT_EQ(Str(data.get(), "product"), registered ? "av-h" : "null");
    EXPECT_EQ(Str(data.get(), "name"), registered ? "Acme" : "null");
    EXPECT_EQ(Str(data.get(), "alive"), "null") << "not watched";
    EXPECT_EQ(Str(data.get(), "protection"), c.protection);
    EXPECT_EQ(cJSON_IsNumber(At(data.get(), "last_report")), c.reported) << j.out;

    CtlResult h = RunCtl(root.path(), {"health"});
    EXPECT_EQ(h.exit_code, c.exit_code) << h.err;
    EXPECT_EQ(h.out.substr(0, h.out.find('\n')), c.verdict) << h.out;
    EXPECT_NE(h.out.find(registered ? "\nproduct:     av-h  Acme\n" : "\nproduct:     none\n"),
              std::string::npos)
        << h.out;
    EXPECT_NE(h.out.find("\nrunning:     not watched\n"), std::string::npos) << h.out;
    EXPECT_EQ(h.out.find("\nlast report: never\n") == std::string::npos, c.reported) << h.out;
    EXPECT_EQ(vk_test::Occurrences(h.out, "\nreason:      "),
              static_cast<size_t>(cJSON_GetArraySize(reasons)))
        << h.out;
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, CtlHealth,
    ::testing::Values(
        VerdictCase{"nothing_registered", {}, 9, "unknown", "null", false},
        VerdictCase{"nothing_reported", {kRegister}, 9, "unknown", "null", false},
        VerdictCase{"protection_on",
                    {kRegister, {"report", "--uuid", "av-h", R"({"protection":"on"})"}},
                    0,
                    "protected",
                    "on",
                    true},
        VerdictCase{"protection_off",
                    {kRegister, {"report", "--uuid", "av-h", R"({"protection":"off"})"}},
                    8,
                    "at-risk",
                    "off",
                    true}),
    [](const auto &info) { return std::string(info.param.label); });

std::string LocalTime(long long t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char buf[64];
    localtime_r(&tt, &tm);
    strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S %z", &tm);
    return buf;
}

struct CannedCase {
    const char *label;
    std::vector<std::string> args;
    std::string reply;  // the JSON the server answers with
    int exit_code;
    std::string out;  // the whole of stdout; "*" followed by text: a part of it
    std::string err;  // the whole of stderr
};

const long long kReportTime = 1796904000;

std::string AtRisk(const char *alive) {
    return std::string(
               R"({"data":{"verdict":"at-risk","reasons":["protection is off",)"
               R"("signatures are out of date"],"product":"av","name":"Acme AV","alive":)") +
           alive + R"(,"protection":"off","signatures":"out-of-date","last_report":)" +
           std::to_string(kReportTime) +
           R"(,"default":"stopped"},"id":1,"type":1005,"result":0,"uuid":"korvanectl-health"})";
}

const std::string kUnknown =
    R"({"data":{"verdict":"unknown","reasons":["no product is registered"],"product":null,)"
    R"("name":null,"alive":null,"protection":null,"signatures":null,"last_report":null,)"
    R"("default":null},"id":1,"type":1005,"result":0,"uuid":"korvanectl-health"})";

std::vector<CannedCase> CannedCases() {
    const std::string atRiskOut =
        "at-risk\n"
        "product:     av  Acme AV\n"
        "running:     no\n"
        "protection:  off\n"
        "signatures:  out-of-date\n"
        "last report: " +
        LocalTime(kReportTime) +
        "\n"
        "default:     stopped\n"
        "reason:      protection is off\n"
        "reason:      signatures are out of date\n";
    return {
        {"nulls in words",
         {"health"},
         kUnknown,
         9,
         "unknown\nproduct:     none\nrunning:     not watched\nprotection:  not reported\n"
         "signatures:  not reported\nlast report: never\ndefault:     none\n"
         "reason:      no product is registered\n",
         ""},
        {"every field", {"health"}, AtRisk("false"), 8, atRiskOut, ""},
        {"running", {"health"}, AtRisk("true"), 8, "*\nrunning:     yes\n", ""},
        {"json is the data",
         {"--json", "health"},
         kUnknown,
         9,
         R"({"verdict":"unknown","reasons":["no product is registered"],"product":null,)"
         R"("name":null,"alive":null,"protection":null,"signatures":null,"last_report":null,)"
         R"("default":null})"
         "\n",
         ""},
        {"no verdict",
         {"health"},
         R"({"id":1,"type":1005,"result":0,"uuid":"u"})",
         4,
         "",
         "korvanectl: the reply to request 1005 carries no verdict: "
         R"({"id":1,"type":1005,"result":0,"uuid":"u"})"
         "\n"},
        {"verdict of no meaning",
         {"health"},
         R"({"data":{"verdict":"fine"},"id":1,"type":1005,"result":0})",
         4,
         "*fine\n",
         "korvanectl: the reply to request 1005 carries an unknown verdict: fine\n"},
        {"failed",
         {"health"},
         R"({"id":1,"type":1005,"result":1,"uuid":"u"})",
         1,
         "*result: 1 (internal failure in the daemon)\n",
         ""},
        {"another front UI",
         {"ui-register", "--uuid", "u", "--name", "n"},
         R"({"data":{"pid":4242},"id":1,"type":1000,"result":104,"uuid":"u"})",
         1,
         "*result: 104 (another front UI is registered)\n",
         "korvanectl: another front UI is registered (pid 4242)\n"},
        {"another front UI, no pid",
         {"ui-register", "--uuid", "u", "--name", "n"},
         R"({"id":1,"type":1000,"result":104,"uuid":"u"})",
         1,
         "*result: 104 (another front UI is registered)\n",
         "korvanectl: another front UI is registered\n"},
        {"another front UI, a pid that is no number",
         {"send", "--socket", "ui", "--type", "1000", "--uuid", "u"},
         R"({"data":{"pid":"4242"},"id":1,"type":1000,"result":104})",
         1,
         "*result: 104 (another front UI is registered)\n",
         "korvanectl: another front UI is registered\n"},
    };
}

TEST(CtlCannedReply, PrintedAndEndedAsTheReplySays) {
    for (const CannedCase &c : CannedCases()) {
        SCOPED_TRACE(c.label);
        TempRoot root;
        CannedServer server(root.path(), c.reply);
        ASSERT_TRUE(server.ok());
        CtlResult r = RunCtl(root.path(), c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
        if (!c.out.empty() && c.out[0] == '*') {
            EXPECT_NE(r.out.find(c.out.substr(1)), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out, c.out);
        }
        EXPECT_EQ(r.err, c.err);
        if (c.args.back() == "health") {
            // Request 1005 without a body, from a sender of its own.
            JsonPtr req = json_parse(server.Request());
            ASSERT_TRUE(req);
            EXPECT_EQ(Str(req.get(), "type"), "1005");
            EXPECT_EQ(Str(req.get(), "uuid"), "korvanectl-health");
            EXPECT_EQ(Str(req.get(), "data"), "<absent>");
        }
    }
}

}  // namespace
