// korvane-notify's decisions, one row per sequence a desktop lives through:
// the verdicts the daemon gives (or its absence), what could be shown, and
// what the person must be told at each step. Texts: each reason code in
// English, German and Chinese, an unknown code by the daemon's reason, and
// a product's name that tries to pose as lines of our own.
#include <gtest/gtest.h>
#include <libintl.h>
#include <locale.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "korvane-notify/notify_state.h"
#include "korvane-notify/notify_text.h"

extern "C" int _nl_msg_cat_cntr;

namespace {

notify_facts_t Facts(const std::string &verdict) {
    notify_facts_t f;
    f.verdict = verdict;
    f.product_name = "Acme AV";
    if (verdict == "protected") {
        f.codes = {"protection.on"};
        f.reasons = {"Acme AV reports protection on"};
    } else {
        f.codes = {"product.not-running-past-grace"};
        f.reasons = {"Acme AV is not running"};
    }
    return f;
}

// One step: "P" protected, "R" at-risk, "U" unknown, "-" the daemon went
// away, "!" the last notification could not be shown (no server), "+" a
// server appeared. `told` is what is shown at that step: "" nothing,
// "not" the critical one, "again" the normal one.
struct Step {
    const char *event;
    const char *told;
};

struct Row {
    const char *name;
    std::vector<Step> steps;
};

const Row kRows[] = {
    {"protected from the start: silence", {{"P", ""}, {"P", ""}}},
    {"at risk at start: once", {{"R", "not"}, {"R", ""}}},
    {"unknown at start: once", {{"U", "not"}}},
    {"protected, then at risk, then back", {{"P", ""}, {"R", "not"}, {"P", "again"}}},
    {"at-risk and unknown are one state", {{"P", ""}, {"R", "not"}, {"U", ""}, {"R", ""}}},
    {"daemon restart, same verdict: no repeat", {{"R", "not"}, {"-", ""}, {"R", ""}}},
    {"daemon restart, protected meanwhile", {{"R", "not"}, {"-", ""}, {"P", "again"}}},
    {"daemon away, then back at risk", {{"P", ""}, {"-", ""}, {"R", "not"}}},
    {"no server: owed until one appears", {{"P", ""}, {"R", "!"}, {"+", "not"}, {"+", ""}}},
    {"no server, and protected again before it appears", {{"P", ""}, {"R", "!"}, {"P", ""}}},
};

TEST(NotifyState, WhatThePersonIsTold) {
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        NotifyState s;
        uint32_t next_id = 7;
        uint32_t not_safe_id = 0;
        for (size_t i = 0; i < row.steps.size(); ++i) {
            const Step &step = row.steps[i];
            SCOPED_TRACE(std::to_string(i) + ": " + step.event);
            const std::string e = step.event;
            if (e == "-") {
                s.Forget();
            } else if (e == "P" || e == "R" || e == "U") {
                s.Update(Facts(e == "P" ? "protected" : e == "R" ? "at-risk" : "unknown"));
            }
            const notify_kind kind = s.Pending();
            const std::string told = step.told;
            if (told == "!") {
                EXPECT_NE(kind, notify_kind::kNone);
                continue;  // not shown: nothing recorded
            }
            const std::string got = kind == notify_kind::kNotSafe     ? "not"
                                    : kind == notify_kind::kSafeAgain ? "again"
                                                                      : "";
            EXPECT_EQ(told, got);
            if (kind == notify_kind::kSafeAgain) {
                EXPECT_EQ(not_safe_id, s.ReplacesId());
            }
            if (kind != notify_kind::kNone) {
                if (kind == notify_kind::kNotSafe) not_safe_id = next_id;
                s.Shown(kind, next_id++);
            }
            EXPECT_EQ(notify_kind::kNone, s.Pending()) << "told once";
        }
    }
}

// Update says whether anything the person could be shown changed.
TEST(NotifyState, UpdateTellsAChange) {
    NotifyState s;
    EXPECT_TRUE(s.Update(Facts("protected")));
    EXPECT_FALSE(s.Update(Facts("protected")));
    notify_facts_t renamed = Facts("protected");
    renamed.product_name = "Acme AV 2";
    EXPECT_TRUE(s.Update(renamed));
    s.Forget();
    EXPECT_TRUE(s.Update(renamed)) << "after the daemon was away";
}

