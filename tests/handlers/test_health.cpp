// The protection verdict's rules, one row each, and the reply object's
// shape.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "base/korvane_codes.h"
#include "handlers/dispatch.h"
#include "handlers/health.h"
#include "support/build_tree.h"
#include "support/temp_root.h"

namespace {

struct VerdictCase {
    const char *name;
    bool has_product;
    int alive;
    const char *secstat;
    int default_state;
    const char *verdict;
    std::vector<std::string> reasons;  // each must appear, in order
    bool status_current = true;        // reported since the product's latest start
};

health_facts_t Facts(const VerdictCase &c) {
    health_facts_t f;
    f.has_product = c.has_product;
    if (c.has_product) {
        f.uuid = "av-1";
        f.name = "Acme AV";
        f.exec = "/opt/acme/avd";
    }
    f.alive = c.alive;
    f.secstat = c.secstat;
    f.default_state = c.default_state;
    f.status_current = c.status_current;
    return f;
}

class VerdictTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictTest, Judges) {
    const VerdictCase &c = GetParam();
    health_verdict_t v = health_judge(Facts(c));
    EXPECT_STREQ(v.verdict, c.verdict);
    ASSERT_EQ(v.reasons.size(), c.reasons.size());
    for (size_t i = 0; i < c.reasons.size(); ++i) EXPECT_EQ(v.reasons[i], c.reasons[i]);
}

// Every reason the rules give has a stable code: words joined by dots and
// hyphens, each listed in the protocol's table, one per reason.
TEST_P(VerdictTest, EveryReasonHasADocumentedCode) {
    const health_verdict_t v = health_judge(Facts(GetParam()));
    ASSERT_EQ(v.codes.size(), v.reasons.size());
    const std::string doc =
        vk_test::ReadFile(vk_test::BuildCacheValue("CMAKE_HOME_DIRECTORY") + "/docs/protocol.md");
    for (const char *code : v.codes) {
        EXPECT_TRUE(std::regex_match(code, std::regex("[a-z]+([.-][a-z]+)+"))) << code;
        EXPECT_NE(doc.find(std::string("| `") + code + "` |"), std::string::npos)
            << code << " is not in the table of docs/protocol.md";
    }
}

const char kOn[] = R"({"protection":"on","uuid":"av-1"})";

INSTANTIATE_TEST_SUITE_P(
    Rules, VerdictTest,
    ::testing::Values(
        VerdictCase{"NothingAtAll", false, -1, "", 0, "unknown", {"no security product is active"}},
        VerdictCase{"NothingDefaultStarted",
                    false,
                    -1,
                    "",
                    2,
                    "unknown",
                    {"no security product is active"}},
        VerdictCase{"NothingDefaultStopped",
                    false,
                    -1,
                    "",
                    3,
                    "at-risk",
                    {"no security product is active and the default product was told to stop"}},
        VerdictCase{"OnAlive", true, 1, kOn, 3, "protected", {"Acme AV reports protection on"}},
        // A status from before the latest start (a registration, or the
        // default product told to start) is not judged, whatever it says.
        VerdictCase{"OnFromBeforeItsStart",
                    true,
                    1,
                    kOn,
                    2,
                    "unknown",
                    {"Acme AV has reported no status since it was started"},
                    false},
        VerdictCase{"OffFromBeforeItsStart",
                    true,
                    -1,
                    R"({"protection":"off"})",
                    2,
                    "unknown",
                    {"Acme AV has reported no status since it was started"},
                    false},
        VerdictCase{"OnUnwatched",
                    true,
                    -1,
                    kOn,
                    3,
                    "protected",
                    {"Acme AV reports protection on", "Acme AV's program is not watched"}},
        VerdictCase{"OnUpToDate",
                    true,
                    1,
                    R"({"protection":"on","signatures":"up-to-date"})",
                    3,
                    "protected",
                    {"Acme AV reports protection on"}},
        VerdictCase{"OnNotRunning",
                    true,
                    0,
                    kOn,
                    3,
                    "unknown",
                    {"Acme AV is not running: no process of /opt/acme/avd"}},
        VerdictCase{"Off",
                    true,
                    1,
                    R"({"protection":"off"})",
                    3,
                    "at-risk",
                    {"Acme AV reports protection off"}},
        VerdictCase{"Snoozed",
                    true,
                    1,
                    R"({"protection":"snoozed"})",
                    3,
                    "at-risk",
                    {"Acme AV reports protection snoozed"}},
        VerdictCase{"Expired",
                    true,
                    -1,
                    R"({"protection":"expired"})",
                    3,
                    "at-risk",
                    {"Acme AV reports protection expired"}},
        VerdictCase{"UnknownWord",
                    true,
                    1,
                    R"({"protection":"mostly"})",
                    3,
                    "at-risk",
                    {"Acme AV reports protection mostly"}},
        VerdictCase{"NotAText",
                    true,
                    1,
                    R"({"protection":true})",
                    3,
                    "at-risk",
                    {"Acme AV reports protection that is not a text"}},
        VerdictCase{"OutOfDate",
                    true,
                    1,
                    R"({"protection":"on","signatures":"out-of-date"})",
                    3,
                    "at-risk",
                    {"Acme AV reports out-of-date signatures"}},
        VerdictCase{"OffAndOutOfDate",
                    true,
                    0,
                    R"({"protection":"off","signatures":"out-of-date"})",
                    3,
                    "at-risk",
                    {"Acme AV reports protection off", "Acme AV reports out-of-date signatures"}},
        VerdictCase{"NoReport", true, 1, "", 3, "unknown", {"Acme AV has reported no status"}},
        VerdictCase{"FreeFormReport",
                    true,
                    1,
                    R"({"realtime":true})",
                    3,
                    "unknown",
                    {"Acme AV does not report its protection"}},
        VerdictCase{"ReportNotJson",
                    true,
                    1,
                    "{",
                    3,
                    "unknown",
                    {"Acme AV does not report its protection"}},
        VerdictCase{"ReportNotAnObject",
                    true,
                    1,
                    "[1]",
                    3,
                    "unknown",
                    {"Acme AV does not report its protection"}}),
    [](const ::testing::TestParamInfo<VerdictCase> &info) { return std::string(info.param.name); });

