// Requests of front UIs: register, query the active product's detail and
// status, save and read back the front UI's configuration. Apart from
// registration every request must come from a known front UI. These
// handlers post no notifications.
#include <cjson/cJSON.h>

#include "handlers/handler_util.h"
#include "handlers/handlers.h"
#include "net/ae/peer.h"
#include "proto/codec/json.h"

#define LOG Singleton<MyLog>::Instance()->Write

// A front UI declares its pid and euid; the kernel knows who really holds
// the socket. A mismatch changes no reply but is worth an administrator's
// attention.
static void check_declared_identity(const mox_packet_t &packet, const CFrontUIInfo &info) {
    const net_peer_t *peer = packet.peer;
    if (peer == nullptr || peer->pid < 0) return;
    if (info.pid == peer->pid && info.euid == peer->uid) return;
    LOG(ERROR,
        "frontUI register uuid: %s declares pid: %d,euid: %d,but its peer is pid: %d,uid: %d",
        packet.uuid.c_str(), info.pid, info.euid, peer->pid, peer->uid);
}

// The result of a registration body: 0 with `info` filled, 1 when the body
// cannot be parsed, 3 when a member is missing or mistyped.
static int decode_registration(const std::string &data, CFrontUIInfo &info) {
    JsonPtr root(cJSON_ParseWithLength(data.data(), data.size()));
    if (root == nullptr) return 1;
    if (get_proto_json_string(info.name, root.get(), "name") != 0 ||
        get_proto_json_int(info.loginuid, root.get(), "login_uid") != 0 ||
        get_proto_json_int(info.euid, root.get(), "euid") != 0 ||
        get_proto_json_int(info.pid, root.get(), "pid") != 0)
        return 3;
    return 0;
}

int fui_register_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle frontUI register,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    CFrontUIInfo info;
    if (packet.type != 1000) {
        packet.result = 2;
    } else if (packet.data.empty()) {
        packet.result = 3;
    } else {
        packet.result = decode_registration(packet.data, info);
        if (packet.result == 0) {
            info.uuid = packet.uuid;
            check_declared_identity(packet, info);
            if (store()->Upgrade(info) != 0) packet.result = 1;
        }
    }
    return log_reply(encode_resp_final(packet), packet,
                     "badly,we can't process frountUI register packet,rc: %d",
                     "handle frountUI register packet,respones: %s");
}

// The reply to a query of a known front UI: the stored text on success,
// `missing` when the store has none (-4, or -8 for an empty text), 1 for
// any other failure.
static int answer_query(mox_packet_t &packet, int got, const std::string &text, bool in_array,
                        int missing) {
    if (got != 0) {
        packet.result = (got == -4 || got == -8) ? missing : 1;
        return encode_resp_final(packet);
    }
    packet.result = 0;
    return in_array ? encode_resp_data_array(text, packet) : encode_resp_data_obj(text, packet);
}

// A query from a front UI the store does not know: 100, no data.
static int answer_unknown(mox_packet_t &packet) {
    packet.result = 100;
    return encode_resp_final(packet);
}

int get_secsoft_handle(mox_packet_t &packet, void *) {
    int rc;
    if (!store()->FrontUIValid(packet.uuid)) {
        rc = answer_unknown(packet);
    } else {
        CSecSoftInfo info;
        int got = store()->Get(info);
        rc = answer_query(packet, got, info.secsoft, true, 101);
    }
    return log_reply(rc, packet, "badly,we can't process secsoft packet,rc: %d",
                     "handle get_secsoft packet,respones: %s");
}

int get_secstat_handle(mox_packet_t &packet, void *) {
    int rc;
    if (!store()->FrontUIValid(packet.uuid)) {
        rc = answer_unknown(packet);
    } else {
        CSecStatInfo stat;
        int got = store()->Get(stat);
        rc = answer_query(packet, got, stat.secstat, true, 102);
    }
    return log_reply(rc, packet, "badly,we can't process secstat packet,rc: %d",
                     "handle get_secstat packet,respones: %s");
}

int get_fuiconf_handle(mox_packet_t &packet, void *) {
    int rc;
    if (!store()->FrontUIValid(packet.uuid)) {
        rc = answer_unknown(packet);
    } else {
        CFrontUIConf conf;
        conf.uuid = packet.uuid;
        int got = store()->Get(conf);
        rc = answer_query(packet, got, conf.data, false, 103);
    }
    return log_reply(rc, packet, "badly,we can't process GetFuiConf packet,rc: %d",
                     "handle GetFuiConf packet,respones: %s");
}

int save_fuiconf_handle(mox_packet_t &packet, void *) {
    if (packet.type != 1003 || packet.data.empty() || !store()->FrontUIValid(packet.uuid)) {
        packet.result = 3;
    } else {
        CFrontUIConf conf;
        conf.uuid = packet.uuid;
        conf.data = packet.data;
        int rc = store()->Upgrade(conf);
        packet.result = rc == 0 ? 0 : (rc == -4 ? 100 : 1);
    }
    return log_reply(encode_resp_final(packet), packet,
                     "badly,we can't process save-frontUI conf packet,rc: %d",
                     "handle save save-frontUI conf packet,respones: %s");
}
