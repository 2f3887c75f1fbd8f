// Requests of security products: register, unregister, status update and
// detail update, with the arbitration of the built-in default product.
// Notifications always leave before the reply (the core writes the reply
// after the handler returns); the order is 1504 then 1500 for a
// registration, and 1502, 1503, 1501 for an unregistration.
#include <cjson/cJSON.h>

#include "handlers/handler_util.h"
#include "handlers/handlers.h"
#include "handlers/liveness.h"
#include "proto/codec/json.h"
#include "proto/notify.h"

#define LOG Singleton<MyLog>::Instance()->Write

// Reads "name" and "exec" out of a detail body: kProtoOk, or kProtoBadInput.
int secsoft_detail_decode(const std::string &text, CSecSoftInfo &info) {
    JsonPtr root(cJSON_ParseWithLength(text.data(), text.size()));
    if (root == nullptr) return kProtoBadInput;
    int rc = get_proto_json_string(info.name, root.get(), "name");
    if (rc == 0) rc = get_proto_json_string(info.exec, root.get(), "exec");
    return rc;
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
    info.status = status;
    packet.result = KORVANE_RESULT_OK;
    return true;
}

enum class DefaultMove { kStop, kStart };

// Records the new state of the default product, "stopped" (3) or "started"
// (2), when it changes and a front UI is there to act on it: true with the
// record when the front UIs are to be told. Each direction has its own log
// lines.
static bool move_default(DefaultMove move, CSecSoftInfo &def) {
    const bool stop = move == DefaultMove::kStop;
    const int status = stop ? 3 : 2;
    MoxResult rc = store()->GetDefSecSoft(def);
    if (rc != kMoxOk) {
        if (stop)
            LOG(ERROR, "try stop default-sec-soft failed,get default-secsoft failed,rc: %d", rc);
        else
            LOG(ERROR, "try start default-sec-soft failed,get default-secsoft failed,rc: %d", rc);
        return false;
    }
    if (def.status == status) {
        if (stop)
            LOG(INFO, "default-secsoft %s has been stopped,so we don't do it again",
                def.name.c_str());
        else
            LOG(INFO, "default-secsoft %s has been started,so we don't do it again",
                def.name.c_str());
        return false;
    }
    CFrontUIInfo fui;
    rc = store()->Get(fui);
    if (rc != kMoxOk) {
        if (stop)
            LOG(ERROR, "try stop default-sec-soft failed,,get FrontUI-Info failed,rc: %d", rc);
        else
            LOG(ERROR, "try start default-sec-soft failed,get FrontUI-Info failed,rc: %d", rc);
        return false;
    }
    def.status = status;
    store()->SetDefSecSoft(def);
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
        return false;
    }
    return true;
}

static void stop_default_secsoft(const CSecSoftInfo &info) {
    LOG(INFO, "new sec-soft %s,uuid: %s registered,so stop default sec-soft", info.name.c_str(),
        info.uuid.c_str());
    CSecSoftInfo def;
    if (move_default(DefaultMove::kStop, def))
        do_post_fui(def.uuid, KORVANE_NOTIFY_STOP_DEFAULT, def.secsoft);
}

// After a product left: 1502 for it, then, when no other product stays
// current, the default product is told to start (1503, and 1501 with its
// status). A product that was stored but not current (it got 501) leaves
// the current one alone.
static void start_default_secsoft(const std::string &uuid) {
    const std::string current = store()->CurrentSecSoft();
    const bool stays = current != kDefSecSoftUuid;
    if (stays)
        LOG(INFO, "sec-soft uuid: %s unregistered,sec-soft %s stays active", uuid.c_str(),
            current.c_str());
    else
        LOG(INFO, "sec-soft uuid: %s unregistered,so start default sec-soft", uuid.c_str());
    do_post_fui(uuid, KORVANE_NOTIFY_UNREGISTER, std::string());
    if (stays) return;
    CSecSoftInfo def;
    if (!move_default(DefaultMove::kStart, def)) return;
    do_post_fui(def.uuid, KORVANE_NOTIFY_START_DEFAULT, def.secsoft);
    if (!def.secstat.empty()) do_post_fui(def.uuid, KORVANE_NOTIFY_SECSTAT, def.secstat);
}

