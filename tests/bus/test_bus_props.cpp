// What the bus shows for given facts: the mapping of the protection summary
// to the properties, which of them a change touches, and the repair of text
// that is not valid UTF-8 (which D-Bus would refuse, failing every read).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bus/bus_props.h"

namespace {

health_facts_t Product(int alive, const std::string &secstat, int64_t last_report) {
    health_facts_t f;
    f.has_product = true;
    f.uuid = "av-0001";
    f.name = "Acme AV";
    f.exec = "/opt/acme/avd";
    f.detail = R"({"name":"Acme AV","exec":"/opt/acme/avd"})";
    f.alive = alive;
    f.secstat = secstat;
    f.last_report = last_report;
    return f;
}

TEST(BusProps, ValuesFollowTheFacts) {
    struct Case {
        const char *name;
        health_facts_t facts;
        const char *verdict;
        const char *alive;
        const char *default_product;
        uint64_t last_report;
    };
    health_facts_t none;
    health_facts_t stopped;
    stopped.default_state = 3;
    health_facts_t started = Product(-1, "", 0);
    started.default_state = 2;
    const Case cases[] = {
        {"nothing", none, "unknown", "unwatched", "", 0},
        {"default told to stop", stopped, "at-risk", "unwatched", "stopped", 0},
        {"default started, no report", started, "unknown", "unwatched", "started", 0},
        {"protected, running", Product(1, R"({"protection":"on"})", 1700000000), "protected", "yes",
         "", 1700000000},
        {"program gone", Product(0, R"({"protection":"on"})", 5), "unknown", "no", "", 5},
        {"protection off", Product(1, R"({"protection":"off"})", 5), "at-risk", "yes", "", 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bus_props_t p;
        bus_props_from_facts(c.facts, p);
        health_verdict_t v = health_judge(c.facts);
        EXPECT_EQ(p.verdict, c.verdict);
        EXPECT_EQ(p.reasons, v.reasons);
        EXPECT_EQ(p.alive, c.alive);
        EXPECT_EQ(p.default_product, c.default_product);
        EXPECT_EQ(p.last_report, c.last_report);
        EXPECT_EQ(p.active_product, c.facts.has_product ? c.facts.uuid : "");
        EXPECT_EQ(p.active_product_name, c.facts.has_product ? c.facts.name : "");
        EXPECT_EQ(p.detail, c.facts.has_product ? c.facts.detail : "");
        EXPECT_EQ(p.status, c.facts.has_product ? c.facts.secstat : "");
    }
}

// The detail and the status go on the bus as one line of JSON, whatever
// layout the store keeps them in.
TEST(BusProps, DetailAndStatusAreCompact) {
    const struct {
        const char *stored;
        const char *shown;
    } cases[] = {
        {"{\n\t\"name\":\t\"Acme AV\",\n\t\"v\":\t[1, 2]\n}", R"({"name":"Acme AV","v":[1,2]})"},
        {R"({"protection":"on"})", R"({"protection":"on"})"},
        {"not json {", "not json {"},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stored);
        health_facts_t f = Product(1, c.stored, 1);
        f.detail = c.stored;
        bus_props_t p;
        bus_props_from_facts(f, p);
        EXPECT_EQ(c.shown, p.detail);
        EXPECT_EQ(c.shown, p.status);
    }
}

TEST(BusProps, ChangedNamesOnlyWhatDiffers) {
    bus_props_t a;
    bus_props_from_facts(Product(1, R"({"protection":"on"})", 10), a);
    EXPECT_TRUE(bus_props_changed(a, a).empty());
    bus_props_t b;
    bus_props_from_facts(Product(1, R"({"protection":"on"})", 11), b);
    ASSERT_EQ(bus_props_changed(a, b), std::vector<bus_prop_t>{kBusPropLastReport});
    bus_props_from_facts(Product(0, R"({"protection":"on"})", 10), b);
    EXPECT_EQ(bus_props_changed(a, b), (std::vector<bus_prop_t>{kBusPropVerdict, kBusPropReasons,
                                                                kBusPropAlive, kBusPropCodes}));
    bus_props_t none;
    EXPECT_EQ(bus_props_changed(a, none).size(), 9u);  // all but DefaultProduct
}

// A product reporting the same status every second must not put a signal a
// second on the system bus; anything else goes out at once.
TEST(BusProps, LastReportAloneIsSignalledAtMostOncePerInterval) {
    const int64_t kMin = kBusLastReportMinIntervalMs;
    using V = std::vector<bus_prop_t>;
    struct Case {
        const char *name;
        V changed;
        int64_t since;  // since the last signal carrying LastReport, -1 none
        bool send;
        int64_t recheck;
    };
    const Case cases[] = {
        {"nothing changed", {}, 5, false, -1},
        {"nothing changed, none sent yet", {}, -1, false, -1},
        {"LastReport alone, the first", {kBusPropLastReport}, -1, true, -1},
        {"LastReport alone, just sent", {kBusPropLastReport}, 0, false, kMin},
        {"LastReport alone, a second later", {kBusPropLastReport}, 1000, false, kMin - 1000},
        {"LastReport alone, a millisecond short", {kBusPropLastReport}, kMin - 1, false, 1},
        {"LastReport alone, the interval passed", {kBusPropLastReport}, kMin, true, -1},
        {"LastReport alone, long after", {kBusPropLastReport}, 10 * kMin, true, -1},
        {"with Status", {kBusPropStatus, kBusPropLastReport}, 1000, true, -1},
        {"with Verdict", {kBusPropVerdict, kBusPropReasons, kBusPropLastReport}, 0, true, -1},
        {"Status alone", {kBusPropStatus}, 1000, true, -1},
        {"Alive alone", {kBusPropAlive}, 0, true, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bus_emit_plan_t plan = bus_props_plan(c.changed, c.since);
        EXPECT_EQ(plan.send, c.send);
        EXPECT_EQ(plan.recheck_ms, c.recheck);
    }
}

TEST(BusProps, TextIsMadeValidUtf8) {
    const std::string r = "\xef\xbf\xbd";
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"", ""},
        {"plain ascii", "plain ascii"},
        {"K\xc3\xa4sekrainer \xe2\x82\xac \xf0\x9f\x9b\xa1",
         "K\xc3\xa4sekrainer \xe2\x82\xac \xf0\x9f\x9b\xa1"},
        {std::string("a\0b", 3), "a" + r + "b"},
        {"\xff", r},
        {"x\xc3", "x" + r},                   // cut short
        {"\xc0\xaf", r + r},                  // overlong
        {"\xed\xa0\x80", r + r + r},          // a surrogate
        {"\xf4\x90\x80\x80", r + r + r + r},  // past U+10FFFF
        {"ok\x80ok", "ok" + r + "ok"},        // a lone continuation byte
    };
    for (const Case &c : cases) EXPECT_EQ(bus_utf8(c.in), c.out) << c.in;
}

TEST(BusProps, InvalidTextInTheFactsIsRepairedEverywhere) {
    health_facts_t f = Product(1, "{\"protection\":\"o\xff\"}", 1);
    f.uuid = "av-\xfe";
    f.name = "Bad\xc0 AV";
    bus_props_t p;
    bus_props_from_facts(f, p);
    for (const std::string *s : {&p.active_product, &p.active_product_name, &p.status})
        EXPECT_EQ(bus_utf8(*s), *s);
    ASSERT_FALSE(p.reasons.empty());
    for (const std::string &reason : p.reasons) EXPECT_EQ(bus_utf8(reason), reason);
    EXPECT_EQ(p.verdict, "at-risk");
}

}  // namespace
