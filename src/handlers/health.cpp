// Rules of the protection verdict, in order:
// - no current product: at risk when the default product was told to stop
//   (nothing protects), otherwise unknown;
// - the current product reports protection other than "on", or
//   "signatures": "out-of-date": at risk;
// - its program is watched and not running, or it has reported no
//   protection: unknown;
// - otherwise protected.
#include "handlers/health.h"

#include <cjson/cJSON.h>

#include "handlers/handler_util.h"
#include "handlers/handlers.h"
#include "handlers/liveness.h"
#include "proto/codec/json.h"

namespace {

// What the status text says of "protection" and "signatures".
struct Reported {
    bool protection_given = false;  // the member is there, whatever its type
    bool has_protection = false;
    std::string protection;
    bool has_signatures = false;
    std::string signatures;
};

Reported read_status(const std::string &secstat) {
    Reported r;
    if (secstat.empty()) return r;
    JsonPtr root(cJSON_ParseWithLength(secstat.data(), secstat.size()));
    if (root == nullptr || !cJSON_IsObject(root.get())) return r;
    const cJSON *p = cJSON_GetObjectItemCaseSensitive(root.get(), "protection");
    r.protection_given = p != nullptr;
    if (cJSON_IsString(p)) {
        r.has_protection = true;
        r.protection = p->valuestring;
    }
    const cJSON *s = cJSON_GetObjectItemCaseSensitive(root.get(), "signatures");
    if (cJSON_IsString(s)) {
        r.has_signatures = true;
        r.signatures = s->valuestring;
    }
    return r;
}

void add_nullable_string(cJSON *obj, const char *key, bool has, const std::string &value) {
    if (has)
        cJSON_AddStringToObject(obj, key, value.c_str());
    else
        cJSON_AddNullToObject(obj, key);
}

}  // namespace

namespace {

// One reason: its stable code (docs/protocol.md lists them) and its text.
void reason(health_verdict_t &v, const char *code, const std::string &text) {
    v.codes.push_back(code);
    v.reasons.push_back(text);
}

}  // namespace

health_verdict_t health_judge(const health_facts_t &f) {
    health_verdict_t v;
    if (!f.has_product) {
        if (f.default_state == 3) {
            v.verdict = "at-risk";
            reason(v, "default.stopped",
                   "no security product is active and the default product was told to stop");
        } else {
            reason(v, "product.none", "no security product is active");
        }
        return v;
    }
    const std::string name = f.name.empty() ? f.uuid : f.name;
    // A status from before the latest start is not judged at all.
    Reported r = f.status_current ? read_status(f.secstat) : Reported();
    v.has_protection = r.has_protection;
    v.protection = r.protection;
    v.has_signatures = r.has_signatures;
    v.signatures = r.signatures;

    if (r.protection_given && !(r.has_protection && r.protection == "on")) {
        if (r.has_protection)
            reason(v, "protection.not-on", name + " reports protection " + r.protection);
        else
            reason(v, "protection.not-text", name + " reports protection that is not a text");
    }
    if (r.has_signatures && r.signatures == "out-of-date")
        reason(v, "signatures.out-of-date", name + " reports out-of-date signatures");
    // Past the grace nothing runs it, whatever it said before.
    if (f.overdue)
        reason(v, "product.not-running-past-grace",
               name + " is not running: no process of " + f.exec + " for the whole grace");
    if (!v.reasons.empty()) {
        v.verdict = "at-risk";
        return v;
    }
    if (f.alive == 0)
        reason(v, "product.not-running", name + " is not running: no process of " + f.exec);
    if (f.secstat.empty())
        reason(v, "status.none", name + " has reported no status");
    else if (!f.status_current)
        reason(v, "status.before-start", name + " has reported no status since it was started");
    else if (!r.protection_given)
        reason(v, "status.no-protection", name + " does not report its protection");
    if (!v.reasons.empty()) return v;

    v.verdict = "protected";
    reason(v, "protection.on", name + " reports protection on");
    if (f.alive < 0) reason(v, "product.not-watched", name + "'s program is not watched");
    return v;
}

std::string health_report(const health_facts_t &f) {
    health_verdict_t v = health_judge(f);
    JsonPtr obj(cJSON_CreateObject());
    if (obj == nullptr) return std::string();
    cJSON_AddStringToObject(obj.get(), "verdict", v.verdict);
    cJSON *reasons = cJSON_AddArrayToObject(obj.get(), "reasons");
    if (reasons != nullptr)
        for (const std::string &reason : v.reasons)
            cJSON_AddItemToArray(reasons, cJSON_CreateString(reason.c_str()));
    cJSON *codes = cJSON_AddArrayToObject(obj.get(), "codes");
    if (codes != nullptr)
        for (const char *code : v.codes) cJSON_AddItemToArray(codes, cJSON_CreateString(code));
    add_nullable_string(obj.get(), "product", f.has_product, f.uuid);
    add_nullable_string(obj.get(), "name", f.has_product, f.name);
    if (!f.has_product || f.alive < 0)
        cJSON_AddNullToObject(obj.get(), "alive");
    else
        cJSON_AddBoolToObject(obj.get(), "alive", f.alive == 1);
    add_nullable_string(obj.get(), "protection", v.has_protection, v.protection);
    add_nullable_string(obj.get(), "signatures", v.has_signatures, v.signatures);
    if (f.has_product && f.last_report > 0)
        cJSON_AddNumberToObject(obj.get(), "last_report", static_cast<double>(f.last_report));
    else
        cJSON_AddNullToObject(obj.get(), "last_report");
    add_nullable_string(obj.get(), "default", f.default_state == 2 || f.default_state == 3,
                        f.default_state == 2 ? "started" : "stopped");
    std::string out;
    if (!json_print_compact(obj.get(), out)) return std::string();
    return out;
}

namespace {
health_change_proc *s_change_hook = nullptr;
}

void health_set_change_hook(health_change_proc *hook) {
    s_change_hook = hook;
}

void health_facts_changed() {
    if (s_change_hook != nullptr) s_change_hook();
}

void health_gather(health_facts_t &f) {
    f = health_facts_t();
    CSecSoftInfo cur;
    const MoxResult got = store()->Get(cur);
    CSecSoftInfo def;
    if (store()->GetDefSecSoft(def) == kMoxOk && (def.status == 2 || def.status == 3))
        f.default_state = def.status;
    // The default record stands for a product once it registered itself or
    // was told to start; told to stop, nothing protects.
    if (got == kMoxOk && (cur.uuid != kDefSecSoftUuid || cur.status == 1 || cur.status == 2)) {
        f.has_product = true;
        f.uuid = cur.uuid;
        f.name = cur.name;
        f.exec = cur.exec;
        f.secstat = cur.secstat;
        f.detail = cur.secsoft;
        f.alive = liveness_secsoft_alive(cur.uuid);
        f.overdue = f.alive == 0 && liveness_secsoft_overdue(cur.uuid);
        CSecSoftState state;
        state.uuid = cur.uuid;
        if (store()->GetSecSoftState(state) != kMoxFailed) {
            f.last_report = state.last_report;
            f.status_current = state.reported_since_start;
        }
    }
}

int get_health_handle(mox_packet_t &packet, void *) {
    health_facts_t f;
    health_gather(f);
    std::string text = health_report(f);
    int rc;
    if (text.empty()) {
        packet.result = KORVANE_RESULT_FAILED;
        rc = encode_resp_final(packet);
    } else {
        packet.result = KORVANE_RESULT_OK;
        rc = encode_resp_data_obj(text, packet);
    }
    return log_reply(rc, packet, "health", "health");
}