class NotifyText : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, setlocale(LC_ALL, "C.UTF-8"));
        bindtextdomain(kNotifyTextDomain, VK_BUILD_DIR "/locale");
        bind_textdomain_codeset(kNotifyTextDomain, "UTF-8");
    }
    void TearDown() override { unsetenv("LANGUAGE"); }
    static void Language(const char *lang) {
        setenv("LANGUAGE", lang, 1);
        // gettext keeps what it looked up until told the catalogues changed.
        ++_nl_msg_cat_cntr;
    }
};

TEST_F(NotifyText, EveryCodeInEachLanguage) {
    struct Case {
        const char *lang, *code, *text;
    };
    const Case cases[] = {
        {"en", "product.none", "No security product is active."},
        {"en", "protection.not-on", "Acme AV reports that its protection is off."},
        {"en", "product.not-running-past-grace", "Acme AV is not running."},
        {"de", "product.not-running-past-grace", "Acme AV läuft nicht."},
        {"de", "signatures.out-of-date", "Acme AV meldet veraltete Virensignaturen."},
        {"zh_CN", "product.not-running-past-grace", "Acme AV 未在运行。"},
        {"zh_CN", "protection.on", "Acme AV 报告其防护已开启。"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.lang) + " " + c.code);
        Language(c.lang);
        EXPECT_EQ(c.text, notify_reason(c.code, "Acme AV"));
    }
    // Every code the daemon documents has a text.
    Language("en");
    for (const char *code :
         {"product.none", "default.stopped", "protection.not-on", "protection.not-text",
          "signatures.out-of-date", "product.not-running-past-grace", "product.not-running",
          "status.none", "status.before-start", "status.no-protection", "protection.on",
          "product.not-watched"})
        EXPECT_NE("", notify_reason(code, "X")) << code;
    EXPECT_EQ("", notify_reason("product.from-the-future", "X"));
}

TEST_F(NotifyText, WholeNotification) {
    notify_facts_t f = Facts("at-risk");
    f.codes.push_back("product.from-the-future");
    f.reasons.push_back("Acme AV does something new");
    Language("zh_CN");
    notify_text_t t = notify_text(notify_kind::kNotSafe, f);
    EXPECT_EQ("您的计算机未受保护", t.summary);
    // An unknown code: the daemon's English reason.
    EXPECT_EQ("Acme AV 未在运行。\nAcme AV does something new\n安全软件：Acme AV", t.body);

    Language("de");
    t = notify_text(notify_kind::kSafeAgain, Facts("protected"));
    EXPECT_EQ("Ihr Computer ist wieder geschützt", t.summary);
    EXPECT_EQ("Acme AV meldet, dass sein Schutz eingeschaltet ist.\nSicherheitssoftware: Acme AV",
              t.body);

    // No product: no product line, and no empty name in a sentence.
    Language("en");
    notify_facts_t none;
    none.verdict = "unknown";
    none.codes = {"product.none"};
    none.reasons = {"no security product is active"};
    t = notify_text(notify_kind::kNotSafe, none);
    EXPECT_EQ("Your computer is not protected", t.summary);
    EXPECT_EQ("No security product is active.", t.body);
}

// A product's name is its own choice: it stays one line, and "%s" or
// "%n" in it are text.
TEST_F(NotifyText, ProductNameIsPlainText) {
    Language("en");
    notify_facts_t f = Facts("at-risk");
    f.product_name = "Evil %s%n\nYour computer is protected again";
    f.codes.push_back("product.from-the-future");
    f.reasons.push_back("line\nbreak");
    const notify_text_t t = notify_text(notify_kind::kNotSafe, f);
    EXPECT_EQ(
        "Evil %s%n Your computer is protected again is not running.\nline break\n"
        "Security product: Evil %s%n Your computer is protected again",
        t.body);
}

}  // namespace
