// Requests of security products: register, unregister, status update and
// detail update, with the arbitration of the built-in default product.
// Notifications always leave before the reply (the core writes the reply
// after the handler returns); the order is 1504 then 1500 for a
// registration, and 1502, 1503, 1501 for an unregistration.
#include <cjson/cJSON.h>

#include "db/moxdb.h"
#include "handlers/handlers.h"
#include "log/mylog.h"
#include "proto/notify.h"

#define LOG Singleton<MyLog>::Instance()->Write

static CMoxDb *store() {
    return Singleton<CMoxDb>::Instance();
}

// Reads "name" and "exec" out of a detail body: 0, or -6.
int secsoft_detail_decode(const std::string &text, CSecSoftInfo &info) {
    cJSON *root = cJSON_ParseWithLength(text.data(), text.size());
    if (root == nullptr) return -6;
    int rc = get_proto_json_string(info.name, root, "name");
    if (rc == 0) rc = get_proto_json_string(info.exec, root, "exec");
    cJSON_Delete(root);
    return rc;
}

static void stop_default_secsoft(const CSecSoftInfo &info) {
    LOG(INFO, "new sec-soft %s,uuid: %s registered,so stop default sec-soft", info.name.c_str(),
        info.uuid.c_str());
    CSecSoftInfo def;
    int rc = store()->GetDefSecSoft(def);
    if (rc != 0) {
        LOG(ERROR, "try stop default-sec-soft failed,get default-secsoft failed,rc: %d", rc);
        return;
    }
    if (def.status == 3) {
        LOG(INFO, "default-secsoft %s has been stopped,so we don't do it again", def.name.c_str());
        return;
    }
    CFrontUIInfo fui;
    rc = store()->Get(fui);
    if (rc != 0) {
        LOG(ERROR, "try stop default-sec-soft failed,,get FrontUI-Info failed,rc: %d", rc);
        return;
    }
    def.status = 3;
    store()->SetDefSecSoft(def);
    if (def.secsoft.empty()) {
        LOG(ERROR,
            "send default-secsoft stop notify failed,the default sec-soft info is empty,uuid: "
            "%s,name: %s",
            def.uuid.c_str(), def.name.c_str());
        return;
    }
    do_post_fui(def.uuid, kFuiPostStopDefault, def.secsoft);
}

static void start_default_secsoft(const std::string &uuid) {
    LOG(INFO, "sec-soft uuid: %s unregistered,so start default sec-soft", uuid.c_str());
    do_post_fui(uuid, kFuiPostUnregister, std::string());
    CSecSoftInfo def;
    int rc = store()->GetDefSecSoft(def);
    if (rc != 0) {
        LOG(ERROR, "try start default-sec-soft failed,get default-secsoft failed,rc: %d", rc);
        return;
    }
    if (def.status == 2) {
        LOG(INFO, "default-secsoft %s has been started,so we don't do it again", def.name.c_str());
        return;
    }
    CFrontUIInfo fui;
    rc = store()->Get(fui);
    if (rc != 0) {
        LOG(ERROR, "try start default-sec-soft failed,get FrontUI-Info failed,rc: %d", rc);
        return;
    }
    def.status = 2;
    store()->SetDefSecSoft(def);
    if (def.secsoft.empty()) {
        LOG(ERROR,
            "send default-secsoft start notify failed,the default sec-soft info is empty,uuid: "
            "%s,name: %s",
            def.uuid.c_str(), def.name.c_str());
        return;
    }
    do_post_fui(def.uuid, kFuiPostStartDefault, def.secsoft);
    if (!def.secstat.empty()) do_post_fui(def.uuid, kFuiPostSecStat, def.secstat);
}

int secsoft_register_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secSoft register,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    CSecSoftInfo info;
    info.uuid = packet.uuid;
    int upgraded = -1;
    if (packet.type != 2000) {
        packet.result = 2;
    } else if (packet.data.empty() || secsoft_detail_decode(packet.data, info) != 0) {
        packet.result = 3;
    } else {
        info.secsoft = packet.data;
        info.status = 1;
        packet.result = 0;
        upgraded = store()->Upgrade(info);
        if (upgraded == -9)
            packet.result = 501;
        else if (upgraded != 0)
            packet.result = 1;
        if (upgraded == 0 && info.uuid != kDefSecSoftUuid) stop_default_secsoft(info);
    }
    int rc = encode_resp_final(packet);
    if (rc != 0)
        LOG(ERROR, "badly,we can't process secSoft register packet,rc: %d", rc);
    else
        LOG(DEBUG, "handle secSoft register packet,respones: %s", packet.response.c_str());
    if (upgraded == 0) do_post_fui(info.uuid, kFuiPostSecSoft, info.secsoft);
    return rc;
}

int secsoft_unregister_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secSoft unregister,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    packet.result = 0;
    int rc = store()->CleanSecInfo(packet.uuid);
    if (rc == -4)
        packet.result = 500;
    else if (rc != 0)
        packet.result = 1;
    if (rc == 0 && packet.uuid != kDefSecSoftUuid) start_default_secsoft(packet.uuid);
    rc = encode_resp_final(packet);
    if (rc != 0) {
        LOG(ERROR, "badly,we can't process secSoft unregister packet,rc: %d", rc);
        return rc;
    }
    LOG(DEBUG, "handle secSoft unregister packet,respones: %s", packet.response.c_str());
    return 0;
}

int secstat_update_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secStat update,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    int upgraded = -1;
    if (packet.type != 2002) {
        packet.result = 2;
    } else if (packet.data.empty()) {
        packet.result = 3;
    } else {
        packet.result = 0;
        CSecStatInfo stat;
        stat.uuid = packet.uuid;
        stat.secstat = packet.data;
        upgraded = store()->Upgrade(stat);
        if (upgraded == -4)
            packet.result = 101;
        else if (upgraded != 0 && upgraded != -9)
            packet.result = 1;
    }
    int rc = encode_resp_final(packet);
    if (rc != 0)
        LOG(ERROR, "badly,we can't process secStat update packet,rc: %d", rc);
    else
        LOG(DEBUG, "handle secStat update packet,respones: %s", packet.response.c_str());
    if (upgraded == 0) do_post_fui(packet.uuid, kFuiPostSecStat, packet.data);
    return rc;
}

int secsoft_update_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle secSoft update,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    CSecSoftInfo info;
    info.uuid = packet.uuid;
    int upgraded = -1;
    if (packet.type != 2003) {
        packet.result = 2;
    } else if (packet.data.empty() || secsoft_detail_decode(packet.data, info) != 0) {
        packet.result = 3;
    } else {
        info.secsoft = packet.data;
        info.status = 2;
        packet.result = 0;
        upgraded = store()->Upgrade(info);
        if (upgraded != 0 && upgraded != -9) packet.result = 1;
    }
    int rc = encode_resp_final(packet);
    if (rc != 0)
        LOG(ERROR, "badly,we can't process secSoft update packet,rc: %d", rc);
    else
        LOG(DEBUG, "handle secSoft update packet,respones: %s", packet.response.c_str());
    if (upgraded == 0) do_post_fui(packet.uuid, kFuiPostSecSoft, info.secsoft);
    return rc;
}
