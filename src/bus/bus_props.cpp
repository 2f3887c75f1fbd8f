#include "bus/bus_props.h"

#include <cjson/cJSON.h>

#include "proto/codec/json.h"
#include "proto/codec/utf8.h"

const char *const kBusPropNames[kBusPropCount] = {
    "Verdict", "Reasons", "ActiveProduct", "ActiveProductName", "Detail",
    "Status",  "Alive",   "LastReport",    "DefaultProduct",    "Codes",
};

namespace {

// D-Bus strings hold valid UTF-8 and no zero byte.
size_t bus_char_length(const std::string &s, size_t i) {
    return s[i] == '\0' ? 0 : utf8_sequence_length(s, i);
}

}  // namespace

// The store keeps a product's detail and status as the daemon printed them
// (tabs and newlines); the bus gives them as one line. Text that does not
// parse goes as it is.
std::string bus_json_compact(const std::string &text) {
    if (text.empty()) return text;
    JsonPtr tree(cJSON_ParseWithLength(text.data(), text.size()));
    std::string out;
    if (tree == nullptr || !json_print_compact(tree.get(), out)) return text;
    return out;
}

std::string bus_utf8(const std::string &text) {
    size_t i = 0;
    while (i < text.size()) {
        size_t n = bus_char_length(text, i);
        if (n == 0) break;
        i += n;
    }
    if (i == text.size()) return text;
    std::string out(text, 0, i);
    while (i < text.size()) {
        size_t n = bus_char_length(text, i);
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
    out.codes.assign(v.codes.begin(), v.codes.end());
    if (f.default_state == 2) out.default_product = "started";
    if (f.default_state == 3) out.default_product = "stopped";
    if (!f.has_product) return;
    out.active_product = bus_utf8(f.uuid);
    out.active_product_name = bus_utf8(f.name);
    out.detail = bus_utf8(bus_json_compact(f.detail));
    out.status = bus_utf8(bus_json_compact(f.secstat));
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
        a.codes != b.codes,
    };
    for (int i = 0; i < kBusPropCount; ++i)
        if (differs[i]) changed.push_back(static_cast<bus_prop_t>(i));
    return changed;
}

bus_emit_plan_t bus_props_plan(const std::vector<bus_prop_t> &changed, int64_t since_report_ms) {
    bus_emit_plan_t plan;
    if (changed.empty()) return plan;
    const bool report_only = changed.size() == 1 && changed[0] == kBusPropLastReport;
    if (!report_only || since_report_ms < 0 || since_report_ms >= kBusLastReportMinIntervalMs) {
        plan.send = true;
        return plan;
    }
    plan.recheck_ms = kBusLastReportMinIntervalMs - since_report_ms;
    return plan;
}
