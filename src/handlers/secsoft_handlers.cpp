// Requests of security products: register, unregister, status update and
// detail update, with the arbitration of the built-in default product.
// A handler never sends: it returns the notifications the request causes
// in the packet, in order (1504 then 1500 for a registration; 1502, 1503,
// 1501 for an unregistration), and the connection core sends them before
// the reply. Every store result is looked at: a failed write answers 1 and
// posts nothing, and the store undoes the request's other writes.
#include <cjson/cJSON.h>
#include <string.h>

#include "access/access_policy.h"
#include "config/daemon_config.h"
#include "handlers/handler_util.h"
#include "handlers/handlers.h"
#include "handlers/liveness.h"
#include "peer/peer.h"
#include "proto/codec/json.h"
#include "proto/notify.h"

#define LOG Singleton<MyLog>::Instance()->Write

using Notices = std::vector<mox_notice_t>;

namespace {

void post(Notices &out, const std::string &uuid, int type, const std::string &data) {
    out.push_back(mox_notice_t{uuid, type, data});
}

bool failed(MoxResult rc) {
    return rc == kMoxFailed || rc == kMoxNoMemory;
}

}  // namespace

// Reads "name" and "exec" out of a detail body: kProtoOk, or kProtoBadInput.
int secsoft_detail_decode(const std::string &text, CSecSoftInfo &info) {
    JsonPtr root(cJSON_ParseWithLength(text.data(), text.size()));
    if (root == nullptr) return kProtoBadInput;
    int rc = get_proto_json_string(info.name, root.get(), "name");
    if (rc == 0) rc = get_proto_json_string(info.exec, root.get(), "exec");
    return rc;
}

std::string secsoft_default_detail(const std::string &text) {
    JsonPtr sent(cJSON_ParseWithLength(text.data(), text.size()));
    if (!cJSON_IsObject(sent.get())) return text;
    const daemon_config_t &settings = daemon_config_current();
    JsonPtr out(cJSON_CreateObject());
    if (out == nullptr ||
        cJSON_AddStringToObject(out.get(), "name", settings.default_name.c_str()) == nullptr ||
        cJSON_AddStringToObject(out.get(), "exec", settings.default_exec.c_str()) == nullptr)
        return text;
    // Every "name" and "exec" goes, not just the first: a reader that takes
    // the last of a repeated key must see the configured one too.
    while (cJSON *member = sent->child) {
        cJSON_DetachItemViaPointer(sent.get(), member);
        if (strcmp(member->string, "name") == 0 || strcmp(member->string, "exec") == 0)
            cJSON_Delete(member);
        else
            cJSON_AddItemToObject(out.get(), member->string, member);
    }
    std::string printed;
    return json_print_compact(out.get(), printed) ? printed : text;
}

// The record of a default product registration or update: the program and
// name are the configured ones, whatever the body said.
static void take_default_settings(CSecSoftInfo &info) {
    const daemon_config_t &settings = daemon_config_current();
    if (info.exec != settings.default_exec)
        LOG(WARNING, "default sec-soft sent exec %s,the configured %s is kept", info.exec.c_str(),
            settings.default_exec.c_str());
    info.name = settings.default_name;
    info.exec = settings.default_exec;
    info.secsoft = secsoft_default_detail(info.secsoft);
}

bool secsoft_default_settings_apply() {
    CSecSoftInfo def;
    const MoxResult rc = store()->GetDefSecSoft(def);
    // Not installed, or nothing stored to correct.
    if (rc == kMoxNotFound || (rc == kMoxOk && (def.status == 0 || def.secsoft.empty())))
        return true;
    if (rc != kMoxOk) return false;
    const std::string detail = secsoft_default_detail(def.secsoft);
    const daemon_config_t &settings = daemon_config_current();
    if (detail == def.secsoft && def.name == settings.default_name &&
        def.exec == settings.default_exec)
        return true;
    LOG(INFO, "default sec-soft stored with exec %s,now the configured %s", def.exec.c_str(),
        settings.default_exec.c_str());
    def.name = settings.default_name;
    def.exec = settings.default_exec;
    def.secsoft = detail;
    return store()->SetDefSecSoft(def) == kMoxOk;
}