void secsoft_unregister_lost(const std::string &uuid) {
    const bool current = store()->CurrentSecSoft() == uuid;
    MoxResult cleaned = store()->CleanSecInfo(uuid);
    liveness_secsoft_removed(uuid);
    if (cleaned != kMoxOk) {
        LOG(ERROR, "unregister lost sec-soft %s failed,rc: %d", uuid.c_str(), cleaned);
        return;
    }
    // The front UIs never heard of a product that was not current.
    if (current) start_default_secsoft(uuid);
}

int secsoft_register_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secSoft register,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    CSecSoftInfo info;
    MoxResult upgraded = kMoxFailed;
    if (take_detail(packet, KORVANE_REQ_SECSOFT_REGISTER, 1, info)) {
        upgraded = store()->Upgrade(info);
        if (upgraded == kMoxDbOnly)
            packet.result = KORVANE_RESULT_NOT_ACTIVE;
        else if (upgraded != kMoxOk)
            packet.result = KORVANE_RESULT_FAILED;
        if (upgraded == kMoxOk && info.uuid != kDefSecSoftUuid) stop_default_secsoft(info);
    }
    int rc = log_reply(encode_resp_final(packet), packet, "secSoft register", "secSoft register");
    // Posted whether or not the reply could be encoded.
    if (upgraded == kMoxOk) do_post_fui(info.uuid, KORVANE_NOTIFY_SECSOFT, info.secsoft);
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
    if (cleaned == kMoxOk) liveness_secsoft_removed(packet.uuid);
    if (cleaned == kMoxOk && packet.uuid != kDefSecSoftUuid) start_default_secsoft(packet.uuid);
    return log_reply(encode_resp_final(packet), packet, "secSoft unregister", "secSoft unregister");
}

int secstat_update_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secStat update,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    MoxResult upgraded = kMoxFailed;
    if (packet.type != KORVANE_REQ_SECSTAT_UPDATE) {
        packet.result = KORVANE_RESULT_WRONG_TYPE;
    } else if (packet.data.empty()) {
        packet.result = KORVANE_RESULT_BAD_BODY;
    } else {
        CSecStatInfo stat;
        stat.uuid = packet.uuid;
        stat.secstat = packet.data;
        upgraded = store()->Upgrade(stat);
        // Stored on a product that is not active still counts as done.
        if (upgraded == kMoxOk || upgraded == kMoxDbOnly) {
            packet.result = KORVANE_RESULT_OK;
            store()->RecordSecStatReport(packet.uuid);
        } else if (upgraded == kMoxNotFound)
            packet.result = KORVANE_RESULT_NO_SECSOFT;
        else
            packet.result = KORVANE_RESULT_FAILED;
    }
    int rc = log_reply(encode_resp_final(packet), packet, "secStat update", "secStat update");
    if (upgraded == kMoxOk) do_post_fui(packet.uuid, KORVANE_NOTIFY_SECSTAT, packet.data);
    return rc;
}

int secsoft_update_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secSoft update,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    CSecSoftInfo info;
    MoxResult upgraded = kMoxFailed;
    if (take_detail(packet, KORVANE_REQ_SECSOFT_UPDATE, 2, info)) {
        upgraded = store()->Upgrade(info);
        if (upgraded != kMoxOk && upgraded != kMoxDbOnly) packet.result = KORVANE_RESULT_FAILED;
    }
    int rc = log_reply(encode_resp_final(packet), packet, "secSoft update", "secSoft update");
    // No arbitration on an update.
    if (upgraded == kMoxOk) do_post_fui(packet.uuid, KORVANE_NOTIFY_SECSOFT, info.secsoft);
    if (upgraded == kMoxOk || upgraded == kMoxDbOnly) liveness_secsoft_registered(info);
    return rc;
}
