// Requests of security products: register, unregister, status update and
// detail update, with the arbitration of the built-in default product.
// Notifications always leave before the reply (the core writes the reply
// after the handler returns); the order is 1504 then 1500 for a
// registration, and 1502, 1503, 1501 for an unregistration.
#include <cjson/cJSON.h>

#include "handlers/handler_util.h"
#include "handlers/handlers.h"
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

// Moving the default record to "stopped" (3) or "started" (2), with what
// each direction logs on its way.
struct Arbitration {
    int status;
    const char *no_default;   // rc
    const char *unchanged;    // default's name
    const char *no_front_ui;  // rc
    const char *no_detail;    // default's uuid, name
};

static const Arbitration kStopDefault = {
    3,
    "try stop default-sec-soft failed,get default-secsoft failed,rc: %d",
    "default-secsoft %s has been stopped,so we don't do it again",
    "try stop default-sec-soft failed,,get FrontUI-Info failed,rc: %d",
    "send default-secsoft stop notify failed,the default sec-soft info is empty,uuid: %s,name: %s",
};

static const Arbitration kStartDefault = {
    2,
    "try start default-sec-soft failed,get default-secsoft failed,rc: %d",
    "default-secsoft %s has been started,so we don't do it again",
    "try start default-sec-soft failed,get FrontUI-Info failed,rc: %d",
    "send default-secsoft start notify failed,the default sec-soft info is empty,uuid: %s,name: "
    "%s",
};

// Records the new state of the default product when it changes and a front
// UI is there to act on it: true with the record when the front UIs are to
// be told.
static bool move_default(const Arbitration &a, CSecSoftInfo &def) {
    MoxResult rc = store()->GetDefSecSoft(def);
    if (rc != kMoxOk) {
        LOG(ERROR, a.no_default, rc);
        return false;
    }
    if (def.status == a.status) {
        LOG(INFO, a.unchanged, def.name.c_str());
        return false;
    }
    CFrontUIInfo fui;
    rc = store()->Get(fui);
    if (rc != kMoxOk) {
        LOG(ERROR, a.no_front_ui, rc);
        return false;
    }
    def.status = a.status;
    store()->SetDefSecSoft(def);
    if (def.secsoft.empty()) {
        LOG(ERROR, a.no_detail, def.uuid.c_str(), def.name.c_str());
        return false;
    }
    return true;
}

static void stop_default_secsoft(const CSecSoftInfo &info) {
    LOG(INFO, "new sec-soft %s,uuid: %s registered,so stop default sec-soft", info.name.c_str(),
        info.uuid.c_str());
    CSecSoftInfo def;
    if (move_default(kStopDefault, def))
        do_post_fui(def.uuid, KORVANE_NOTIFY_STOP_DEFAULT, def.secsoft);
}

static void start_default_secsoft(const std::string &uuid) {
    LOG(INFO, "sec-soft uuid: %s unregistered,so start default sec-soft", uuid.c_str());
    do_post_fui(uuid, KORVANE_NOTIFY_UNREGISTER, std::string());
    CSecSoftInfo def;
    if (!move_default(kStartDefault, def)) return;
    do_post_fui(def.uuid, KORVANE_NOTIFY_START_DEFAULT, def.secsoft);
    if (!def.secstat.empty()) do_post_fui(def.uuid, KORVANE_NOTIFY_SECSTAT, def.secstat);
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
    int rc = log_reply(encode_resp_final(packet), packet,
                       "badly,we can't process secSoft register packet,rc: %d",
                       "handle secSoft register packet,respones: %s");
    // Posted whether or not the reply could be encoded.
    if (upgraded == kMoxOk) do_post_fui(info.uuid, KORVANE_NOTIFY_SECSOFT, info.secsoft);
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
    if (cleaned == kMoxOk && packet.uuid != kDefSecSoftUuid) start_default_secsoft(packet.uuid);
    return log_reply(encode_resp_final(packet), packet,
                     "badly,we can't process secSoft unregister packet,rc: %d",
                     "handle secSoft unregister packet,respones: %s");
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
        if (upgraded == kMoxOk || upgraded == kMoxDbOnly)
            packet.result = KORVANE_RESULT_OK;
        else if (upgraded == kMoxNotFound)
            packet.result = KORVANE_RESULT_NO_SECSOFT;
        else
            packet.result = KORVANE_RESULT_FAILED;
    }
    int rc = log_reply(encode_resp_final(packet), packet,
                       "badly,we can't process secStat update packet,rc: %d",
                       "handle secStat update packet,respones: %s");
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
    int rc = log_reply(encode_resp_final(packet), packet,
                       "badly,we can't process secSoft update packet,rc: %d",
                       "handle secSoft update packet,respones: %s");
    // No arbitration on an update.
    if (upgraded == kMoxOk) do_post_fui(packet.uuid, KORVANE_NOTIFY_SECSOFT, info.secsoft);
    return rc;
}