// A register or update: true with the record built from the body when the
// type and the body are right; otherwise `result` says why
// (KORVANE_RESULT_WRONG_TYPE or KORVANE_RESULT_BAD_BODY).
static bool take_detail(mox_packet_t &packet, uint32_t type, int status, CSecSoftInfo &info) {
    info.uuid = packet.uuid;
    if (packet.type != type) {
        packet.result = KORVANE_RESULT_WRONG_TYPE;
        return false;
    }
    if (packet.data.empty() || secsoft_detail_decode(packet.data, info) != kProtoOk) {
        packet.result = KORVANE_RESULT_BAD_BODY;
        return false;
    }
    info.secsoft = packet.data;
    if (info.uuid == kDefSecSoftUuid) take_default_settings(info);
    info.status = status;
    packet.result = KORVANE_RESULT_OK;
    return true;
}

enum class DefaultMove { kStop, kStart };

// What moving the default product came to.
enum class Moved {
    kNone,    // nothing to tell (logged why)
    kTell,    // recorded; the front UIs are to be told with `def`
    kFailed,  // the store failed to record it
};

// Records the new state of the default product, "stopped" (3) or "started"
// (2), when it changes and a front UI is there to act on it. Each
// direction has its own log lines.
static Moved move_default(DefaultMove move, CSecSoftInfo &def) {
    const bool stop = move == DefaultMove::kStop;
    const int status = stop ? 3 : 2;
    MoxResult rc = store()->GetDefSecSoft(def);
    if (rc != kMoxOk) {
        if (stop)
            LOG(ERROR, "try stop default-sec-soft failed,get default-secsoft failed,rc: %d", rc);
        else
            LOG(ERROR, "try start default-sec-soft failed,get default-secsoft failed,rc: %d", rc);
        return Moved::kNone;
    }
    if (def.status == status) {
        if (stop)
            LOG(INFO, "default-secsoft %s has been stopped,so we don't do it again",
                def.name.c_str());
        else
            LOG(INFO, "default-secsoft %s has been started,so we don't do it again",
                def.name.c_str());
        return Moved::kNone;
    }
    CFrontUIInfo fui;
    rc = store()->Get(fui);
    if (rc != kMoxOk) {
        if (stop)
            LOG(ERROR, "try stop default-sec-soft failed,,get FrontUI-Info failed,rc: %d", rc);
        else
            LOG(ERROR, "try start default-sec-soft failed,get FrontUI-Info failed,rc: %d", rc);
        return Moved::kNone;
    }
    def.status = status;
    rc = store()->SetDefSecSoft(def);
    if (rc != kMoxOk) {
        LOG(ERROR, "%s default-sec-soft failed,record its state failed,rc: %d",
            stop ? "stop" : "start", rc);
        return Moved::kFailed;
    }
    if (def.secsoft.empty()) {
        if (stop)
            LOG(ERROR,
                "send default-secsoft stop notify failed,the default sec-soft info is empty,"
                "uuid: %s,name: %s",
                def.uuid.c_str(), def.name.c_str());
        else
            LOG(ERROR,
                "send default-secsoft start notify failed,the default sec-soft info is empty,"
                "uuid: %s,name: %s",
                def.uuid.c_str(), def.name.c_str());
        return Moved::kNone;
    }
    return Moved::kTell;
}

// False when the store failed.
static bool stop_default_secsoft(Notices &out) {
    CSecSoftInfo def;
    Moved moved = move_default(DefaultMove::kStop, def);
    if (moved == Moved::kTell)
        post(out, def.uuid, KORVANE_NOTIFY_STOP_DEFAULT, secsoft_default_detail(def.secsoft));
    return moved != Moved::kFailed;
}