std::string Member(const std::string &json, const char *key) {
    cJSON *root = cJSON_Parse(json.c_str());
    if (root == nullptr) return "(not JSON)";
    cJSON *item = cJSON_GetObjectItemCaseSensitive(root, key);
    char *text = item != nullptr ? cJSON_PrintUnformatted(item) : nullptr;
    std::string out = text != nullptr ? text : "(missing)";
    cJSON_free(text);
    cJSON_Delete(root);
    return out;
}

TEST(HealthReport, ProductMembers) {
    health_facts_t f;
    f.has_product = true;
    f.uuid = "av-1";
    f.name = "Acme \"AV\"";
    f.exec = "/opt/acme/avd";
    f.alive = 1;
    f.secstat = R"({"protection":"on","signatures":"up-to-date","extra":1})";
    f.last_report = 1765400000;
    f.default_state = 3;
    std::string json = health_report(f);
    EXPECT_EQ(Member(json, "verdict"), R"("protected")");
    EXPECT_EQ(Member(json, "product"), R"("av-1")");
    EXPECT_EQ(Member(json, "name"), R"("Acme \"AV\"")");
    EXPECT_EQ(Member(json, "alive"), "true");
    EXPECT_EQ(Member(json, "protection"), R"("on")");
    EXPECT_EQ(Member(json, "signatures"), R"("up-to-date")");
    EXPECT_EQ(Member(json, "last_report"), "1765400000");
    EXPECT_EQ(Member(json, "default"), R"("stopped")");
    EXPECT_EQ(Member(json, "reasons"), R"(["Acme \"AV\" reports protection on"])");
}

TEST(HealthReport, NullsWithoutAProduct) {
    health_facts_t f;
    f.alive = 1;  // ignored without a product
    f.last_report = 5;
    std::string json = health_report(f);
    for (const char *key :
         {"product", "name", "alive", "protection", "signatures", "last_report", "default"})
        EXPECT_EQ(Member(json, key), "null") << key;
    f.default_state = 2;
    EXPECT_EQ(Member(health_report(f), "default"), R"("started")");
    f.has_product = true;
    f.alive = 0;
    EXPECT_EQ(Member(health_report(f), "alive"), "false");
    f.alive = -1;
    EXPECT_EQ(Member(health_report(f), "alive"), "null");
}

// Those who show the facts elsewhere hear of every product request, whatever
// its result, and of no front UI's: a query must not make the bus read the
// store again. No store is open here, so every request fails; the hook is
// called all the same.
int g_changes = 0;

TEST(HealthChangeHook, ProductRequestsOnly) {
    vk_test::TempRoot root;
    vk_test::ScopedRootEnv env(root.path());
    health_set_change_hook([] { ++g_changes; });
    const struct {
        uint32_t type;
        bool changes;
    } cases[] = {
        {KORVANE_REQ_FUI_REGISTER, false},    {KORVANE_REQ_GET_SECSOFT, false},
        {KORVANE_REQ_GET_SECSTAT, false},     {KORVANE_REQ_SAVE_FUICONF, false},
        {KORVANE_REQ_GET_FUICONF, false},     {KORVANE_REQ_GET_HEALTH, false},
        {KORVANE_REQ_SECSOFT_REGISTER, true}, {KORVANE_REQ_SECSOFT_UNREGISTER, true},
        {KORVANE_REQ_SECSTAT_UPDATE, true},   {KORVANE_REQ_SECSOFT_UPDATE, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type);
        g_changes = 0;
        mox_packet_t packet;
        packet.type = c.type;
        packet.uuid = "av-1";
        packet.data = R"({"name":"AV","exec":"/opt/av"})";
        handle_request(packet);
        EXPECT_EQ(g_changes, c.changes ? 1 : 0);
    }
    health_set_change_hook(nullptr);
}

}  // namespace
