// Requests of front UIs: register, query the active product's detail and
// status, save and read back the front UI's configuration. Apart from
// registration every request must come from a known front UI. These
// handlers post no notifications.
#include <cjson/cJSON.h>

#include "db/moxdb.h"
#include "handlers/handlers.h"
#include "log/mylog.h"

#define LOG Singleton<MyLog>::Instance()->Write

static CMoxDb *store() {
    return Singleton<CMoxDb>::Instance();
}

// A front UI declares its pid and euid; the kernel knows who really holds
// the socket. A mismatch changes no reply but is worth an administrator's
// attention.
static void check_declared_identity(const mox_packet_t &packet, const CFrontUIInfo &info) {
    if (packet.peer_pid < 0) return;
    if (info.pid == packet.peer_pid && info.euid == packet.peer_uid) return;
    LOG(ERROR,
        "frontUI register uuid: %s declares pid: %d,euid: %d,but its peer is pid: %d,uid: %d",
        packet.uuid.c_str(), info.pid, info.euid, packet.peer_pid, packet.peer_uid);
}

int fui_register_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle frontUI register,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    if (packet.type != 1000) {
        packet.result = 2;
    } else if (packet.data.empty()) {
        packet.result = 3;
    } else {
        cJSON *root = cJSON_ParseWithLength(packet.data.data(), packet.data.size());
        if (root == nullptr) {
            packet.result = 1;
        } else {
            CFrontUIInfo info;
            int rc = get_proto_json_string(info.name, root, "name");
            if (rc == 0) rc = get_proto_json_int(info.loginuid, root, "login_uid");
            if (rc == 0) rc = get_proto_json_int(info.euid, root, "euid");
            if (rc == 0) rc = get_proto_json_int(info.pid, root, "pid");
            cJSON_Delete(root);
            if (rc != 0) {
                packet.result = 3;
            } else {
                info.uuid = packet.uuid;
                check_declared_identity(packet, info);
                packet.result = 0;
                if (store()->Upgrade(info) != 0) packet.result = 1;
            }
        }
    }
    int rc = encode_resp_final(packet);
    if (rc != 0)
        LOG(ERROR, "badly,we can't process frountUI register packet,rc: %d", rc);
    else
        LOG(DEBUG, "handle frountUI register packet,respones: %s", packet.response.c_str());
    return rc;
}

int get_secsoft_handle(mox_packet_t &packet, void *) {
    int rc;
    if (!store()->FrontUIValid(packet.uuid)) {
        packet.result = 100;
        rc = encode_resp_final(packet);
    } else {
        CSecSoftInfo info;
        int got = store()->Get(info);
        if (got == 0) {
            packet.result = 0;
            rc = encode_resp_data_array(info.secsoft, packet);
        } else {
            packet.result = got == -4 ? 101 : 1;
            rc = encode_resp_final(packet);
        }
    }
    if (rc != 0)
        LOG(ERROR, "badly,we can't process secsoft packet,rc: %d", rc);
    else
        LOG(DEBUG, "handle get_secsoft packet,respones: %s", packet.response.c_str());
    return rc;
}

int get_secstat_handle(mox_packet_t &packet, void *) {
    int rc;
    if (!store()->FrontUIValid(packet.uuid)) {
        packet.result = 100;
        rc = encode_resp_final(packet);
    } else {
        CSecStatInfo stat;
        int got = store()->Get(stat);
        if (got == 0) {
            packet.result = 0;
            rc = encode_resp_data_array(stat.secstat, packet);
        } else {
            packet.result = (got == -8 || got == -4) ? 102 : 1;
            rc = encode_resp_final(packet);
        }
    }
    if (rc != 0)
        LOG(ERROR, "badly,we can't process secstat packet,rc: %d", rc);
    else
        LOG(DEBUG, "handle get_secstat packet,respones: %s", packet.response.c_str());
    return rc;
}

int get_fuiconf_handle(mox_packet_t &packet, void *) {
    int rc;
    if (!store()->FrontUIValid(packet.uuid)) {
        packet.result = 100;
        rc = encode_resp_final(packet);
    } else {
        CFrontUIConf conf;
        conf.uuid = packet.uuid;
        int got = store()->Get(conf);
        if (got == 0) {
            packet.result = 0;
            rc = encode_resp_data_obj(conf.data, packet);
        } else {
            packet.result = (got == -8 || got == -4) ? 103 : 1;
            rc = encode_resp_final(packet);
        }
    }
    if (rc != 0)
        LOG(ERROR, "badly,we can't process GetFuiConf packet,rc: %d", rc);
    else
        LOG(DEBUG, "handle GetFuiConf packet,respones: %s", packet.response.c_str());
    return rc;
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
    int rc = encode_resp_final(packet);
    if (rc != 0)
        LOG(ERROR, "badly,we can't process save-frontUI conf packet,rc: %d", rc);
    else
        LOG(DEBUG, "handle save save-frontUI conf packet,respones: %s", packet.response.c_str());
    return rc;
}
