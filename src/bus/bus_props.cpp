#include "bus/bus_props.h"

const char *const kBusPropNames[kBusPropCount] = {
    "Verdict", "Reasons", "ActiveProduct", "ActiveProductName", "Detail",
    "Status",  "Alive",   "LastReport",    "DefaultProduct",
};

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 (RFC 3629: no overlong
// forms, no surrogates, nothing past U+10FFFF).
size_t utf8_sequence(const std::string &s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c >= 0x01 && c <= 0x7f) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0) lo = 0xa0;
        if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
    return n;
}

}  // namespace

std::string bus_utf8(const std::string &text) {
    size_t i = 0;
    while (i < text.size()) {
        size_t n = utf8_sequence(text, i);
        if (n == 0) break;
        i += n;
    }
    if (i == text.size()) return text;
    std::string out(text, 0, i);
    while (i < text.size()) {
        size_t n = utf8_sequence(text, i);
        if (n == 0) {
            out += "\xef\xbf\xbd";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

void bus_props_from_facts(const health_facts_t &f, bus_props_t &out) {
    out = bus_props_t();
    health_verdict_t v = health_judge(f);
    out.verdict = v.verdict;
    for (const std::string &reason : v.reasons) out.reasons.push_back(bus_utf8(reason));
    if (f.default_state == 2) out.default_product = "started";
    if (f.default_state == 3) out.default_product = "stopped";
    if (!f.has_product) return;
    out.active_product = bus_utf8(f.uuid);
    out.active_product_name = bus_utf8(f.name);
    out.detail = bus_utf8(f.detail);
    out.status = bus_utf8(f.secstat);
    out.alive = f.alive < 0 ? "unwatched" : f.alive == 1 ? "yes" : "no";
    out.last_report = f.last_report > 0 ? static_cast<uint64_t>(f.last_report) : 0;
}

void bus_props_read(bus_props_t &out) {
    health_facts_t facts;
    health_gather(facts);
    bus_props_from_facts(facts, out);
}

std::vector<bus_prop_t> bus_props_changed(const bus_props_t &a, const bus_props_t &b) {
    std::vector<bus_prop_t> changed;
    const bool differs[kBusPropCount] = {
        a.verdict != b.verdict,
        a.reasons != b.reasons,
        a.active_product != b.active_product,
        a.active_product_name != b.active_product_name,
        a.detail != b.detail,
        a.status != b.status,
        a.alive != b.alive,
        a.last_report != b.last_report,
        a.default_product != b.default_product,
    };
    for (int i = 0; i < kBusPropCount; ++i)
        if (differs[i]) changed.push_back(static_cast<bus_prop_t>(i));
    return changed;
}