// After a product left: 1502 for it, then, when no other product stays
// current, the default product is told to start (1503, and 1501 with its
// status). A product that was stored but not current (it got 501) leaves
// the current one alone. False when the store failed.
static bool start_default_secsoft(const std::string &uuid, Notices &out) {
    const std::string current = store()->CurrentSecSoft();
    const bool stays = current != kDefSecSoftUuid;
    if (stays)
        LOG(INFO, "sec-soft uuid: %s unregistered,sec-soft %s stays active", uuid.c_str(),
            current.c_str());
    else
        LOG(INFO, "sec-soft uuid: %s unregistered,so start default sec-soft", uuid.c_str());
    post(out, uuid, KORVANE_NOTIFY_UNREGISTER, std::string());
    if (stays) return true;
    CSecSoftInfo def;
    Moved moved = move_default(DefaultMove::kStart, def);
    if (moved == Moved::kTell) {
        // Started anew: its status from before it was stopped no longer
        // counts toward the verdict.
        if (store()->MarkSecSoftStarted(def.uuid) != kMoxOk) return false;
        post(out, def.uuid, KORVANE_NOTIFY_START_DEFAULT, secsoft_default_detail(def.secsoft));
        if (!def.secstat.empty()) post(out, def.uuid, KORVANE_NOTIFY_SECSTAT, def.secstat);
    }
    return moved != Moved::kFailed;
}

void secsoft_unregister_lost(const std::string &uuid) {
    const bool current = store()->CurrentSecSoft() == uuid;
    Notices out;
    store()->BeginRequest();
    MoxResult cleaned = store()->CleanSecInfo(uuid);
    bool ok = cleaned == kMoxOk;
    // The front UIs never heard of a product that was not current.
    if (ok && current) ok = start_default_secsoft(uuid, out);
    if (store()->EndRequest() == kMoxFailed) ok = false;
    liveness_secsoft_removed(uuid);
    if (!ok) {
        LOG(ERROR, "unregister lost sec-soft %s failed,rc: %d", uuid.c_str(), cleaned);
        return;
    }
    mox_post_notices(out);
    liveness_default_follow();
}

// Binds the uuid to who registered it: its uid, and its program when only
// an `executables` entry lets it speak as a product. A caller without a
// connection (inside the daemon) binds nothing. False when the store failed.
static bool bind_owner(const mox_packet_t &packet) {
    const net_peer_t *peer = packet.peer;
    if (peer == nullptr) return true;
    const access_policy_t &policy = access_policy_current();
    CSecSoftOwner owner;
    owner.uuid = packet.uuid;
    owner.uid = peer->uid;
    const access_list_t &admits =
        packet.uuid == kDefSecSoftUuid ? policy.default_product : policy.products;
    if (!access_unchecked(peer, policy) && !access_listed_by_id(admits, *peer) &&
        peer->exe != nullptr)
        owner.exe = peer->exe;
    return store()->SetSecSoftOwner(owner) == kMoxOk;
}

// Stores a registration (or the detail of a product never registered) and
// arbitrates: the new active product stops the default one; the default
// product registering while another is active is stopped too. Sets the
// result and the notifications.
static MoxResult register_product(mox_packet_t &packet, const CSecSoftInfo &info) {
    const bool is_default = info.uuid == kDefSecSoftUuid;
    MoxResult upgraded = store()->Upgrade(info);
    if (upgraded == kMoxDbOnly)
        packet.result = KORVANE_RESULT_NOT_ACTIVE;
    else if (upgraded != kMoxOk)
        packet.result = KORVANE_RESULT_FAILED;
    const bool stored = upgraded == kMoxOk || upgraded == kMoxDbOnly;
    // A registration is a start: what it reported before speaks of an
    // earlier run.
    bool ok = !stored || (bind_owner(packet) && store()->MarkSecSoftStarted(info.uuid) == kMoxOk);
    if (!ok) {
        LOG(ERROR, "sec-soft %s registered,record its owner failed", info.uuid.c_str());
    } else if (upgraded == kMoxOk && !is_default) {
        LOG(INFO, "new sec-soft %s,uuid: %s registered,so stop default sec-soft", info.name.c_str(),
            info.uuid.c_str());
        ok = stop_default_secsoft(packet.notices);
    } else if (upgraded == kMoxDbOnly && is_default) {
        LOG(INFO, "default sec-soft %s registered while sec-soft %s is active,so stop it",
            info.name.c_str(), store()->CurrentSecSoft().c_str());
        ok = stop_default_secsoft(packet.notices);
    }
    if (!ok) {
        packet.result = KORVANE_RESULT_FAILED;
        packet.notices.clear();
        return kMoxFailed;
    }
    if (upgraded == kMoxOk) post(packet.notices, info.uuid, KORVANE_NOTIFY_SECSOFT, info.secsoft);
    return upgraded;
}

