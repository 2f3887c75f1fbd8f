#include "korvane-notify/notify_text.h"

#include <libintl.h>
#include <string.h>

namespace {

const char *tr(const char *text) {
    return dgettext(kNotifyTextDomain, text);
}

// A translated template with "%s" (at most one) replaced by `product`; the
// product's name is never read as a format.
std::string fill(const char *templ, const std::string &product) {
    std::string out = tr(templ);
    const size_t at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, product);
    return out;
}

struct Reason {
    const char *code;
    const char *text;  // marked for xgettext by the N_ below
};

#define N_(text) text

// The codes of docs/protocol.md's table, each with what a person needs.
const Reason kReasons[] = {
    {"product.none", N_("No security product is active.")},
    {"default.stopped", N_("No security product is active, and the built-in one was stopped.")},
    {"protection.not-on", N_("%s reports that its protection is off.")},
    {"protection.not-text", N_("%s reports its protection in a way that cannot be read.")},
    {"signatures.out-of-date", N_("%s reports that its virus signatures are out of date.")},
    {"product.not-running-past-grace", N_("%s is not running.")},
    {"product.not-running", N_("%s has stopped running.")},
    {"status.none", N_("%s has not reported its state yet.")},
    {"status.before-start", N_("%s has not reported its state since it started.")},
    {"status.no-protection", N_("%s does not report whether it protects.")},
    {"protection.on", N_("%s reports that its protection is on.")},
    {"product.not-watched", N_("Whether %s is running cannot be checked.")},
};

// A product names itself: its name and the daemon's reasons that quote it
// stay on one line, so that no text can pose as a line of our own.
std::string one_line(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return out;
}

}  // namespace

std::string notify_reason(const std::string &code, const std::string &product) {
    for (const Reason &r : kReasons)
        if (code == r.code) return fill(r.text, product);
    return "";
}

notify_text_t notify_text(notify_kind kind, const notify_facts_t &f) {
    notify_text_t out;
    out.summary = kind == notify_kind::kNotSafe ? tr("Your computer is not protected")
                                                : tr("Your computer is protected again");
    const std::string name = one_line(f.product_name);
    const std::string product = name.empty() ? tr("The security product") : name;
    for (size_t i = 0; i < f.reasons.size() || i < f.codes.size(); ++i) {
        std::string line = i < f.codes.size() ? notify_reason(f.codes[i], product) : "";
        if (line.empty() && i < f.reasons.size()) line = one_line(f.reasons[i]);
        if (line.empty()) continue;
        out.body += (out.body.empty() ? "" : "\n") + line;
    }
    if (!name.empty())
        out.body += (out.body.empty() ? "" : "\n") + fill(N_("Security product: %s"), name);
    return out;
}