int secsoft_register_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secSoft register,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    CSecSoftInfo info;
    MoxResult upgraded = kMoxFailed;
    if (take_detail(packet, KORVANE_REQ_SECSOFT_REGISTER, 1, info))
        upgraded = register_product(packet, info);
    int rc = log_reply(encode_resp_final(packet), packet, "secSoft register", "secSoft register");
    if (upgraded == kMoxOk || upgraded == kMoxDbOnly) liveness_secsoft_registered(info);
    return rc;
}

int secsoft_unregister_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secSoft unregister,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    MoxResult cleaned = store()->CleanSecInfo(packet.uuid);
    if (cleaned == kMoxOk)
        packet.result = KORVANE_RESULT_OK;
    else if (cleaned == kMoxNotFound)
        packet.result = KORVANE_RESULT_NOT_REGISTERED;
    else
        packet.result = KORVANE_RESULT_FAILED;
    if (cleaned == kMoxOk && packet.uuid != kDefSecSoftUuid &&
        !start_default_secsoft(packet.uuid, packet.notices)) {
        packet.result = KORVANE_RESULT_FAILED;
        packet.notices.clear();
    }
    if (packet.result == KORVANE_RESULT_OK) liveness_secsoft_removed(packet.uuid);
    return log_reply(encode_resp_final(packet), packet, "secSoft unregister", "secSoft unregister");
}

int secstat_update_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secStat update,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    if (packet.type != KORVANE_REQ_SECSTAT_UPDATE) {
        packet.result = KORVANE_RESULT_WRONG_TYPE;
    } else if (packet.data.empty()) {
        packet.result = KORVANE_RESULT_BAD_BODY;
    } else {
        CSecStatInfo stat;
        stat.uuid = packet.uuid;
        stat.secstat = packet.data;
        MoxResult upgraded = store()->Upgrade(stat);
        // Stored on a product that is not active still counts as done.
        if (upgraded == kMoxOk || upgraded == kMoxDbOnly) {
            packet.result = failed(store()->RecordSecStatReport(packet.uuid))
                                ? KORVANE_RESULT_FAILED
                                : KORVANE_RESULT_OK;
            if (upgraded == kMoxOk && packet.result == KORVANE_RESULT_OK)
                post(packet.notices, packet.uuid, KORVANE_NOTIFY_SECSTAT, packet.data);
        } else if (upgraded == kMoxNotFound) {
            packet.result = KORVANE_RESULT_NO_SECSOFT;
        } else {
            packet.result = KORVANE_RESULT_FAILED;
        }
    }
    return log_reply(encode_resp_final(packet), packet, "secStat update", "secStat update");
}

int secsoft_update_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secSoft update,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    CSecSoftInfo info;
    MoxResult upgraded = kMoxFailed;
    if (take_detail(packet, KORVANE_REQ_SECSOFT_UPDATE, 2, info)) {
        if (!store()->SecSoftValid(info.uuid)) {
            // Never registered: arbitrated as a registration is, so that it
            // never runs beside the active product unannounced.
            LOG(INFO, "secSoft update from uuid: %s,which is not registered,taken as a register",
                info.uuid.c_str());
            info.status = 1;
            upgraded = register_product(packet, info);
        } else {
            upgraded = store()->Upgrade(info);
            if (upgraded != kMoxOk && upgraded != kMoxDbOnly) packet.result = KORVANE_RESULT_FAILED;
            // No arbitration on an update.
            if (upgraded == kMoxOk)
                post(packet.notices, packet.uuid, KORVANE_NOTIFY_SECSOFT, info.secsoft);
        }
    }
    int rc = log_reply(encode_resp_final(packet), packet, "secSoft update", "secSoft update");
    if (upgraded == kMoxOk || upgraded == kMoxDbOnly) liveness_secsoft_registered(info);
    return rc;
}
